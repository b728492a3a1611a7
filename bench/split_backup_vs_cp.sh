#!/bin/sh
# Times fsscan backup with 1, 2 and 4 streams of one content root whose collect file the scan
# split for 4 readers, against cp -a of the same tree: 200,000 files in 20,000 folders, read from
# a warm cache, copied into a tmpfs (when one can be mounted), a fresh destination each run.
#
#   bench/split_backup_vs_cp.sh [BUILD_DIR] [WORK_DIR]
set -eu
build=${1:-build/release}
work=${2:-/tmp/split-backup-bench}
runs=${RUNS:-3}
streams=${STREAMS:-1 2 4}
fsscan="$build/tools/fsscan/fsscan"
gentree="$build/tools/gentree/scan-gentree"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
"$gentree" create "$tree" --folders "${FOLDERS:-20000}" --files "${FILES:-200000}" --seed 42 >/dev/null
"$fsscan" scan --content "$tree" --results "$work/jr" --level full --readers 4 | head -1
# Each run starts from the scanned job as it was: its results folder is put back whole.
cp -a "$work/jr" "$work/jr.saved"
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
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err"; exit 1; }
    t=$(cat "$work/time")
    if [ -z "$b" ] || awk "BEGIN{exit !($t < $b)}"; then b=$t; fi
  done
  echo "$name $b"
}

reset="rm -rf '$work/out/dest' '$work/jr' && cp -a '$work/jr.saved' '$work/jr'"
{
  best "cp-a" "rm -rf '$work/out/dest' && mkdir '$work/out/dest'" cp -a "$tree" "$work/out/dest/"
  for n in $streams; do
    best "fsscan-backup-$n" "$reset" "$fsscan" backup --results "$work/jr" --dest "$work/out/dest" --streams "$n"
  done
} > "$work/results"
cpt=$(awk '$1=="cp-a"{print $2}' "$work/results")
echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-18s %8s %8s\n' command seconds "x cp -a"
while read -r name t; do
  awk -v n="$name" -v t="$t" -v c="$cpt" 'BEGIN{printf "%-18s %8.2f %8.2f\n", n, t, t / c}'
done < "$work/results"
umount "$work/out" 2>/dev/null || true
trap - EXIT
rm -rf "$work"
