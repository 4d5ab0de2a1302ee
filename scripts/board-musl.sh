#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the board's C library: musl for 32-bit big-endian MIPS, from Debian's
# own musl source package, with Debian's mips-linux-gnu-gcc. The result is
# cached outside the work tree, keyed by the musl version and the compiler's,
# so only the first run builds. The last line of standard output is the
# install prefix (it holds lib/musl-gcc.specs, which the board preset uses).
#
#   scripts/board-musl.sh            build when missing, print the prefix
#   scripts/board-musl.sh --prefix   print the prefix of a cached build, or fail
#
# MINER_TOOLS_CACHE chooses the cache (default ~/.cache/miner-tools).
set -euo pipefail

usage() { echo "usage: $0 [--prefix]" >&2; exit 2; }
only_print=0
case "${1:-}" in
  "") ;;
  --prefix) only_print=1 ;;
  -h|--help) echo "usage: $0 [--prefix]"; exit 0 ;;
  *) usage ;;
esac

cache=${MINER_TOOLS_CACHE:-$HOME/.cache/miner-tools}
cc=mips-linux-gnu-gcc

fail() {  # message, how to mend
  printf 'board-musl: %s\n' "$1" >&2
  [ $# -gt 1 ] && printf 'board-musl: %s\n' "$2" >&2
  exit 1
}

command -v "$cc" >/dev/null ||
  fail "$cc not found" "install Debian's gcc-mips-linux-gnu (scripts/setup.sh does)"

# apt-get source needs a deb-src entry for every deb entry of Debian's own list.
add_source_entries() {
  local list=/etc/apt/sources.list.d/debian.sources
  local src=/etc/apt/sources.list.d/miner-tools-deb-src.sources
  apt-cache showsrc musl 2>/dev/null | grep -q '^Version:' && return 0
  [ "$(id -u)" -eq 0 ] || fail "no deb-src entry for Debian's source packages" "run scripts/setup.sh as root once"
  if [ -f "$list" ]; then
    sed -e 's/^Types:.*\bdeb\b.*/Types: deb-src/' "$list" >"$src"
  elif [ -f /etc/apt/sources.list ]; then
    sed -n -e 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/miner-tools-deb-src.list
  else
    fail "no apt source list found to derive a deb-src entry from"
  fi
  echo "board-musl: added deb-src entries; updating the package lists" >&2
  apt-get update -qq || fail "apt-get update failed" "check the network and /etc/apt/sources.list.d"
}

if [ $only_print -eq 0 ]; then
  add_source_entries
fi
version=$(apt-cache showsrc musl 2>/dev/null | awk '/^Version:/ { print $2; exit }')
[ -n "$version" ] || fail "the version of Debian's musl source package is unknown" "run scripts/setup.sh as root once"
cc_version=$("$cc" -dumpfullversion)
prefix=$cache/musl-$version-mips-gcc$cc_version

if [ -f "$prefix/.complete" ]; then
  echo "board-musl: musl $version for big-endian MIPS, cached"
  echo "$prefix"
  exit 0
fi
[ $only_print -eq 0 ] || fail "no cached build at $prefix" "run scripts/board-musl.sh"

command -v dpkg-source >/dev/null || fail "dpkg-source not found" "install Debian's dpkg-dev (scripts/setup.sh does)"
work=$(mktemp -d "$cache/musl-build.XXXXXX" 2>/dev/null || { mkdir -p "$cache" && mktemp -d "$cache/musl-build.XXXXXX"; })
trap 'rm -rf "$work"' EXIT
began=$SECONDS
(
  cd "$work"
  apt-get source --download-only -qq "musl=$version" >/dev/null 2>download.log ||
    { cat download.log >&2; exit 10; }
  dpkg-source -x --no-check musl_*.dsc src >/dev/null
) || fail "could not fetch Debian's musl $version source" "check that apt-get source works (a deb-src entry, the network)"

(
  cd "$work/src"
  ./configure --target=mips-linux-gnu CC="$cc" --prefix="$prefix" --disable-shared >"$work/build.log" 2>&1
  make -j"$(nproc)" >>"$work/build.log" 2>&1
  rm -rf "$prefix"
  make install >>"$work/build.log" 2>&1
) || { tail -20 "$work/build.log" >&2; fail "building musl $version for MIPS failed (log above)"; }

[ -f "$prefix/lib/musl-gcc.specs" ] && [ -f "$prefix/lib/libc.a" ] ||
  fail "musl installed no lib/musl-gcc.specs or lib/libc.a under $prefix"
touch "$prefix/.complete"
echo "board-musl: built musl $version for 32-bit big-endian MIPS with $cc $cc_version in $((SECONDS - began)) s"
echo "$prefix"
