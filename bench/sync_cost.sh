#!/usr/bin/env bash
# What durable success costs qev-unpack: an archive unpacked onto /dev/shm and onto the disk
# the work folder is on, with the final sync and with --no-sync, each the median of RUNS
# runs; the destination is emptied and the page cache flushed (sync) before each run.
#
#   bench/sync_cost.sh ARCHIVE [RUNS]      (make bench builds qev-unpack first)
# Environment: BENCH_BUILD (build dir, default build-bench), BENCH_WORK (default /tmp/qev-bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
work=${BENCH_WORK:-/tmp/qev-bench}
archive=${1:?archive}
runs=${2:-5}
unpack=$build/unpack/qev-unpack

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

measure() {  # measure DEST [OPTION]
    for _ in $(seq "$runs"); do
        rm -rf "$1"
        sync
        local start end
        start=$(date +%s.%N)
        "$unpack" "$archive" "$1" -q ${2:+"$2"}
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    done | median
}

printf '| destination | with sync (s) | --no-sync (s) | ratio |\n|---|---|---|---|\n'
for dest in /dev/shm/qev-sync-cost "$work/sync-cost"; do
    synced=$(measure "$dest")
    unsynced=$(measure "$dest" --no-sync)
    printf '| %s (%s) | %.2f | %.2f | %.2f |\n' "$(dirname "$dest")" "$(stat -f -c %T "$(dirname "$dest")")" \
        "$synced" "$unsynced" "$(echo "$synced / $unsynced" | bc -l)"
    rm -rf "$dest"
done
