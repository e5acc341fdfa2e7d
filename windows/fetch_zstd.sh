#!/usr/bin/env bash
# Builds libzstd for Windows from Debian's own source package, into DIR, once.
#   windows/fetch_zstd.sh DIR     (prints DIR/zstd, holding lib/libzstd.a and lib/zstd.h)
set -euo pipefail
out=$("$(dirname "$0")/fetch_source.sh" "$1" libzstd zstd)
if [ ! -f "$out/lib/libzstd.a" ]; then
    make -s -C "$out/lib" -j "$(nproc)" libzstd.a CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
        ZSTD_LEGACY_SUPPORT=0 > "$out/../zstd-build.log" 2>&1
fi
echo "$out"
