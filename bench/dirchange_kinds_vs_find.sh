#!/bin/sh
# The three DirChange kinds of fsscan against a plain walk, on one generated tree: by default
# 1,000,000 files in 100,000 folders, then 1% of the files rewritten. For every kind: a full scan,
# then an incremental scan of the same changed tree (each kind compares against its own full scan),
# with wall time, CPU time and peak resident memory of the scan process (/usr/bin/time). find
# runs before and after the change; the ratios are to their mean. One run per row, warm cache.
#
#   bench/dirchange_kinds_vs_find.sh [BUILD_DIR] [WORK_DIR]
#
# WORK_DIR (default /tmp/dirchange-kinds-bench) holds the tree and the job-results folders; put it
# on the disk or on a tmpfs (/dev/shm: about 2 GB of memory for the default tree) and say which.
# FILES and FOLDERS change the tree's size; KINDS the kinds measured.
set -eu
build=${1:-build/release}
work=${2:-/tmp/dirchange-kinds-bench}
files=${FILES:-1000000}
folders=${FOLDERS:-100000}
kinds=${KINDS:-tree flat segments}
fsscan="$build/tools/fsscan/fsscan"
gentree="$build/tools/gentree/scan-gentree"
tree="$work/tree"
results="$work/results"

rm -rf "$work"
mkdir -p "$work"
echo "generating $files files in $folders folders in $tree ($(df -P "$work" | awk 'NR==2{print $1}'))" >&2
"$gentree" create "$tree" --folders "$folders" --files "$files" --seed 42 >/dev/null

# measure NAME COMMAND...: one run; wall and CPU seconds and peak RSS (KB) go to the results.
measure() {
  name=$1; shift
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" || {
    rc=$?
    # Exit 1 is a scan that met unreadable items: still a measurement.
    if [ "$rc" -ne 1 ]; then echo "$name failed ($rc):" >&2; cat "$work/stderr" >&2; exit 1; fi; }
  read -r t u s m < "$work/time"
  printf '%s %s %s %s\n' "$name" "$t" "$(awk -v u="$u" -v s="$s" 'BEGIN{print u + s}')" "$m" >> "$work/results"
  if grep -q 'running a full scan' "$work/stderr"; then echo "$name: $(cat "$work/stderr")" >&2; fi
}

: > "$work/results"
find "$tree" -printf '%p %s %T@ %C@\n' >/dev/null  # warm the cache
sleep 3  # the newest files older than the scans' start-time margin: every kind's incremental sees the same changes
measure "find" find "$tree" -printf '%p %s %T@ %C@\n'
for kind in $kinds; do
  measure "fsscan-full-$kind" "$fsscan" scan --content "$tree" --results "$results-$kind" --level full --dirchange "$kind"
  cp "$work/stdout" "$work/full-$kind.out"
done

sleep 3  # past the scan's start-time margin
"$gentree" touch "$tree" --percent 1 --seed 43 >/dev/null
find "$tree" -printf '%p %s %T@ %C@\n' >/dev/null  # the touched files' pages back in the cache

measure "find-after" find "$tree" -printf '%p %s %T@ %C@\n'
for kind in $kinds; do
  measure "fsscan-incremental-$kind" "$fsscan" scan --content "$tree" --results "$results-$kind" --level incremental \
    --dirchange "$kind"
  cp "$work/stdout" "$work/inc-$kind.out"
  ls -l "$results-$kind"/DC*.zyf | awk -v k="$kind" '{s += $5} END {printf "%s DirChange files: %.1f MB\n", k, s / 1048576}' >&2
done

# The kinds must agree: same number collected and deleted.
for kind in $kinds; do
  printf '%-9s %s\n' "$kind" "$(sed 's/, [0-9.]* s, .*//' "$work/inc-$kind.out")"
done

findt=$(awk '$1=="find"||$1=="find-after"{s += $2; n++} END{print s / n}' "$work/results")
echo "tree: $files files in $folders folders on $(df -P "$work" | awk 'NR==2{print $1}'), 1% touched"
printf '%-28s %9s %9s %9s %12s\n' command seconds "x find" "cpu s" "peak RSS MB"
while read -r name t c m; do
  awk -v n="$name" -v t="$t" -v f="$findt" -v c="$c" -v m="$m" \
    'BEGIN{printf "%-28s %9.2f %9.2f %9.2f %12.1f\n", n, t, t / f, c, m / 1024}'
done < "$work/results"
[ -n "${KEEP:-}" ] || rm -rf "$work"
