#!/usr/bin/env bash
# Peak memory of qev-mount and squashfuse serving a 1,000,000-entry tree while every reader
# is busy: a find over all entries and four concurrent copies of large files at once.
# Prints "qev-mount KIB" and "squashfuse KIB" (VmHWM of the daemon).
#   bench/mount_memory.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
tree=/dev/shm/qev-wide-tree
mkdir -p "$work"
if [ ! -f "$work/wide-data.qev" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    # 1000 folders of 999 empty files, and four files of 32 MiB of mixed data.
    (cd "$tree" && for f in $(seq 0 999); do
        d=$(printf '00050000%08X_v%d' $((0x10000000 + f)) $((f % 100)))
        mkdir "$d" && (cd "$d" && seq -f "f%05g.bin" 0 998 | xargs touch)
    done)
    for i in 1 2 3 4; do
        head -c $((32 << 20)) < <(tail -c +$((i * (32 << 20))) "$work/large/big.bin") > "$tree/big$i.bin"
    done
    "$build/pack/qev-pack" "$tree" "$work/wide-data.qev" --force
    mksquashfs "$tree" "$work/wide-data.sqfs" -comp zstd -Xcompression-level 3 -b 65536 -noappend -quiet -no-progress
    rm -rf "$tree"
fi
measure() {  # measure NAME MOUNT-COMMAND IMAGE
    local mnt=$work/mnt-mem
    mkdir -p "$mnt"
    fusermount3 -u "$mnt" 2>/dev/null || true
    $2 "$3" "$mnt" -f &
    local pid=$!
    for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
    find "$mnt" > /dev/null &
    for i in 1 2 3 4; do cat "$mnt/big$i.bin" > /dev/null & done
    wait %2 %3 %4 %5 %6 2>/dev/null || true
    local kb
    kb=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
    fusermount3 -u "$mnt"
    wait "$pid" || true
    echo "$1 $kb"
}
sync
echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
measure qev-mount "$build/mount/qev-mount" "$work/wide-data.qev"
measure squashfuse squashfuse "$work/wide-data.sqfs"
