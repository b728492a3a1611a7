#!/bin/sh
# Times fsscan backup (1 and 2 streams) against cp -a on one generated tree: 200,000 files in
# 20,000 folders, read from a warm cache, written to a fresh destination each run.
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
"$gentree" create "$tree" --folders "${FOLDERS:-20000}" --files "${FILES:-200000}" --seed 42 >/dev/null
"$fsscan" scan --content "$tree" --results "$work/jr" --level full >/dev/null
cp "$work/jr/FsScanState.xml" "$work/state.xml"
cat "$tree"/* >/dev/null 2>&1 || true
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

reset="rm -rf '$work/dest' && cp '$work/state.xml' '$work/jr/FsScanState.xml'"
{
  best "cp-a" "rm -rf '$work/dest' && mkdir '$work/dest'" cp -a "$tree" "$work/dest/"
  best "fsscan-backup-1" "$reset" "$fsscan" backup --results "$work/jr" --dest "$work/dest" --streams 1
  best "fsscan-backup-2" "$reset" "$fsscan" backup --results "$work/jr" --dest "$work/dest" --streams 2
} > "$work/results"
cpt=$(awk '$1=="cp-a"{print $2}' "$work/results")
printf '%-18s %8s %8s\n' command seconds "x cp -a"
while read -r name t; do
  awk -v n="$name" -v t="$t" -v c="$cpt" 'BEGIN{printf "%-18s %8.2f %8.2f\n", n, t, t / c}'
done < "$work/results"
rm -rf "$work"
