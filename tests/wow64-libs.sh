#!/bin/sh
# wow64-libs.sh CACHE_DIR VERSION REASON_FILE
# Makes sure that CACHE_DIR/wine/i386-windows holds wine's 32-bit Windows
# libraries of VERSION, the installed wine's: Debian's libwine:i386, fetched
# once with apt-get into folders of our own and unpacked, never installed. With
# them on WINEDLLPATH, wine64 runs 32-bit programs through its WoW64 layer.
# dpkg's architectures and the system stay as they are; no root is needed.
# Where they cannot be had, REASON_FILE says why and the tests that need them
# report it; the script itself still succeeds, so that the other tests run.
set -u
cache=$1 version=$2 reason=$3
rm -f "$reason"
libs=$cache/wine/i386-windows

# What apt said went wrong, in one line.
apt_error() {
    grep '^E:' "$work/log" | tail -n 1 || tail -n 1 "$work/log"
}

give_up() {
    echo "$1" >"$reason"
    echo "wow64-libs: $1" >&2
    exit 0
}

[ -f "$libs/ntdll.dll" ] && exit 0 # fetched before: reused
[ -n "$version" ] || give_up "the 32-bit wine libraries come from Debian's libwine:i386, and no Debian libwine is installed here"
if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    give_up "apt-get and dpkg-deb are needed to fetch libwine:i386 $version"
fi

mkdir -p "$cache" || give_up "cannot make $cache"
work=$(mktemp -d "$cache/.fetch-XXXXXX") || give_up "cannot make a folder in $cache"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/deb"
# Package lists of our own for i386 alone, read from the system's sources.
apt="apt-get -q -o APT::Architectures=i386 -o Dir::State::Lists=$work/lists
    -o Dir::Cache=$work/cache -o Dir::State::status=/dev/null -o Debug::NoLocking=1
    -o Acquire::Languages=none"
echo "wow64-libs: fetching libwine:i386 $version into $cache" >&2
$apt update >"$work/log" 2>&1 || give_up "apt-get update for i386 failed: $(apt_error)"
(cd "$work/deb" && $apt download "libwine:i386=$version") >>"$work/log" 2>&1 ||
    give_up "apt-get download libwine:i386=$version failed: $(apt_error)"
dpkg-deb -x "$work"/deb/*.deb "$work/unpacked" || give_up "dpkg-deb could not unpack libwine:i386"
[ -f "$work/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows/ntdll.dll" ] ||
    give_up "libwine:i386 $version holds no i386-windows/ntdll.dll"

# Moved in whole, so that a fetch cut short never looks like a finished one.
if ! { mkdir -p "$cache/wine.new" &&
    mv "$work/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" "$cache/wine.new/" &&
    rm -rf "$cache/wine" && mv "$cache/wine.new" "$cache/wine"; }; then
    give_up "cannot move the libraries into $cache"
fi
echo "wow64-libs: $(du -sh "$libs" | cut -f1) in $libs" >&2
