#!/bin/sh
# Times reading every item's security metadata (extended attributes, POSIX ACLs, inode flags)
# into network buffers and applying them to a bare copy of the tree, against
# cp -a --preserve=all of the same tree, in the same run: 200,000 files in 20,000 folders, an
# ACL and two extended attributes on every tenth file.
#
#   bench/acl_vs_cp.sh [BUILD_DIR] [WORK_DIR]
set -eu
build=${1:-build/release}
work=${2:-/tmp/acl-bench}
runs=${RUNS:-3}
gentree="$build/tools/gentree/scan-gentree"
bench="$build/bench/bench_acl_metadata"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
# In memory when we may mount a tmpfs (it keeps attributes, ACLs and flags): this machine's disk
# writes back at erratic speeds, which would drown the difference between the copiers.
if mount -t tmpfs -o size=8g tmpfs "$work" 2>/dev/null; then trap 'cd /; umount "$work"' EXIT; fi
"$gentree" create "$tree" --folders "${FOLDERS:-20000}" --files "${FILES:-200000}" --seed 42 >/dev/null
find "$tree" -type f | awk 'NR % 10 == 0' > "$work/tenth"
xargs -d '\n' -a "$work/tenth" setfacl -m u:1234:r--
xargs -d '\n' -a "$work/tenth" setfattr -n user.first -v value-of-the-first
xargs -d '\n' -a "$work/tenth" setfattr -n user.second -v value-of-the-second
echo "items: $(find "$tree" | wc -l), with an ACL and two attributes: $(wc -l < "$work/tenth")"
find "$tree" -type f -exec cat {} + >/dev/null  # warm the cache

best() {  # best NAME PREPARE COMMAND...: the best wall time of $runs runs
  name=$1; prepare=$2; shift 2
  b=""; i=0
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    sh -c "$prepare"
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err"; exit 1; }
    t=$(cat "$work/time")
    if [ -z "$b" ] || awk "BEGIN{exit !($t < $b)}"; then b=$t; fi
  done
  echo "$name $b"
}

{
  best "cp-a-preserve-all" "rm -rf '$work/dest'" cp -a --preserve=all "$tree" "$work/dest"
  best "cp-r-bare" "rm -rf '$work/copy'" cp -r "$tree" "$work/copy"
  # Read and apply, each phase timed inside the program; the bare copy is made anew each run.
  i=0; r=""; a=""
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    rm -rf "$work/copy" && cp -r "$tree" "$work/copy"
    BENCH_ACL_TREE="$tree" BENCH_ACL_COPY="$work/copy" "$bench" --benchmark_filter=MetadataReadAndApply \
      >/dev/null 2>"$work/phases"
    grep -q '^failures 0$' "$work/phases" || { cat "$work/phases"; exit 1; }
    rt=$(awk '$1=="read"{print $2}' "$work/phases"); at=$(awk '$1=="apply"{print $2}' "$work/phases")
    if [ -z "$r" ] || awk "BEGIN{exit !($rt < $r)}"; then r=$rt; fi
    if [ -z "$a" ] || awk "BEGIN{exit !($at < $a)}"; then a=$at; fi
  done
  echo "metadata-read $r"
  echo "metadata-apply $a"
} > "$work/results"
# The copy must now match the tree in every attribute and ACL.
(cd "$tree" && getfattr -R -d -m - -h . 2>/dev/null) > "$work/want"
(cd "$work/copy" && getfattr -R -d -m - -h . 2>/dev/null) > "$work/got"
cmp -s "$work/want" "$work/got" && echo "copy matches the tree in every attribute" || echo "COPY DIFFERS"
cpt=$(awk '$1=="cp-a-preserve-all"{print $2}' "$work/results")
printf '%-20s %8s %16s\n' step seconds "x cp -a --p=all"
while read -r name t; do
  awk -v n="$name" -v t="$t" -v c="$cpt" 'BEGIN{printf "%-20s %8.2f %16.2f\n", n, t, t / c}'
done < "$work/results"
umount "$work" 2>/dev/null && trap - EXIT || true
rm -rf "$work"
