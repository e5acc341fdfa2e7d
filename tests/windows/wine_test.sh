#!/usr/bin/env bash
# Runs the Windows executables under Wine and compares each run with the native build's:
# standard output, standard error and exit status must be the same, byte for byte (the
# usage text names the program as it was started, which Wine gives as a Windows path).
# Skips, saying so, where Wine cannot start.
#   tests/windows/wine_test.sh NATIVE_BUILD WINDOWS_BUILD
set -uo pipefail
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
trap 'WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX=$windows/wine-prefix WINEDEBUG=-all
if [ ! -x "$wine" ] || ! timeout 120 "$wine" cmd /c exit > /dev/null 2>&1; then
    echo "skipped: Wine cannot start here"
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
fi
passed=0
failed=0

# same NAME PROGRAM ARGS...: the native and the Windows program (PROGRAM is its path in a
# build tree, such as cli/qev-tool) agree. Text lines end in CR LF on Windows, where the
# standard streams are in text mode; extract alone puts standard output in binary mode,
# and its bytes must match exactly.
same() {
    local name=$1 program=$2
    shift 2
    local exe=$windows/$program.exe
    (cd "$work" && timeout 60 "$native/$program" "$@" > n.out 2> n.err; echo $? > n.rc)
    (cd "$work" && timeout 60 "$wine" "$exe" "$@" > w.out 2> w.err; echo $? > w.rc)
    # The usage text names the program: Wine hands it over as a Windows path.
    local shown="Z:${exe//\//\\}"
    sed -i "s|${shown//\\/\\\\}|$native/$program|g" "$work/w.out"
    sed -i 's/\r$//' "$work/w.err"
    if [ "${1:-}" != extract ] || [ "$(cat "$work/w.rc")" != 0 ]; then sed -i 's/\r$//' "$work/w.out"; fi
    if cmp -s "$work/n.out" "$work/w.out" && cmp -s "$work/n.err" "$work/w.err" && cmp -s "$work/n.rc" "$work/w.rc"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
        diff <(cat "$work/n.rc" "$work/n.err"; head -c 300 "$work/n.out") <(cat "$work/w.rc" "$work/w.err"; head -c 300 "$work/w.out") | head -n 10
    fi
}

# Archives: the sample, the regression corpus, and one holding line-end and end-of-file bytes.
cp "$root/examples/sample.qev" "$work/sample.qev"
cp "$root"/tests/regression/archive/*.qev "$work/"
mkdir -p "$work/src/Title/Bytes"
printf 'a\nb\r\nc\x1a\x00d\r' > "$work/src/Title/Bytes/ends.bin"
head -c 300000 /dev/urandom > "$work/src/Title/Bytes/random.bin"
"$native/tools/qev-pack" "$work/src" "$work/ends.qev" -q
mkdir -p "$work/a directory"

tool=cli/qev-tool
same "usage" $tool
same "unknown command" $tool frob sample.qev
same "missing path" $tool list
same "missing file path" $tool extract sample.qev
same "list" $tool list sample.qev
same "info" $tool info sample.qev
same "extract" $tool extract sample.qev 0005000010101D00_v64/meta/meta.xml
same "extract with backslashes and other case" $tool extract sample.qev '0005000010101d00_V64\META\Meta.XML'
same "extract a directory" $tool extract sample.qev 0005000010101D00_v64
same "extract a missing file" $tool extract sample.qev no/such/file
same "line-end bytes come out unchanged" $tool extract ends.qev Title/Bytes/ends.bin
same "a binary file comes out unchanged" $tool extract ends.qev 'title\bytes\RANDOM.bin'
same "a file that is not an archive" $tool info "$root/README.md"
same "a directory" $tool list "a directory"
same "a missing archive" $tool info missing.qev
for a in "$work"/hand-*.qev; do
    n=$(basename "$a")
    same "$n list" $tool list "$n"
    same "$n info" $tool info "$n"
    same "$n extract" $tool extract "$n" 0005000010101D00_v64/content/data.bin
done
# A non-ASCII archive path. With a UTF-8 Unix locale, Wine hands the program its arguments
# in the ANSI code page (1252): the path arrives as caf\xE9.qev, is converted from that
# code page to a wide path, opens, and is echoed as it arrived.
cp "$work/sample.qev" "$work/café.qev"
(cd "$work" && LC_ALL=C.UTF-8 LANG=C.UTF-8 timeout 60 "$wine" "$windows/cli/qev-tool.exe" info "café.qev" > w.out 2> w.err; echo $? > w.rc)
if [ "$(cat "$work/w.rc")" = 0 ] && [ ! -s "$work/w.err" ] &&
   cmp -s "$work/w.out" <(printf '{"path":"caf\xe9.qev","totalFiles":3,"totalSize":0}\r\n'); then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAILED: a non-ASCII archive path in the ANSI code page"
    od -c "$work/w.out" | head -n 3
fi

same "check" check/qev-check sample.qev --no-progress
same "check --json" check/qev-check sample.qev --json --no-progress
same "check --list" check/qev-check sample.qev --list
same "check a damaged archive" check/qev-check hand-damaged-block.qev --no-progress
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
