#!/usr/bin/env bash
# Builds the fuzz targets with clang, seeds a working corpus from the builder's archives
# and runs one target for a number of seconds. Inputs that crash, hang or leak are kept in
# fuzz/findings/TARGET/; the script fails when there are any.
#
#   fuzz/run.sh archive|text|unpack|check|library SECONDS
set -euo pipefail
target=${1:?target: archive, text, unpack, check or library}
seconds=${2:?seconds}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QEV_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQEV_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --target "${target}_fuzzer" qev_seed_corpus

seeds=$build/seeds
"$build/fuzz/qev_seed_corpus" "$seeds/archive" "$seeds/text"
# Unpacking starts from the same archives as reading.
seedset=$target
[ "$target" = unpack ] || [ "$target" = check ] || [ "$target" = library ] && seedset=archive
work=$build/corpus/$target
findings=$root/fuzz/findings/$target
mkdir -p "$work" "$findings"
extra=()
[ "$target" != text ] && extra+=(-dict="$root/fuzz/archive.dict")

"$build/fuzz/${target}_fuzzer" "$work" "$seeds/$seedset" "${extra[@]}" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=131072 \
  -artifact_prefix="$findings/" -print_final_stats=1
