#!/usr/bin/env bash
# libqev against qev-tool, in one run: a 256 MiB file read through qev_read in 1 MiB
# pieces by one thread and by two (each one half), against qev-tool extract of it into
# /dev/null; 100,000 random path lookups through qev_lookup and through the core. Then
# import qev (built in the bench tree): readinto a reused 1 MiB buffer against the C
# example copying the file to /dev/null, one and two threads, and walk() over 1,000,000
# entries against os.walk over them unpacked on /dev/shm.
#
#   bench/library.sh BIG_FILE [RUNS]   (BIG_FILE: 256 MiB of real data; make bench builds)
# Environment: BENCH_BUILD (build dir, default build-bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
big=${1:?a file of 256 MiB}
runs=${2:-10}
work=$(mktemp -d /dev/shm/qev-library-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/large"
cp "$big" "$work/large/big.bin"
"$build/pack/qev-pack" "$work/large" "$work/large.qev" --level 3 -q
"$build/bench/make_data" tree "$work/tree" "$big" 20000 100 > /dev/null
"$build/pack/qev-pack" "$work/tree" "$work/tree.qev" -q
read=$build/bench/library_read
hyperfine -N --warmup 2 --runs "$runs" \
    -n "qev-tool extract" "sh -c '$build/tool/qev-tool extract $work/large.qev big.bin > /dev/null'" \
    -n "qev_read, 1 thread" "$read read $work/large.qev big.bin 1" \
    -n "qev_read, 1 thread, no proof" "$read read $work/large.qev big.bin 1 none" \
    -n "qev_read, 2 threads" "$read read $work/large.qev big.bin 2"
# Throughput once opened, one and two threads taking turns; the median of each.
for i in $(seq "$runs"); do
    for threads in 1 2; do "$read" read "$work/large.qev" big.bin "$threads"; done
done > "$work/throughput"
for threads in 1 2; do
    grep "^$threads thread" "$work/throughput" | awk '{print $3}' | sort -n |
        awk -v t="$threads" '{v[NR] = $1} END {printf "%s thread(s): median %d MiB/s of %d runs\n", t, v[int((NR + 1) / 2)], NR}'
done
for i in 1 2 3; do "$read" lookup "$work/tree.qev" 100000; done

if [ -d "$build/python/qev" ]; then
    cc -O2 "$root/examples/c/qev_example.c" -I"$root/include" -I"$build/include" -L"$build/lib" -lqev \
        -Wl,-rpath,"$build/lib" -o "$work/qev_example"
    export PYTHONPATH=$build/python
    py=${PYTHON:-/usr/bin/python3}
    hyperfine -N --warmup 2 --runs "$runs" \
        -n "C example" "$work/qev_example $work/large.qev big.bin /dev/null" \
        -n "python readinto, 1 thread" "$py $root/bench/python_read.py read $work/large.qev big.bin 1" \
        -n "python readinto, 2 threads" "$py $root/bench/python_read.py read $work/large.qev big.bin 2"
    for i in $(seq "$runs"); do
        for threads in 1 2; do "$py" "$root/bench/python_read.py" read "$work/large.qev" big.bin "$threads"; done
    done > "$work/python-throughput"
    for threads in 1 2; do
        grep "^$threads thread" "$work/python-throughput" | awk '{print $3}' | sort -n |
            awk -v t="$threads" '{v[NR] = $1} END {printf "python %s thread(s): median %d MiB/s of %d runs\n", t, v[int((NR + 1) / 2)], NR}'
    done
    "$build/bench/make_data" wide "$work/wide.qev" 1000000 > /dev/null
    "$build/unpack/qev-unpack" "$work/wide.qev" "$work/wide" -q
    for i in 1 2 3; do
        "$py" "$root/bench/python_read.py" walk qev "$work/wide.qev"
        "$py" "$root/bench/python_read.py" walk os "$work/wide"
    done
fi
