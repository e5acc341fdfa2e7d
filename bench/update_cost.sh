#!/usr/bin/env bash
# What qev-pack --update costs, on /dev/shm: the 20,000-file tree of 100 title folders, and
# one more title of the same kind (200 files). Each time is the median of RUNS runs.
#   adding the title: against cp of the archive plus packing the title alone, and against
#     packing the merged tree from scratch;
#   removing a title: against cp of the archive;
#   --recompress at level 19: against packing the tree at level 19.
#
#   bench/update_cost.sh SOURCE_BYTES [RUNS]   (SOURCE_BYTES: a file of at least 1 MiB the
#                                               files are cut from; make bench builds first)
# Environment: BENCH_BUILD (build dir, default build-bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
source=${1:?a file to cut the files from}
runs=${2:-5}
work=$(mktemp -d /dev/shm/qev-update-XXXXXX)
trap 'rm -rf "$work"' EXIT
pack=$build/pack/qev-pack

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# timed PREPARE COMMAND...: the median time of COMMAND, PREPARE run untimed before each.
timed() {
    local prepare=$1
    shift
    for _ in $(seq "$runs"); do
        eval "$prepare"
        local start end
        start=$(date +%s.%N)
        "$@" > /dev/null
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    done | median
}
ratio() { echo "$1 / $2" | bc -l; }

# 20,200 files in 101 titles; the 101st is the one added.
"$build/bench/make_data" tree "$work/merged" "$source" 20200 101
extra=$(cd "$work/merged" && ls | sort | tail -n 1)
mkdir -p "$work/tree" "$work/add"
cp -a "$work/merged/." "$work/tree/"
mv "$work/tree/$extra" "$work/add/"
"$pack" "$work/tree" "$work/base.qev" -q
first=$(cd "$work/tree" && ls | sort | head -n 1)

# cp over an earlier copy, as an update replaces the archive: both free the old file's pages.
cp_time=$(timed "cp $work/base.qev $work/copy.qev" cp "$work/base.qev" "$work/copy.qev")
title_time=$(timed "" "$pack" "$work/add" "$work/title.qev" -q --force)
merged_time=$(timed "" "$pack" "$work/merged" "$work/merged.qev" -q --force)
add_time=$(timed "cp $work/base.qev $work/u.qev" "$pack" --update "$work/u.qev" --add "$work/add" -q)
remove_time=$(timed "cp $work/base.qev $work/u.qev" "$pack" --update "$work/u.qev" --remove "$first" -q)
level19=$(timed "" "$pack" "$work/tree" "$work/p19.qev" -q --force --level 19)
recompress=$(timed "" "$pack" --update "$work/base.qev" --recompress --level 19 -o "$work/r19.qev" --force -q)
"$build/check/qev-check" "$work/u.qev" > /dev/null

printf '| what | measured | ratio | target |\n|---|---|---|---|\n'
printf '| add a title ÷ (cp + pack the title) | %.3f s ÷ (%.3f + %.3f) s | %.2f | 1.5 |\n' "$add_time" "$cp_time" \
    "$title_time" "$(ratio "$add_time" "$(echo "$cp_time + $title_time" | bc -l)")"
printf '| add a title ÷ pack the merged tree | %.3f s ÷ %.3f s | %.2f | 0.15 |\n' "$add_time" "$merged_time" \
    "$(ratio "$add_time" "$merged_time")"
printf '| remove a title ÷ cp | %.3f s ÷ %.3f s | %.2f | 1.5 |\n' "$remove_time" "$cp_time" "$(ratio "$remove_time" "$cp_time")"
printf '| --recompress --level 19 ÷ pack --level 19 | %.3f s ÷ %.3f s | %.2f | |\n' "$recompress" "$level19" \
    "$(ratio "$recompress" "$level19")"
printf '| sizes: base, recompressed, packed at 19 | %d B, %d B, %d B | | |\n' "$(stat -c %s "$work/base.qev")" \
    "$(stat -c %s "$work/r19.qev")" "$(stat -c %s "$work/p19.qev")"
