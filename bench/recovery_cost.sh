#!/usr/bin/env bash
# What the recovery record costs and what a repair takes, on /dev/shm: SOURCE_DIR packed
# without a record, with --recovery 1 and with --recovery 2 (sizes and times); qev-check of
# the --recovery 2 archive; qev-check --repair of it after a 1 MiB run of damage in the
# middle. Each time is the median of RUNS runs.
#
#   bench/recovery_cost.sh SOURCE_DIR [RUNS]      (make bench builds the programs first)
# Environment: BENCH_BUILD (build dir, default build-bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
source=${1:?source folder}
runs=${2:-5}
work=$(mktemp -d /dev/shm/qev-recovery-XXXXXX)
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() {  # seconds COMMAND...: the median wall time of RUNS runs
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s.%N)
        "$@" > /dev/null 2>&1 || true
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    done | median
}
damaged_repair() {  # a fresh copy damaged by 1 MiB of random bytes at the middle, repaired
    cp "$work/r2.qev" "$work/d.qev"
    local size
    size=$(stat -c %s "$work/d.qev")
    head -c 1048576 /dev/urandom | dd of="$work/d.qev" bs=1M seek=$((size / 2)) oflag=seek_bytes conv=notrunc status=none
    local start end
    start=$(date +%s.%N)
    "$build/check/qev-check" --repair "$work/d.qev" > /dev/null
    end=$(date +%s.%N)
    cmp -s "$work/r2.qev" "$work/d.qev" || { echo "repair did not give back every byte" >&2; exit 1; }
    echo "$end - $start" | bc
}

pack=$build/pack/qev-pack
plain=$(seconds "$pack" "$source" "$work/p.qev" -q --force)
one=$(seconds "$pack" "$source" "$work/r1.qev" -q --force --recovery 1)
two=$(seconds "$pack" "$source" "$work/r2.qev" -q --force --recovery 2)
check=$(seconds "$build/check/qev-check" "$work/r2.qev")
repair=$(for _ in $(seq "$runs"); do damaged_repair; done | median)
p=$(stat -c %s "$work/p.qev") r1=$(stat -c %s "$work/r1.qev") r2=$(stat -c %s "$work/r2.qev")
printf '| what | measured | ratio | target |\n|---|---|---|---|\n'
printf '| qev-pack --recovery 1 ÷ without | %.3f s ÷ %.3f s | %.2f | 1.10 |\n' "$one" "$plain" "$(echo "$one / $plain" | bc -l)"
printf '| qev-pack --recovery 2 ÷ without | %.3f s ÷ %.3f s | %.2f | |\n' "$two" "$plain" "$(echo "$two / $plain" | bc -l)"
printf '| size, --recovery 1 | %d B against %d B | +%.3f%% (+%d B over 1%%) | 1%% + a few KiB |\n' "$r1" "$p" \
    "$(echo "($r1 - $p) * 100 / $p" | bc -l)" "$(( (r1 - p) - p / 100 ))"
printf '| size, --recovery 2 | %d B | +%.3f%% | |\n' "$r2" "$(echo "($r2 - $p) * 100 / $p" | bc -l)"
printf '| qev-check --repair of a 1 MiB run ÷ qev-check (--recovery 2) | %.3f s ÷ %.3f s | %.2f | 2 |\n' \
    "$repair" "$check" "$(echo "$repair / $check" | bc -l)"
"$build/check/qev-check" "$work/r1.qev" | grep '^Recovery:' | sed 's/^/--recovery 1: /'
"$build/check/qev-check" "$work/r2.qev" | grep '^Recovery:' | sed 's/^/--recovery 2: /'
