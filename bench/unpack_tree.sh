#!/usr/bin/env bash
# qev-unpack of a tree of small files on /dev/shm with two jobs, in one hyperfine run
# against unsquashfs -p 2 and, when BASELINE names a commit, against qev-unpack built from
# it (in a worktree beside the build): the 20,000-file tree of 100 title folders.
#
#   bench/unpack_tree.sh SOURCE_BYTES [RUNS]   (SOURCE_BYTES: a file the files are cut from;
#                                               make bench builds first)
# Environment: BENCH_BUILD (build dir, default build-bench), BASELINE (a commit, optional).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
source=${1:?a file to cut the files from}
runs=${2:-10}
work=$(mktemp -d /dev/shm/qev-unpack-XXXXXX)
trap 'rm -rf "$work"; [ -n "${BASELINE:-}" ] && git -C "$root" worktree remove --force "$work-base" 2>/dev/null || true' EXIT

"$build/bench/make_data" tree "$work/tree" "$source" 20000 100 > /dev/null
"$build/pack/qev-pack" "$work/tree" "$work/tree.qev" -q
mksquashfs "$work/tree" "$work/tree.sqfs" -comp zstd -Xcompression-level 3 -b 65536 -noappend -quiet -no-progress
commands=(-n qev-unpack "$build/unpack/qev-unpack $work/tree.qev $work/o1 -j 2 -q"
          -n "unsquashfs -p 2" "unsquashfs -p 2 -q -n -d $work/o3 $work/tree.sqfs")
if [ -n "${BASELINE:-}" ]; then
    git -C "$root" worktree add -f "$work-base" "$BASELINE" -q
    cmake -S "$work-base" -B "$work-base/b" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
    cmake --build "$work-base/b" --target qev-unpack qev-pack > /dev/null
    "$work-base/b"/*/qev-pack "$work/tree" "$work/base.qev" -q 2> /dev/null
    commands+=(-n "qev-unpack at $BASELINE" "$work-base/b/unpack/qev-unpack $work/base.qev $work/o2 -j 2 -q")
fi
hyperfine -N --warmup 2 --runs "$runs" --prepare "rm -rf $work/o1 $work/o2 $work/o3" "${commands[@]}"
