#!/usr/bin/env bash
# Runs the Windows executables under Wine and compares each run with the native build's:
# standard output, standard error and exit status must be the same, byte for byte (the
# usage text names the program as it was started, which Wine gives as a Windows path).
# Skips, saying so, where Wine cannot start.
# With ZIP, the zip a Windows user gets is unpacked and its qev-check run on the sample.
#   tests/windows/wine_test.sh NATIVE_BUILD WINDOWS_BUILD [ZIP]
set -uo pipefail
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
zip=${3:+$(cd "$(dirname "$3")" && pwd)/$(basename "$3")}
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

# result NAME OK: counts a check that is not a comparison with the native build.
result() {
    if [ "$2" = 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $1"
    fi
}

# windows_only NAME RC OUT ERR PROGRAM ARGS...: the Windows program alone, with its exact
# exit status, standard output and standard error (CR LF made LF). An OUT of "-" leaves
# standard output unchecked (a summary that tells the time taken).
windows_only() {
    local name=$1 rc=$2 out=$3 err=$4 program=$5
    shift 5
    (cd "$work" && timeout 60 "$wine" "$windows/$program.exe" "$@" > w.out 2> w.err; echo $? > w.rc)
    sed -i 's/\r$//' "$work/w.out" "$work/w.err"
    if [ "$(cat "$work/w.rc")" = "$rc" ] && { [ "$out" = - ] || [ "$(cat "$work/w.out")" = "$out" ]; } && [ "$(cat "$work/w.err")" = "$err" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
        cat "$work/w.rc" "$work/w.err"
        head -c 300 "$work/w.out"
    fi
}

# same NAME PROGRAM ARGS...: the native and the Windows program (PROGRAM is its path in a
# build tree, such as tool/qev-tool) agree. Text lines end in CR LF on Windows, where the
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
"$native/pack/qev-pack" "$work/src" "$work/ends.qev" -q
mkdir -p "$work/a directory"

tool=tool/qev-tool
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
# libqev as qev.dll: exactly the library's exports, and the example built against its
# import library lists the sample and copies a file out as the native one does.
exports=$(x86_64-w64-mingw32-objdump -p "$windows/lib/qev.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1 == "[" {print $3}')
[ "$exports" = "$(cat "$root/lib/libqev.symbols")" ]
result "qev.dll exports exactly lib/libqev.symbols" $?
same "the example lists the sample through qev.dll" lib/qev_example sample.qev
same "the example's errors through qev.dll" lib/qev_example sample.qev no/such/file out.bin
(cd "$work" && timeout 60 "$wine" "$windows/lib/qev_example.exe" sample.qev '0005000010101d00_v64\CONTENT\texture.bin' copied.bin &&
    "$native/tool/qev-tool" extract sample.qev 0005000010101D00_v64/content/texture.bin | cmp -s - copied.bin)
result "the example copies a file out through qev.dll" $?
same "check" check/qev-check sample.qev --no-progress
same "check --json" check/qev-check sample.qev --json --no-progress
same "check --list" check/qev-check sample.qev --list
same "check a damaged archive" check/qev-check hand-damaged-block.qev --no-progress

# Non-ASCII archive paths. With a UTF-8 Unix locale, Wine hands a program its narrow
# arguments in the ANSI code page (1252), and qev-tool converts them from there.
cp "$work/sample.qev" "$work/café.qev"
cp "$work/sample.qev" "$work/源ü.qev"
export LC_ALL=C.UTF-8 LANG=C.UTF-8
windows_only "a non-ASCII archive path in the ANSI code page" 0 \
    "$(printf '{"path":"caf\xe9.qev","totalFiles":3,"totalSize":0}')" "" tool/qev-tool info "café.qev"
# A character that code page lacks reaches the program as "?", and nothing opens.
windows_only "a path the ANSI code page cannot hold" 1 "" \
    "$(printf 'Error: Failed to open QEV file: ?\xfc.qev')" tool/qev-tool info "源ü.qev"
# The same program in a process whose code page is UTF-8 gets every character.
windows_only "a non-ASCII archive path in UTF-8" 0 '{"path":"源ü.qev","totalFiles":3,"totalSize":0}' "" \
    tool/qev-tool-utf8 info "源ü.qev"
# qev-pack, qev-unpack and qev-check read the command line as wide strings: any name.
same "check a non-ASCII path" check/qev-check "源ü.qev" --json --no-progress
windows_only "unpack a non-ASCII path" 0 "" "" unpack/qev-unpack "源ü.qev" "目的ü" -q
[ -d "$work/目的ü/0005000010101D00_v64" ]
result "unpack wrote under the non-ASCII name" $?

# qev-pack and qev-unpack: their messages, and a round trip of a real tree with names and
# bytes that Windows treats specially. qev-pack.exe must write the very same archive as
# the native qev-pack.
mkdir -p "$work/tree"
cp -r "$root/archive" "$root/docs" "$root/examples" "$work/tree/"
cp -r "$work/src/Title" "$work/tree/"
printf 'naïve\n' > "$work/tree/Title/Ünïcödé 源.txt"
: > "$work/tree/Title/empty"
mkdir -p "$work/tree/Title/empty dir"
same "pack usage" pack/qev-pack --help
same "pack a missing source" pack/qev-pack no-such-dir out.qev
same "pack onto an existing file" pack/qev-pack tree sample.qev
same "unpack usage" unpack/qev-unpack --help
same "unpack into a non-empty destination" unpack/qev-unpack sample.qev tree
same "unpack a missing path" unpack/qev-unpack sample.qev fresh no/such -q
same "unpack a file that is not an archive" unpack/qev-unpack "$root/README.md" fresh2
(cd "$work" && "$native/pack/qev-pack" tree native.qev -q && timeout 120 "$wine" "$windows/pack/qev-pack.exe" tree windows.qev -q)
cmp -s "$work/native.qev" "$work/windows.qev"
result "qev-pack.exe writes the same archive as qev-pack" $?
(cd "$work" && timeout 120 "$wine" "$windows/pack/qev-pack.exe" tree windows.qev -q > /dev/null 2>&1)
result "qev-pack.exe refuses to replace an archive without --force" $((1 - $?))
(cd "$work" && timeout 120 "$wine" "$windows/pack/qev-pack.exe" tree windows.qev -q --force)
cmp -s "$work/native.qev" "$work/windows.qev"
result "qev-pack.exe replaces an archive with --force" $?
same "list the packed tree" check/qev-check windows.qev --list
# A recovery record: written alike, and the Windows build repairs a damaged run in place.
(cd "$work" && "$native/pack/qev-pack" tree healed.qev -q --recovery 2 &&
    timeout 120 "$wine" "$windows/pack/qev-pack.exe" tree healed-w.qev -q --recovery 2)
cmp -s "$work/healed.qev" "$work/healed-w.qev"
result "qev-pack.exe writes the same recovery record" $?
cp "$work/healed.qev" "$work/damaged.qev"
head -c 5000 /dev/urandom | dd of="$work/damaged.qev" bs=1 seek=300 conv=notrunc status=none
same "check names the damage repairable" check/qev-check damaged.qev --no-progress
(cd "$work" && timeout 120 "$wine" "$windows/check/qev-check.exe" damaged.qev --repair --no-progress > /dev/null)
result "qev-check.exe --repair succeeds" $?
cmp -s "$work/healed.qev" "$work/damaged.qev"
result "qev-check.exe --repair gives back every byte" $?
# An update: the same bytes as the native build's, and what it leaves out is gone.
cp "$work/native.qev" "$work/updated-n.qev" && cp "$work/native.qev" "$work/updated-w.qev"
cp -r "$root/examples/update" "$work/added"
(cd "$work" && "$native/pack/qev-pack" --update updated-n.qev --add added --remove docs -q &&
    timeout 120 "$wine" "$windows/pack/qev-pack.exe" --update updated-w.qev --add added --remove docs -q)
cmp -s "$work/updated-n.qev" "$work/updated-w.qev"
result "qev-pack.exe --update writes the same archive as qev-pack" $?
same "extract a packed file" tool/qev-tool extract windows.qev 'title\BYTES\ends.bin'
(cd "$work" && timeout 120 "$wine" "$windows/unpack/qev-unpack.exe" windows.qev unpacked -q)
diff -r "$work/tree" "$work/unpacked" > /dev/null
result "qev-unpack.exe gives back the tree" $?
# An output inside the source is left out of it, found by its file id.
(cd "$work" && timeout 120 "$wine" "$windows/pack/qev-pack.exe" tree tree/Title/self.qev -q)
cmp -s "$work/native.qev" "$work/tree/Title/self.qev"
result "qev-pack.exe leaves its own output out of the source" $?
rm -f "$work/tree/Title/self.qev"
# Every file and directory gets the archive's time, to Windows' 100 ns.
stamp=$(date -r "$work/windows.qev" +%s)
[ -z "$(find "$work/unpacked" -mindepth 1 ! -newermt "@$((stamp - 1))")" ] &&
    [ -z "$(find "$work/unpacked" -mindepth 1 -newermt "@$((stamp + 1))")" ]
result "qev-unpack.exe gives the archive's time" $?

# Names Windows cannot hold, and names that differ only in letter case (the first is
# written), are skipped with a warning.
mkdir -p "$work/names/T/CON" "$work/names/T/dir"
for n in aux.txt COM1 'a.' 'b ' 'x:y' 'q?' 'A.txt' 'a.txt' 'Dir' 'lpt1.tar.gz' 'É.txt' 'é.txt' 'fine.txt'; do
    echo "$n" > "$work/names/T/$n"
done
echo x > "$work/names/T/$(printf 'bad\xff')"
echo inside > "$work/names/T/CON/inside"
echo inside > "$work/names/T/dir/inside"
"$native/pack/qev-pack" "$work/names" "$work/names.qev" -q
windows_only "unpack skips names Windows cannot hold" 1 - "$(cat <<'TEXT'
Warning: Skipped unsafe name: T/COM1
Warning: Skipped unsafe name: T/CON
Warning: Skipped unsafe name: T/a.
Warning: Skipped name differing from an earlier sibling's only in letter case: T/a.txt
Warning: Skipped unsafe name: T/aux.txt
Warning: Skipped unsafe name: T/b 
Warning: Skipped unsafe name: T/bad\xFF
Warning: Skipped name differing from an earlier sibling's only in letter case: T/dir
Warning: Skipped unsafe name: T/lpt1.tar.gz
Warning: Skipped unsafe name: T/q?
Warning: Skipped unsafe name: T/x:y
Warning: Skipped name differing from an earlier sibling's only in letter case: T/é.txt
TEXT
)" unpack/qev-unpack names.qev names-out
[ "$(cd "$work/names-out" && find . | sort | tr '\n' ' ')" = ". ./T ./T/A.txt ./T/Dir ./T/fine.txt ./T/É.txt " ] &&
    [ "$(cat "$work/names-out/T/A.txt")" = A.txt ] && [ "$(cat "$work/names-out/T/É.txt")" = É.txt ]
result "unpack writes the first of names equal but for letter case" $?

# A link to a directory in the way is never followed nor removed, even with --force.
mkdir -p "$work/linked/inside" "$work/outside"
ln -s "$work/outside" "$work/linked/0005000010101D00_v64"
windows_only "unpack refuses a link in the way" 1 "" \
    "Error: Failed to extract 0005000010101D00_v64: a symbolic link of that name is in the way" \
    unpack/qev-unpack sample.qev linked --force -q
[ -z "$(ls -A "$work/outside")" ]
result "nothing was written through the link" $?

# To a drive's root and to new folders below it, as onto an SD card or a USB stick: a
# second drive letter mapped to a folder, and the prefix's own C:.
mkdir -p "$work/drive-d"
ln -sfn "$work/drive-d" "$WINEPREFIX/dosdevices/d:"
for dest in 'D:\' 'D:\out1' 'C:\out3\sub'; do
    windows_only "unpack to $dest" 0 "" "" unpack/qev-unpack sample.qev "$dest" -q
done
drive_c=$WINEPREFIX/drive_c
[ -d "$work/drive-d/0005000010101D00_v64" ] && [ -d "$work/drive-d/out1/0005000010101D00_v64" ] &&
    [ -d "$drive_c/out3/sub/0005000010101D00_v64" ]
result "unpack wrote to the drives" $?
rm -rf "$drive_c/out3" "$WINEPREFIX/dosdevices/d:"

# Started from Explorer, a program owns its console window alone: it waits for a key before
# the window closes, so that its result can be read. Under Xvfb, a console of its own is
# what "start" gives; qev-tool, whose contract is its output alone, never waits.
if command -v xvfb-run > /dev/null && command -v xdotool > /dev/null; then
    cat > "$work/own_console.sh" <<'SCRIPT'
#!/usr/bin/env bash
# own_console.sh WINE EXE ARGS...: "waits" when EXE, started in a console of its own, is
# still running after 8 s and ends once a key is pressed; "ends" when it ends by itself.
wine=$1; shift
# A wine server started before, without a display, could make no console window.
wineserver -k 2> /dev/null; wineserver -w 2> /dev/null
"$wine" cmd /c start "" /wait "$@" &
pid=$!
sleep 8
if ! kill -0 "$pid" 2> /dev/null; then echo ends; exit 0; fi
for w in $(xdotool search --name "" 2> /dev/null); do
    xdotool windowfocus "$w" 2> /dev/null; xdotool key --window "$w" x 2> /dev/null; xdotool key x 2> /dev/null
    sleep 0.3
    kill -0 "$pid" 2> /dev/null || { echo waits; exit 0; }
done
kill "$pid"; echo "waits, and no key ended it"
SCRIPT
    chmod +x "$work/own_console.sh"
    winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
    got=$(cd "$work" && timeout 120 xvfb-run -a "$work/own_console.sh" "$wine" "$(winpath "$windows/check/qev-check.exe")" sample.qev 2> /dev/null)
    [ "$got" = waits ]
    result "qev-check.exe in a console of its own waits for a key ($got)" $?
    got=$(cd "$work" && timeout 120 xvfb-run -a "$work/own_console.sh" "$wine" "$(winpath "$windows/tool/qev-tool.exe")" list sample.qev 2> /dev/null)
    [ "$got" = ends ]
    result "qev-tool.exe in a console of its own does not wait ($got)" $?
    wineserver -k 2> /dev/null; wineserver -w 2> /dev/null  # the next runs start one without the display
else
    echo "skipped: the Explorer console wait needs xvfb-run and xdotool"
fi

# The zip as a Windows user unpacks it: the programs run from its folder, beside qev.dll.
if [ -n "$zip" ]; then
    (cd "$work" && unzip -q "$zip" -d unzipped)
    folder=$(ls -d "$work"/unzipped/*/)
    [ -f "$folder/README.txt" ] && [ -f "$folder/qev.dll" ] && [ -f "$folder/include/qev/qev.h" ] &&
        [ -f "$folder/LICENSE.zstd" ] && [ -f "$folder/sample.qev" ]
    result "the zip holds the README, the DLL, the header, the licences and the sample" $?
    # As README.txt says: the sample beside the programs, checked from their folder.
    (cd "$folder" && timeout 60 "$wine" "$folder/qev-check.exe" sample.qev > "$work/z.out" 2> "$work/z.err"; echo $? > "$work/z.rc")
    [ "$(cat "$work/z.rc")" = 0 ] && tr -d '\r' < "$work/z.out" | grep -q '^Findings: *0 errors, 0 warnings$'
    result "qev-check from the zip on the sample" $?
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
