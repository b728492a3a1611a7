#!/bin/sh
# Backup fidelity and restore, timed against cp -a --preserve=all and tar in the same run, on
# 200,000 files in 20,000 folders with an ACL and two extended attributes on every tenth file:
#   - fsscan backup with and without the metadata store (--no-metadata),
#   - fsscan restore of the whole tree against cp -a --preserve=all and tar (--acls --xattrs),
#   - the incremental scan after a --preserve-atime backup against one after a plain backup
#     (no change in either: both must collect no file).
#
#   bench/restore_vs_cp.sh [BUILD_DIR] [WORK_DIR]
set -eu
build=${1:-build/release}
work=${2:-/tmp/restore-bench}
runs=${RUNS:-3}
gentree="$build/tools/gentree/scan-gentree"
fsscan="$build/tools/fsscan/fsscan"
tree="$work/tree"

rm -rf "$work"
mkdir -p "$work"
# In memory when a tmpfs can be mounted (it keeps attributes, ACLs and flags).
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
    sh -c "$prepare" >/dev/null 2>&1
    /usr/bin/time -f '%e' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || { cat "$work/err"; exit 1; }
    t=$(cat "$work/time")
    if [ -z "$b" ] || awk "BEGIN{exit !($t < $b)}"; then b=$t; fi
  done
  echo "$name $b"
}
fresh_scan() {  # fresh_scan RESULTS: a new job-results folder holding a full scan of the tree
  echo "rm -rf '$1' && mkdir -p '$1' && '$fsscan' scan --results '$1' --content '$tree' --level full"
}

{
  best "cp-a-preserve-all" "rm -rf '$work/cp'" cp -a --preserve=all "$tree" "$work/cp"
  best "tar-acls-xattrs" "rm -rf '$work/tar' && mkdir '$work/tar'" \
    sh -c "tar -C '$tree' --acls --xattrs -cf - . | tar -C '$work/tar' --acls --xattrs -xf -"
  best "backup-without-metadata" "$(fresh_scan "$work/r0"); rm -rf '$work/d0'" \
    "$fsscan" backup --results "$work/r0" --dest "$work/d0" --no-metadata
  best "backup-with-metadata" "$(fresh_scan "$work/r1"); rm -rf '$work/d1'" \
    "$fsscan" backup --results "$work/r1" --dest "$work/d1"
  best "restore" "rm -rf '$work/t1'" \
    "$fsscan" restore --results "$work/r1" --from "$work/d1" --to "$work/t1"
  # The incremental after each kind of backup; nothing changed in between.
  best "incremental-after-plain-backup" \
    "$(fresh_scan "$work/r2"); rm -rf '$work/d2'; '$fsscan' backup --results '$work/r2' --dest '$work/d2'" \
    "$fsscan" scan --results "$work/r2" --content "$tree" --level incremental
  grep -o '[0-9,]* collected' "$work/out" | sed 's/^/  plain: /' >&2
  best "incremental-after-preserve-atime" \
    "$(fresh_scan "$work/r3"); rm -rf '$work/d3'; '$fsscan' backup --results '$work/r3' --dest '$work/d3' --preserve-atime" \
    "$fsscan" scan --results "$work/r3" --content "$tree" --level incremental
  grep -o '[0-9,]* collected' "$work/out" | sed 's/^/  preserve-atime: /' >&2
} > "$work/results"
# The restored tree must match the tree in every attribute and ACL.
# Item by item, whatever order the folders list their entries in.
attrs() { (cd "$1" && getfattr -R -d -m - -h . 2>/dev/null) | awk '/^# file: /{f=substr($0, 9); next} NF{print f "\t" $0}' | sort; }
attrs "$tree" > "$work/want"
attrs "$work/t1$tree" > "$work/got"
cmp -s "$work/want" "$work/got" && echo "restored tree matches in every attribute" || echo "RESTORED TREE DIFFERS"
cpt=$(awk '$1=="cp-a-preserve-all"{print $2}' "$work/results")
plain=$(awk '$1=="backup-without-metadata"{print $2}' "$work/results")
printf '%-34s %8s %10s %14s\n' step seconds "x cp -a" "x plain backup"
while read -r name t; do
  awk -v n="$name" -v t="$t" -v c="$cpt" -v p="$plain" 'BEGIN{printf "%-34s %8.2f %10.2f %14.2f\n", n, t, t / c, t / p}'
done < "$work/results"
umount "$work" 2>/dev/null && trap - EXIT || true
rm -rf "$work"
