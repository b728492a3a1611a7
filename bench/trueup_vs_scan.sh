#!/bin/sh
# Times "fsscan trueup" (both methods) against a full "fsscan scan" and a plain walk (find with one
# stat per item) of the same generated tree, after a backup recorded the tree in its index and
# 0.1% of the files were damaged behind its back: a quarter rewritten with their old times put
# back, a quarter resized with their old times put back, a quarter removed from the tree, a quarter
# lost from the mirror and the index.
#
#   bench/trueup_vs_scan.sh [BUILD_DIR] [WORK_DIR]
#
# FILES (default 1000000) in FOLDERS (default 100000). Each command runs RUNS times (default 2) on
# a warm cache; the best time counts, with its peak resident memory from /usr/bin/time. The backup
# is timed once, to show what recording the index costs per item (against cp -a of the tree, and
# against the backup of an fsscan without the index when BASE_FSSCAN names one).
set -eu
build=${1:-build/release}
work=${2:-/tmp/scan-bench-trueup-cli}
runs=${RUNS:-2}
files=${FILES:-1000000}
folders=${FOLDERS:-100000}
fsscan="$build/tools/fsscan/fsscan"
gentree="$build/tools/gentree/scan-gentree"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
"$gentree" create "$tree" --folders "$folders" --files "$files" --seed 42 >/dev/null
: > "$work/results"

# once NAME COMMAND...: one timed run.
once() {
  name=$1; shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" || {
    rc=$?; [ "$rc" -le 1 ] || { echo "$name failed:"; cat "$work/stderr"; exit 1; }; }
  read -r t m <<EOT
$(tail -n 1 "$work/time")
EOT
  printf '%s %s %s\n' "$name" "$t" "$m" >> "$work/results"
}
# best_of NAME COMMAND...: $runs runs, the best wall time and its peak RSS.
best_of() {
  name=$1; shift
  best=""; rss=""
  i=0
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    [ -n "${PREPARE:-}" ] && sh -c "$PREPARE"
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" || {
      rc=$?; [ "$rc" -le 1 ] || { echo "$name failed:"; cat "$work/stderr"; exit 1; }; }
    # (a non-zero exit puts a line of its own before the figures)
    read -r t m <<EOT
$(tail -n 1 "$work/time")
EOT
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; rss=$m; fi
  done
  printf '%s %s %s\n' "$name" "$best" "$rss" >> "$work/results"
}

find "$tree" -printf '%p %s %T@ %C@\n' >/dev/null  # warm the cache
best_of "find" find "$tree" -printf '%p %s %T@ %C@\n'
PREPARE="rm -rf '$work/jr'" best_of "fsscan-scan-full" "$fsscan" scan --content "$tree" --results "$work/jr" --level full
PREPARE=""
once "cp-a" cp -a "$tree" "$work/copy"
rm -rf "$work/copy"
if [ -n "${BASE_FSSCAN:-}" ]; then
  # A backup by an fsscan that keeps no index, of a copy of the same job: what the index costs.
  cp -a "$work/jr" "$work/jr.base"
  once "backup-without-index" "$BASE_FSSCAN" backup --results "$work/jr.base" --dest "$work/dest.base"
  rm -rf "$work/jr.base" "$work/dest.base"
fi
once "fsscan-backup" "$fsscan" backup --results "$work/jr" --dest "$work/dest"

# Damage, one file in a thousand, in a later second than the backup's.
sleep 1.1
find "$tree" -type f | awk 'NR % 1000 == 0' > "$work/damaged"
n=0
while read -r f; do
  case $((n % 4)) in
    0) cp -p "$f" "$work/ref"; printf 'REWRITTEN' | dd of="$f" conv=notrunc status=none; touch -r "$work/ref" "$f" ;;
    1) cp -p "$f" "$work/ref"; printf 'grown' >> "$f"; touch -r "$work/ref" "$f" ;;
    2) rm -f "$f" ;;
    3) rm -f "$work/dest$f"; echo "$f" >> "$work/lost" ;;
  esac
  n=$((n + 1))
done < "$work/damaged"
# Lost from the index as well: marked deleted by a job of its own.
if [ -s "$work/lost" ]; then
  { echo "BEGIN;"; sed "s/'/''/g; s|^\(.*\)/\([^/]*\)$|UPDATE items SET deleted=1, job_id=99 WHERE parent=CAST('\1/' AS BLOB) AND name=CAST('\2' AS BLOB);|" "$work/lost"; echo "COMMIT;"; } \
    | sqlite3 "$work/jr/BackupIndex.db"
fi

best_of "trueup-file" "$fsscan" trueup --results "$work/jr" --method file
diff_file=$(grep -c '^\(new\|modified\|deleted\) ' "$work/stdout" || true)
best_of "trueup-container" "$fsscan" trueup --results "$work/jr" --method container
diff_container=$(grep -c '^\(new\|modified\|deleted\) ' "$work/stdout" || true)

scant=$(awk '$1=="fsscan-scan-full"{print $2}' "$work/results")
findt=$(awk '$1=="find"{print $2}' "$work/results")
echo "tree: $files files in $folders folders; $n damaged; differences: file $diff_file, container $diff_container"
printf '%-20s %9s %9s %9s %12s\n' command seconds "x scan" "x find" "peak RSS MB"
while read -r name t m; do
  printf '%-20s %9s %9.2f %9.2f %12.1f\n' "$name" "$t" "$(awk "BEGIN{print $t/$scant}")" \
    "$(awk "BEGIN{print $t/$findt}")" "$(awk "BEGIN{print $m/1024}")"
done < "$work/results"
rm -rf "$work"
