#!/usr/bin/env bash
# Builds the packages and the Windows zip twice, in two different folders, and requires
# byte-identical results (SOURCE_DATE_EPOCH comes from debian/changelog).
#   packaging/reproducible.sh WORK
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$1
for run in a b; do
    "$root/packaging/build_debs.sh" "$work/$run"
    make -C "$root" --no-print-directory package-windows WINDOWS_DIR="$work/windows-$run" PACKAGE_DIR="$work/$run"
done
(cd "$work/a" && sha256sum *.deb *.zip) > "$work/a.sums"
(cd "$work/b" && sha256sum *.deb *.zip) > "$work/b.sums"
if ! diff "$work/a.sums" "$work/b.sums"; then
    echo "Error: two builds of the same tree differ" >&2
    exit 1
fi
echo "Reproducible: $(wc -l < "$work/a.sums") files byte-identical in two builds"
