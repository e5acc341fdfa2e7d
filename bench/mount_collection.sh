#!/usr/bin/env bash
# qev-mount on collections, against squashfuse on the same trees, in one run:
#   - 1,000,000 entries: a find over the whole mount, then reading every 1,000th file;
#   - 1,000 archives of one title and 200 files each, mounted from their folder: mount
#     time, a find plus reading every file, peak memory and open descriptors;
#   - a cold read of one 256 MiB file.
# Every run mounts afresh after dropping the kernel's caches where it may. Prints one
# tab-separated line per measurement: GROUP, PROGRAM, seconds (median), peak KiB, most
# descriptors.
#   bench/mount_collection.sh BUILD_DIR WORK_DIR [RUNS]
set -euo pipefail
build=$1
work=$2
runs=${3:-5}
helpers=$build/bench
qm=$build/mount/qev-mount
pack=$build/pack/qev-pack
mkdir -p "$work"
log() { printf '== %s\n' "$*" >&2; }

squash() { [ -f "$2" ] || mksquashfs "$1" "$2" -comp zstd -Xcompression-level 3 -b 65536 -noappend -quiet -no-progress; }

make_inputs() {
    [ -f "$work/large/big.bin" ] || { log "bench/run.sh makes large/big.bin first"; exit 1; }
    [ -f "$work/large.qev" ] || "$pack" "$work/large" "$work/large.qev" --level 3 -q
    squash "$work/large" "$work/large.sqfs"
    if [ ! -f "$work/million.qev" ]; then
        log "making 1,000,000 entries"
        rm -rf "$work/million"
        "$helpers/make_data" tree "$work/million" "$work/large/big.bin" 998000 1000 512
        "$pack" "$work/million" "$work/million.qev" --level 3 -q
        squash "$work/million" "$work/million.sqfs"
        rm -rf "$work/million"
    fi
    if [ ! -d "$work/titles" ]; then
        log "making 1,000 archives of one title and 200 files each"
        rm -rf "$work/titles-src" "$work/titles.tmp"
        "$helpers/make_data" tree "$work/titles-src" "$work/large/big.bin" 200000 1000 4096
        mkdir -p "$work/titles.tmp"
        for t in "$work/titles-src"/*; do
            name=$(basename "$t")
            mkdir -p "$work/one/$name" && mv "$t" "$work/one/$name/"
            "$pack" "$work/one/$name" "$work/titles.tmp/$name.qev" --level 3 -q
            rm -rf "$work/one/$name"
        done
        rm -rf "$work/titles-src" "$work/one"
        mv "$work/titles.tmp" "$work/titles"
    fi
}

drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true; }

# run_once PROGRAM SOURCE WORKLOAD: mounts SOURCE with PROGRAM, runs WORKLOAD (a shell
# command given the mount point as $1), and prints "mount-seconds work-seconds peak-KiB
# most-descriptors".
run_once() {
    local mnt=$work/mnt-$$ start ready done pid fds=0 most=0
    mkdir -p "$mnt"
    fusermount3 -u "$mnt" 2>/dev/null || true
    drop_caches
    start=$(date +%s.%N)
    $1 "$2" "$mnt" -f 2>/dev/null &
    pid=$!
    until mountpoint -q "$mnt"; do sleep 0.002; done
    ready=$(date +%s.%N)
    (while kill -0 "$pid" 2>/dev/null; do ls "/proc/$pid/fd" 2>/dev/null | wc -l; sleep 0.05; done) > "$work/fds-$$" &
    local sampler=$!
    sh -c "$3" sh "$mnt" > /dev/null 2>&1 || true  # a directory among the files is no failure
    done=$(date +%s.%N)
    local kb
    kb=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
    fusermount3 -u "$mnt"
    wait "$pid" || true
    wait "$sampler" 2>/dev/null || true
    most=$(sort -n "$work/fds-$$" | tail -1)
    echo "$(echo "$ready - $start" | bc) $(echo "$done - $ready" | bc) $kb ${most:-0}"
}

# measure GROUP NAME PROGRAM SOURCE WORKLOAD: medians of the times, the largest peak and
# descriptor count over the runs.
measure() {
    local group=$1 name=$2 out=$work/runs-$$
    : > "$out"
    for _ in $(seq "$runs"); do run_once "$3" "$4" "$5" >> "$out"; done
    local mountmed workmed kb fds
    mountmed=$(cut -d' ' -f1 "$out" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    workmed=$(cut -d' ' -f2 "$out" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    kb=$(cut -d' ' -f3 "$out" | sort -n | tail -1)
    fds=$(cut -d' ' -f4 "$out" | sort -n | tail -1)
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$group" "$name" "$workmed" "$kb" "$fds" "$mountmed"
}

make_inputs
every1000='find "$1" > "$1.list"; awk "NR % 1000 == 0" "$1.list" | xargs -d "\n" cat'
every1000=${every1000//\$1.list/$work/list-$$}
log "1,000,000 entries: find, then every 1,000th file"
measure million qev-mount "$qm" "$work/million.qev" "$every1000"
measure million squashfuse squashfuse "$work/million.sqfs" "$every1000"
log "1,000 archives from their folder: find and every file"
measure titles qev-mount "$qm" "$work/titles" 'find "$1" -type f -print0 | xargs -0 cat'
log "cold read of 256 MiB"
measure cold-read qev-mount "$qm" "$work/large.qev" 'cat "$1/big.bin"'
measure cold-read squashfuse squashfuse "$work/large.sqfs" 'cat "$1/big.bin"'
rm -f "$work/runs-$$" "$work/fds-$$" "$work/list-$$"
