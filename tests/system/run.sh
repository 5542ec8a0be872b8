#!/bin/sh
# The package on a fresh Debian 12 booted with systemd as PID 1: a debootstrap
# root (cached), the .deb installed there with apt by check.sh, run by a oneshot
# unit once the container has booted (systemd-nspawn -b), which powers it off.
# Usage: run.sh BUILD_DIR. Exits 0 with one "SKIPPED" line where this machine
# cannot boot a container.
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
suite=bookworm
cache=${TEMBRA_SYSTEM_CACHE:-/var/cache/tembra-system-test}

skip() {
    echo "system-test: SKIPPED: $*"
    exit 0
}
say() { echo "system-test: $*"; }

[ "$(id -u)" -eq 0 ] || skip "debootstrap and systemd-nspawn need root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is absent (Debian's systemd-container)"
command -v debootstrap >/dev/null || skip "debootstrap is absent"
deb=$(ls -t "$build"/tembra_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { say "no package in $build: run make package"; exit 1; }

# The Debian mirror apt uses here, from a one-line list or a deb822 sources file.
mirror() {
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v s="$suite" '$1 == "deb" && $3 == s { print $2; exit }'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk -v s="$suite" 'BEGIN { RS = "" } {
            uri = ""; ok = 0; on = 1; n = split($0, line, "\n")
            for (i = 1; i <= n; i++) {
                split(line[i], w, /[ \t]+/)
                if (w[1] == "URIs:") uri = w[2]
                if (w[1] == "Enabled:" && w[2] == "no") on = 0
                if (w[1] == "Suites:") for (j = 2; j in w; j++) if (w[j] == s) ok = 1
            }
            if (ok && on && uri != "") { print uri; exit }
        }'
}
url=$(mirror | head -n 1)
[ -n "$url" ] || url=http://deb.debian.org/debian

# The base system (and systemd as init), made once per mirror and kept as a tarball.
mkdir -p "$cache/archives/partial"
tarball="$cache/$suite-$(printf '%s' "$url" | cksum | cut -d' ' -f1).tar"
if [ ! -s "$tarball" ]; then
    say "debootstrap $suite from $url into $tarball (once)"
    fresh=$(mktemp -d "$cache/debootstrap.XXXXXX")
    if ! debootstrap --variant=minbase --include=systemd-sysv "$suite" "$fresh" "$url" >"$fresh.log" 2>&1; then
        tail -n 5 "$fresh.log"
        rm -rf "$fresh" "$fresh.log"
        say "debootstrap failed"
        exit 1
    fi
    tar -C "$fresh" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$fresh" "$fresh.log"
fi

work=$(mktemp -d /var/tmp/tembra-system-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir "$root"
tar -C "$root" -xf "$tarball"
chmod 755 "$root"

if ! why=$(systemd-nspawn -q --register=no --keep-unit -D "$root" /bin/true 2>&1); then
    skip "systemd-nspawn cannot start a container here: $(printf '%s' "$why" | head -n 1)"
fi

# A program linked against the package's shared library, built here against the build's.
${CC:-cc} -O2 -I"$source" "$here/poster.c" -L"$build/lib" -ltembra-logger -o "$root/usr/local/bin/poster"
mkdir -p "$root/usr/local/lib/tembra-system-test"
cp "$deb" "$root/usr/local/lib/tembra-system-test/tembra.deb"
cp "$here/check.sh" "$root/usr/local/lib/tembra-system-test/"
cp "$here/system-check.service" "$root/etc/systemd/system/"
ln -s /etc/systemd/system/system-check.service "$root/etc/systemd/system/multi-user.target.wants/"

say "booting $suite with $(basename "$deb") (systemd-nspawn -b)"
# apt's downloads are kept in the cache for the next run.
status=0
timeout 600 systemd-nspawn -q -b --register=no --keep-unit --console=pipe -D "$root" \
    --bind="$cache/archives:/var/cache/apt/archives" systemd.show_status=0 \
    </dev/null >"$work/console" 2>&1 || status=$?
result="$root/var/tmp/tembra-system-test/result"
if [ ! -s "$result" ]; then
    say "the container ended (status $status) without a result; its console:"
    tail -n 30 "$work/console"
    exit 1
fi
cat "$result"
tail -n 1 "$result" | grep -q '^RESULT: PASS$'
