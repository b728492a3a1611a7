#!/bin/sh
# Times fsscan backup (1 and 2 streams) against cp -a on one generated tree: 200,000 files in
# 20,000 folders (two halves, scanned as two content roots), read from a warm cache, written to a
# fresh destination each run.
#
#   bench/backup_vs_cp.sh [BUILD_DIR] [WORK_DIR]
set -eu
build=${1:-build/release}
work=${2:-/tmp/backup-bench}
runs=${RUNS:-3}
fsscan="$build/tools/fsscan/fsscan"
gentree="$build/tools/gentree/scan-gentree"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
# Two halves scanned as two content roots: one collect file each, so two streams have work.
mkdir -p "$tree"
"$gentree" create "$tree/part1" --folders $((${FOLDERS:-20000} / 2)) --files $((${FILES:-200000} / 2)) --seed 42 >/dev/null
"$gentree" create "$tree/part2" --folders $((${FOLDERS:-20000} / 2)) --files $((${FILES:-200000} / 2)) --seed 43 >/dev/null
"$fsscan" scan --content "$tree/part1" --content "$tree/part2" --results "$work/jr" --level full >/dev/null
# Each run backs up the same job: the job-results folder goes back to what the scan left.
cp -a "$work/jr" "$work/jr.saved"
# Copies go to memory when we may mount a tmpfs: this machine's disk writes back at erratic
# speeds, which would drown the difference between the copiers.
mkdir -p "$work/out"
if mount -t tmpfs -o size=4g tmpfs "$work/out" 2>/dev/null; then trap 'umount "$work/out"' EXIT; fi
find "$tree" -type f -exec cat {} + >/dev/null  # warm the cache

best() {
  name=$1; prepare=$2; shift 2
  b=""
  i=0
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    sh -c "$prepare"
    sync
    sleep 5  # let the file system finish the removal of the previous copy
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err"; exit 1; }
    t=$(cat "$work/time")
    if [ -z "$b" ] || awk "BEGIN{exit !($t < $b)}"; then b=$t; fi
  done
  echo "$name $b"
}

reset="rm -rf '$work/out/dest' '$work/jr' && cp -a '$work/jr.saved' '$work/jr'"
{
  best "cp-a" "rm -rf '$work/out/dest' && mkdir '$work/out/dest'" cp -a "$tree" "$work/out/dest/"
  best "fsscan-backup-1" "$reset" "$fsscan" backup --results "$work/jr" --dest "$work/out/dest" --streams 1
  best "fsscan-backup-2" "$reset" "$fsscan" backup --results "$work/jr" --dest "$work/out/dest" --streams 2
} > "$work/results"
cpt=$(awk '$1=="cp-a"{print $2}' "$work/results")
printf '%-18s %8s %8s\n' command seconds "x cp -a"
while read -r name t; do
  awk -v n="$name" -v t="$t" -v c="$cpt" 'BEGIN{printf "%-18s %8.2f %8.2f\n", n, t, t / c}'
done < "$work/results"
umount "$work/out" 2>/dev/null || true
trap - EXIT
rm -rf "$work"
