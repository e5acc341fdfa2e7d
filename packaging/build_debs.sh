#!/usr/bin/env bash
# Builds the Debian packages, the Debian way, from the files git tracks (debian/ among
# them) copied under OUT, so that nothing of a developer's build trees gets in. The .debs,
# .buildinfo and .changes land in OUT.
#   packaging/build_debs.sh OUT
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
rm -rf "$out/src" "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
mkdir -p "$out/src"
(cd "$root" && git ls-files -z | xargs -0 tar -cf -) | tar -xf - -C "$out/src"
(cd "$out/src" && dpkg-buildpackage -b -us -uc)
rm -rf "$out/src"
