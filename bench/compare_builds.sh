#!/usr/bin/env bash
# The same jobs through two builds of the tree, in one run: extract, check, pack and unpack
# (the 256 MiB file and the 20,000-file tree of bench/run.sh), each as a ratio of this
# build's median time to the other's. For a change that must not make anything slower.
#
#   bench/compare_builds.sh BEFORE_BUILD AFTER_BUILD     (Release builds of each tree)
# Environment: BENCH_WORK (data, default /tmp/qev-bench, shared with run.sh), BENCH_RUNS
# (default 11).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
before=$(cd "${1:?before build}" && pwd)
after=$(cd "${2:?after build}" && pwd)
work=${BENCH_WORK:-/tmp/qev-bench}
runs=${BENCH_RUNS:-11}
mkdir -p "$work"

if [ ! -f "$work/large/big.bin" ]; then
    mkdir -p "$work/large"
    find /usr/lib/x86_64-linux-gnu /usr/share/doc /usr/lib -type f -size +4k 2>/dev/null |
        LC_ALL=C sort | xargs cat 2>/dev/null | head -c 268435456 > "$work/large/big.bin" || true
fi
if [ ! -d "$work/small" ]; then
    cmake --build "$after" --target make_data > /dev/null 2>&1 || true
    helper=$after/bench/make_data
    [ -x "$helper" ] || { echo "a build with the benchmarks' helpers is needed once to make the tree" >&2; exit 1; }
    "$helper" tree "$work/small" "$work/large/big.bin" 20000 100
fi
"$after/pack/qev-pack" "$work/large" "$work/cmp-large.qev" --level 3 -q --force
"$after/pack/qev-pack" "$work/small" "$work/cmp-small.qev" --level 3 -q --force

# job NAME COMMAND-WITH-@BUILD@: both builds' medians, and after ÷ before.
job() {
    local name=$1 command=$2
    hyperfine -N --warmup 2 --runs "$runs" --output=null --export-json "$work/cmp.json" \
        --prepare "rm -rf $work/cmp-out $work/cmp-out.qev" \
        "${command//@BUILD@/$before}" "${command//@BUILD@/$after}" > /dev/null 2>&1
    python3 - "$work/cmp.json" "$name" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
b, a = r[0]["median"], r[1]["median"]
print(f"| {sys.argv[2]} | {b:.4f} | {a:.4f} | {a / b:.3f} |")
PY
}

echo "| job | before, median s | after, median s | after ÷ before |"
echo "|---|---|---|---|"
job "extract 256 MiB (qev-tool)" "@BUILD@/tool/qev-tool extract $work/cmp-large.qev big.bin"
job "check 256 MiB" "@BUILD@/check/qev-check $work/cmp-large.qev --no-progress"
job "check 20,000 files" "@BUILD@/check/qev-check $work/cmp-small.qev --no-progress"
job "pack 256 MiB" "@BUILD@/pack/qev-pack $work/large $work/cmp-out.qev -q"
job "pack 20,000 files" "@BUILD@/pack/qev-pack $work/small $work/cmp-out.qev -q"
job "unpack 256 MiB" "@BUILD@/unpack/qev-unpack $work/cmp-large.qev $work/cmp-out -q"
job "unpack 20,000 files" "@BUILD@/unpack/qev-unpack $work/cmp-small.qev $work/cmp-out -q"
