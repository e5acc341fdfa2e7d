#!/usr/bin/env bash
# Fetches the source of a library from Debian's own source package into DIR/NAME, once.
# The source comes through apt-get source under a private configuration in DIR: a
# sources list of deb-src entries made from this machine's mirrors, and its own state,
# lists and cache. Neither /etc/apt nor the machine's package lists are touched. The
# newest source that downloads is taken.
#   windows/fetch_source.sh DIR SOURCE_PACKAGE NAME     (prints DIR/NAME)
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)
package=$2
out=$dir/$3
if [ -f "$out/DEBIAN_SOURCE_VERSION" ]; then echo "$out"; exit 0; fi
apt=$dir/apt
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/state" "$dir/source"
: > "$apt/sources.list"
# One-line sources.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { $1 = "deb-src"; print }' "$f" >> "$apt/sources.list"
done
# deb822 sources: one deb-src line per suite.
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= '/Types:[^\n]*deb/ {
        uris = suites = comps = "";
        n = split($0, lines, "\n");
        for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^URIs:/) { uris = lines[i]; sub(/^URIs:[ \t]*/, "", uris) }
            if (lines[i] ~ /^Suites:/) { suites = lines[i]; sub(/^Suites:[ \t]*/, "", suites) }
            if (lines[i] ~ /^Components:/) { comps = lines[i]; sub(/^Components:[ \t]*/, "", comps) }
        }
        split(uris, u, " "); m = split(suites, s, " ");
        for (j = 1; j <= m; j++) print "deb-src " u[1] " " s[j] " " comps
    }' "$f" >> "$apt/sources.list"
done
opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
      -o "Dir::State=$apt/state" -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
      -o "Dir::State::status=/var/lib/dpkg/status" -o "APT::Sandbox::User=root")
# A suite whose sources cannot be had is skipped: update goes on without it.
apt-get "${opts[@]}" -qq update || true
mkdir -p "$dir/source/$package"
cd "$dir/source/$package"
fetched=""
for version in $(apt-cache "${opts[@]}" showsrc "$package" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -rV -u); do
    rm -f ./*
    if apt-get "${opts[@]}" -qq source --download-only "$package=$version" > /dev/null 2>&1; then
        fetched=$version
        break
    fi
done
[ -n "$fetched" ] || { echo "no source of $package could be downloaded" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
tar -xf "$(ls ./*.orig.tar.* | grep -v "\.asc$" | head -n 1)" -C "$out" --strip-components=1
echo "$fetched" > "$out/DEBIAN_SOURCE_VERSION"
echo "$out"
