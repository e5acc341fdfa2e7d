#!/usr/bin/env bash
# Fails where a C or C++ file differs from what .clang-format makes of it (the Python
# module's cffi declarations are not C, and are left out). Exits 77, a skip, without
# clang-format.
#   cmake/check_format.sh SOURCE_DIR
set -uo pipefail
cd "${1:?source dir}" || exit 1
format=$(command -v clang-format-14 || command -v clang-format) || { echo "skipped: clang-format is not installed"; exit 77; }
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null | grep -v '^python/') ||
    files=$(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print | grep -v '^./python/')
failed=0
for f in $files; do
    "$format" --dry-run --Werror "$f" > /dev/null 2>&1 || { echo "not formatted: $f (clang-format -i $f)"; failed=1; }
done
[ "$failed" = 0 ] && echo "every C and C++ file is formatted"
exit "$failed"
