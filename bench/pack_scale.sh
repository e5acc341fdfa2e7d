#!/usr/bin/env bash
# qev-pack at scale: a tree of 1,000,000 files and a 10 GiB sparse file, each packed with
# its peak memory measured against the bound of 32 MiB plus 100 bytes per entry.
# Prints one line per case: "NAME ENTRIES PEAK_KIB BOUND_KIB SECONDS".
#   bench/pack_scale.sh BUILD_DIR
set -euo pipefail
build=$1
pack=$build/pack/qev-pack
tree=/dev/shm/qev-pack-scale
out=/dev/shm/qev-pack-scale.qev
rm -rf "$tree" "$out"
mkdir -p "$tree/many" "$tree/sparse"
# 1,000 folders of 1,000 small files each, of 1 to 100 bytes.
(cd "$tree/many" && for f in $(seq 0 999); do
    d=$(printf '00050000%08X_v0' $((0x10000000 + f)))
    mkdir "$d" && (cd "$d" && seq 0 999 | awk -v f="$f" '{ printf "%d-%d", f, $1 > ("f" $1 ".bin") }')
done)
truncate -s 10G "$tree/sparse/huge.bin"
measure() {  # measure NAME DIR ENTRIES
    local start end kb
    start=$(date +%s.%N)
    kb=$( { /usr/bin/time -f '%M' "$pack" "$2" "$out" --force -q > /dev/null; } 2>&1 | tail -n 1)
    end=$(date +%s.%N)
    echo "$1 $3 $kb $(( 32 * 1024 + $3 * 100 / 1024 )) $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')"
    rm -f "$out"
}
measure "1M files" "$tree/many" 1001001
measure "10 GiB sparse file" "$tree/sparse" 2
rm -rf "$tree"
