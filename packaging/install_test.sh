#!/usr/bin/env bash
# The packages installed as a user installs them, in a fresh Debian 12 (debootstrap):
# one `apt install` of the .debs pulls in only Debian's packages; the programs answer,
# `man qev-pack` opens, a C program builds with pkg-config and runs, Python imports the
# module; then `apt purge` must leave no file of theirs behind.
#   packaging/install_test.sh DEB_DIR [ROOT]   (as root; ROOT is reused when it exists)
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "packaging/install_test.sh needs root (debootstrap, chroot): skipped"; exit 0; }
debs=$(cd "$1" && pwd)
root=${2:-/var/tmp/qev-install-root}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
source=$(cd "$(dirname "$0")/.." && pwd)
sample=$source/examples/sample.qev

[ -x "$root/usr/bin/apt-get" ] || debootstrap --variant=minbase bookworm "$root" "$mirror"
mounted=()
cleanup() {
    umount -l "$root/debs/tour/mnt" 2>/dev/null || true  # the tour's mount, if it stopped half way
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
for m in proc dev dev/pts sys; do mount --bind "/$m" "$root/$m" && mounted+=("$root/$m"); done
rm -rf "$root/debs" && mkdir -p "$root/debs"
cp "$debs"/qev-tools_*.deb "$debs"/libqev1_*.deb "$debs"/libqev-dev_*.deb "$debs"/python3-qev_*.deb "$root/debs/"
cp "$sample" "$root/debs/sample.qev"
# The README's tour, as written: its shell blocks in order, its C and Python files.
mkdir -p "$root/debs/tour"
awk -v dir="$root/debs/tour" '
    /^## / { inside = ($0 == "## A short tour") }
    inside && /^```/ {
        if (fence == "") { fence = substr($0, 4); next }
        fence = ""; next
    }
    inside && fence == "sh" { print > (dir "/tour.sh") }
    inside && fence == "c" { print > (dir "/titles.c") }
    inside && fence == "python" { print > (dir "/tour.py") }
' "$source/README.md"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive \
    bash -euo pipefail -c '
cd /debs
apt-get update -q
# What a user has around: a compiler, pkg-config and man.
apt-get install -y -q gcc libc6-dev pkg-config man-db > /dev/null
apt-get install -y -q ./qev-tools_*.deb ./libqev1_*.deb ./libqev-dev_*.deb ./python3-qev_*.deb
ours=$(dpkg -L qev-tools libqev1 libqev-dev python3-qev | sort -u)

# Whole outputs kept, then shown in part: a pipe that closes early would fail the run.
qev-tool list sample.qev
qev-check sample.qev --quick > check.txt && tail -n 1 check.txt
for program in qev-pack qev-unpack qev-check qev-tool qev-mount; do
    "$program" --help > help.txt 2>&1 || [ "$program" = qev-tool ]
    head -n 1 help.txt
done
qev-unpack sample.qev unpacked -q && ls unpacked
man -P cat qev-pack > man.txt && head -n 4 man.txt
cat > titles.c << "C"
#include <qev/qev.h>
#include <stdio.h>
int main(int argc, char **argv) {
    qev_archive *archive;
    uint32_t count = 0;
    if (argc < 2 || qev_open(argv[1], NULL, &archive, NULL) != QEV_OK) return 1;
    qev_title_count(archive, &count, NULL);
    printf("%u titles, libqev %s\n", (unsigned)count, qev_version());
    qev_close(archive);
    return 0;
}
C
cc titles.c -o titles $(pkg-config --cflags --libs qev) && ./titles sample.qev
python3 -c "import qev; print(qev.__version__, [t.folder_name for t in qev.open(\"sample.qev\").titles()])"
(cd tour && bash -euxo pipefail tour.sh && python3 tour.py)

apt-get purge -y -q qev-tools libqev1 libqev-dev python3-qev > /dev/null
left=""
for f in $ours; do
    if [ ! -d "$f" ] && { [ -e "$f" ] || [ -L "$f" ]; }; then left="$left $f"; fi
done
left="$left $(ls -d /usr/lib/python3/dist-packages/qev* /usr/include/qev /usr/share/doc/qev-tools 2>/dev/null || true)"
left=$(echo $left)
if [ -n "$left" ]; then echo "Error: left behind by apt purge:"; echo "$left"; exit 1; fi
echo "Installed, used and purged: nothing left behind"
'
