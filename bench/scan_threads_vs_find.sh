#!/bin/sh
# Times an incremental fsscan scan with 1 and 2 scanner threads against find -printf (one stat
# per item) on one generated tree: 1,000,000 files in 100,000 folders, 1% of the files rewritten
# after a full scan, warm cache.
#
#   bench/scan_threads_vs_find.sh [BUILD_DIR] [WORK_DIR]
#
# Each command runs RUNS times (default 3); the best time counts. THREADS (default "1 2") lists
# the thread counts. Peak memory is the maximum resident set size from /usr/bin/time.
set -eu
build=${1:-build/release}
work=${2:-/tmp/scan-threads-bench}
runs=${RUNS:-3}
files=${FILES:-1000000}
folders=${FOLDERS:-100000}
threads=${THREADS:-1 2}
fsscan="$build/tools/fsscan/fsscan"
gentree="$build/tools/gentree/scan-gentree"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
"$gentree" create "$tree" --folders "$folders" --files "$files" --seed 42 >/dev/null
"$fsscan" scan --content "$tree" --results "$work/jr" --level full --threads 2 >/dev/null
cp -a "$work/jr" "$work/jr.full"
sleep 3  # past the scan's start-time margin
"$gentree" touch "$tree" --percent 1 --seed 43 >/dev/null

best_of() {
  name=$1; shift
  best=""; rss=""
  i=0
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    [ -n "${PREPARE:-}" ] && sh -c "$PREPARE"
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
      echo "$name failed:"; cat "$work/stderr"; exit 1; }
    read -r t m < "$work/time"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; rss=$m; fi
  done
  printf '%s %s %s\n' "$name" "$best" "$rss" >> "$work/results"
}

: > "$work/results"
find "$tree" -printf '%p %s %T@ %C@\n' >/dev/null  # warm the cache
best_of "find" find "$tree" -printf '%p %s %T@ %C@\n'
for n in $threads; do
  PREPARE="rm -rf '$work/jr' && cp -a '$work/jr.full' '$work/jr'" \
    best_of "fsscan-inc-${n}thr" "$fsscan" scan --content "$tree" --results "$work/jr" --level incremental --threads "$n"
done
collected=$("$fsscan" list --results "$work/jr" | grep -c '^+ ' || true)

findt=$(awk '$1=="find"{print $2}' "$work/results")
echo "tree: $files files in $folders folders; incremental collected $collected items; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-20s %9s %9s %12s\n' command seconds "x find" "peak RSS MB"
while read -r name t m; do
  awk -v n="$name" -v t="$t" -v f="$findt" -v m="$m" 'BEGIN{printf "%-20s %9.2f %9.2f %12.1f\n", n, t, t / f, m / 1024}'
done < "$work/results"
rm -rf "$work"
