#!/bin/sh
# The scanner's walk with 1 and 2 walkers against find -printf on one generated tree (1,000,000
# files in 100,000 folders by default), from a warm cache, in the same run.
#
#   bench/walk_vs_find.sh [BUILD_DIR] [WORK_DIR]
#
# FILES and FOLDERS change the tree; the tree is kept between runs (delete WORK_DIR to rebuild).
set -eu
build=${1:-build/release}
work=${2:-/tmp/walk-bench}
files=${FILES:-1000000}
folders=${FOLDERS:-100000}
tree="$work/tree-$files-$folders"

if [ ! -d "$tree" ]; then
  mkdir -p "$work"
  "$build/tools/gentree/scan-gentree" create "$tree.tmp" --folders "$folders" --files "$files" --seed 42 >/dev/null
  mv "$tree.tmp" "$tree"
fi
find "$tree" -printf '%p %s %T@ %C@\n' >/dev/null  # warm the cache
SCAN_BENCH_TREE="$tree" "$build/bench/bench_scanner_walk" --benchmark_min_time=${MIN_TIME:-3}
