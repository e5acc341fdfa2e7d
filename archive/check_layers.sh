#!/usr/bin/env bash
# Fails on an include against the layers' direction (archive/README.md): each folder of
# archive/ may include only itself and the folders below it, and none includes a program,
# the program shell or the library.
#   archive/check_layers.sh [SOURCE_DIR]
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
declare -A allowed=(
  [format]="format"
  [read]="format read"
  [write]="format write"
  [records]="format read records"
  [verify]="format read records verify"
  [testing]="format read write testing"
)
failed=0
for layer in "${!allowed[@]}"; do
  for file in "$root/archive/$layer"/*.h "$root/archive/$layer"/*.cpp; do
    [ -e "$file" ] || continue
    while IFS= read -r line; do
      target=$(sed -E 's/^#include "([^"]+)".*/\1/' <<< "$line")
      case $target in
        archive/*/*) used=${target#archive/}; used=${used%%/*} ;;
        system/*) continue ;;
        *) echo "${file#$root/}: includes $target, which the format's layers may not use"; failed=1; continue ;;
      esac
      if ! grep -qw "$used" <<< "${allowed[$layer]}"; then
        echo "${file#$root/}: includes $target, but $layer/ may use only: ${allowed[$layer]}"
        failed=1
      fi
    done < <(grep -E '^#include "' "$file")
  done
done
for file in "$root"/archive/*.h "$root"/archive/*.cpp; do
  [ -e "$file" ] && { echo "${file#$root/}: every file of archive/ belongs to one of its layers"; failed=1; }
done
[ "$failed" = 0 ] && echo "the format's layers include only in their direction"
exit "$failed"
