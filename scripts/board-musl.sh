#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the board's C runtime for Debian's mips-linux-gnu-gcc: 32-bit
# big-endian MIPS32r2, soft-float, tuned for the 24Kc. The board's 24Kc/74Kc
# cores have no FPU and its kernels do not emulate one, so nothing that runs
# there may hold an FPU instruction. From Debian's own source packages:
#   - musl, configured soft-float (musl's "mips-sf" variant);
#   - lib/libsoftfp.a: the soft-float arithmetic, comparison and conversion
#     routines (__adddf3, __fixunssfsi, ...) that gcc calls for float and
#     double, built from the soft-fp/ directory of Debian's glibc source. The
#     libgcc.a of Debian's cross compiler cannot serve: it is hard-float (its
#     __adddf3 is one add.d taking its arguments in FPU registers);
#   - lib/libgcc.a, crtbeginS.o and crtendS.o: the members of Debian's libgcc.a
#     and start files that hold no FPU instruction (the 64-bit integer helpers
#     such as __divdi3), with their hard-float ABI tag removed so that they link
#     into soft-float programs without a mismatch warning; the scan below
#     proves them free of FPU instructions first;
#   - lib/board-gcc.specs: musl's compiler settings, with the CPU flags above
#     as the default of every compile and link, and the two archives above in
#     place of Debian's libgcc (libgcc_eh, the unwinder, is left out: nothing
#     here unwinds, and Debian's is hard-float).
# The result is cached outside the work tree, keyed by the source versions,
# the compiler's version, the CPU flags and this script's build steps, so only
# the first run builds. The last line of standard output is the prefix.
#
#   scripts/board-musl.sh              build when missing, print the prefix
#   scripts/board-musl.sh --prefix     print the prefix of a cached build, or fail
#   scripts/board-musl.sh --cpu-flags  print the board's CPU flags
#
# MINER_TOOLS_CACHE chooses the cache (default ~/.cache/miner-tools).
set -euo pipefail

# The board's CPU class. 74Kc cores run MIPS32r2 code tuned for the 24Kc.
cpu_flags=(-msoft-float -march=mips32r2 -mtune=24kc)

usage() { echo "usage: $0 [--prefix | --cpu-flags]"; }
only_print=0
case "${1:-}" in
  "") ;;
  --prefix) only_print=1 ;;
  --cpu-flags) echo "${cpu_flags[*]}"; exit 0 ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
cache=${MINER_TOOLS_CACHE:-$HOME/.cache/miner-tools}
cross=mips-linux-gnu-
cc=${cross}gcc

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

source_version() {  # package -> the newest version apt-get source would fetch
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -n 1
}

if [ $only_print -eq 0 ]; then
  add_source_entries
fi
musl_version=$(source_version musl)
glibc_version=$(source_version glibc)
[ -n "$musl_version" ] && [ -n "$glibc_version" ] ||
  fail "the versions of Debian's musl and glibc source packages are unknown" "run scripts/setup.sh as root once"
cc_version=$("$cc" -dumpfullversion)
key=$( {
  echo "musl $musl_version glibc $glibc_version gcc $cc_version ${cpu_flags[*]}"
  sed -n '/^build_[a-z]*()/,/^}/p' "$0"
  cat "$here/fpu-scan.sh"
} | sha256sum | cut -c1-12)
prefix=$cache/board-musl-$musl_version-mips32r2-sf-$key

if [ -f "$prefix/.complete" ]; then
  echo "board-musl: musl $musl_version for soft-float MIPS32r2, cached"
  echo "$prefix"
  exit 0
fi
[ $only_print -eq 0 ] || fail "no cached build at $prefix" "run scripts/board-musl.sh"
for tool in dpkg-source "${cross}ar" "${cross}objcopy" "${cross}objdump"; do
  command -v "$tool" >/dev/null ||
    fail "$tool not found" "install Debian's dpkg-dev and binutils-mips-linux-gnu (scripts/setup.sh does)"
done

fetch_source() {  # package version dir: download and unpack Debian's source
  local package=$1 version=$2 dir=$3
  (
    cd "$work"
    apt-get source --download-only -qq "$package=$version" >/dev/null 2>"$package-download.log" ||
      { cat "$package-download.log" >&2; exit 1; }
    dpkg-source -x --no-check "${package}_${version#*:}.dsc" "$dir" >/dev/null
  ) || fail "could not fetch Debian's $package $version source" \
    "check that apt-get source works (a deb-src entry, which scripts/setup.sh adds, and the network)"
}

build_musl() {
  fetch_source musl "$musl_version" musl-src
  (
    cd "$work/musl-src"
    ./configure --target=mips-linux-gnu CC="$cc ${cpu_flags[*]}" --prefix="$prefix" \
      --disable-shared --enable-wrapper=gcc >"$work/musl.log" 2>&1
    grep -q 'configured for mips variant: mips-sf' "$work/musl.log"
    make -j"$(nproc)" >>"$work/musl.log" 2>&1
    make install >>"$work/musl.log" 2>&1
  ) || { tail -20 "$work/musl.log" >&2; fail "building soft-float musl $musl_version failed (log above)"; }
  [ -f "$prefix/lib/musl-gcc.specs" ] && [ -f "$prefix/lib/libc.a" ] ||
    fail "musl installed no lib/musl-gcc.specs or lib/libc.a under $prefix"
}

# The routines are the ones glibc's own soft-fp/Makefile lists for gcc's single
# and double precision; glibc's headers are not used (they know no soft-float
# o32 variant), musl's are.
build_softfp() {
  fetch_source glibc "$glibc_version" glibc-src
  local src=$work/glibc-src routines r
  routines=$(sed -n '/^gcc-single-routines/,/^$/p; /^gcc-double-routines/,/^$/p' "$src/soft-fp/Makefile" |
    tr -d '\\' | sed 's/.*:=//')
  [ "$(wc -w <<<"$routines")" -ge 30 ] || fail "glibc $glibc_version's soft-fp/Makefile lists no gcc routines"
  printf '%s\n' '#define strong_alias(name, aliasname) extern __typeof(name) aliasname __attribute__((alias(#name)));' \
    >"$work/alias.h"
  mkdir -p "$work/softfp"
  for r in $routines; do
    "$cc" "${cpu_flags[@]}" -Os -fno-stack-protector -ffunction-sections -nostdinc \
      -isystem "$prefix/include" -isystem "$("$cc" -print-file-name=include)" \
      -include endian.h -include "$work/alias.h" \
      -I "$src/soft-fp" -I "$src/sysdeps/mips/mips32" -I "$src/stdlib" \
      -c "$src/soft-fp/$r.c" -o "$work/softfp/$r.o" 2>>"$work/softfp.log" ||
      { tail -20 "$work/softfp.log" >&2; fail "building glibc $glibc_version's soft-fp/$r.c failed (log above)"; }
  done
  "${cross}ar" rcs "$prefix/lib/libsoftfp.a" "$work"/softfp/*.o
}

# Debian's libgcc.a and start files, less what touches the FPU, retagged.
build_libgcc() {
  local libgcc member count
  libgcc=$("$cc" -print-libgcc-file-name)
  mkdir -p "$work/libgcc"
  (cd "$work/libgcc" && "${cross}ar" x "$libgcc")
  while read -r member count; do
    if [ "$count" -eq 0 ]; then
      "${cross}objcopy" --remove-section=.gnu.attributes --remove-section=.MIPS.abiflags \
        "$work/libgcc/$member"
    else
      rm "$work/libgcc/$member"
    fi
  done < <("$here/fpu-scan.sh" --members "$libgcc")
  (cd "$work/libgcc" && "${cross}ar" rcs "$prefix/lib/libgcc.a" ./*.o)
  for member in crtbeginS.o crtendS.o; do
    "$here/fpu-scan.sh" "$("$cc" -print-file-name=$member)" >/dev/null ||
      fail "Debian's $member holds FPU instructions"
    "${cross}objcopy" --remove-section=.gnu.attributes --remove-section=.MIPS.abiflags \
      "$("$cc" -print-file-name=$member)" "$prefix/lib/$member"
  done
}

build_specs() {
  local specs=$prefix/lib/board-gcc.specs lib=$prefix/lib
  sed -e "s|^libgcc.a%s %:if-exists(libgcc_eh.a%s)\$|$lib/libsoftfp.a $lib/libgcc.a|" \
    -e "s| crtbeginS.o%s| $lib/crtbeginS.o|" -e "s|^crtendS.o%s |$lib/crtendS.o |" \
    "$lib/musl-gcc.specs" >"$specs"
  {
    echo '*self_spec:'
    echo "+ %{!msoft-float:%{!mhard-float:-msoft-float}} %{!march=*:-march=mips32r2} %{!mtune=*:-mtune=24kc}"
    echo
  } >>"$specs"
  # Every runtime piece must now come from the prefix, none from gcc's own.
  if grep -q -e 'libgcc.a%s' -e 'crtbeginS.o%s' -e 'crtendS.o%s' "$specs" ||
    ! grep -q "$lib/libsoftfp.a" "$specs"; then
    fail "musl's musl-gcc.specs has an unexpected shape; $specs still names gcc's libgcc or start files"
  fi
}

# A float program built with the result must be soft-float MIPS32r2, free of
# FPU instructions.
check_result() {
  local t=$work/check
  mkdir -p "$t"
  printf '%s\n' '#include <stdio.h>' '#include <stdlib.h>' \
    'int main(int c, char **v) { double d = atof(c > 1 ? v[1] : "2.5"); long long n = (long long)(d * 1e9);' \
    '  printf("%.3f %lld %d\n", d / 3, n / 7, (int)(float)d); return 0; }' >"$t/f.c"
  "$cc" -specs="$prefix/lib/board-gcc.specs" -Os -static -Werror -o "$t/f" "$t/f.c" 2>"$t/link.log" ||
    { cat "$t/link.log" >&2; fail "a float program does not build with the soft-float runtime (log above)"; }
  [ ! -s "$t/link.log" ] || { cat "$t/link.log" >&2; fail "linking a float program gave warnings (above)"; }
  "$here/fpu-scan.sh" "$t/f" "$prefix/lib/libc.a" "$prefix/lib/libsoftfp.a" "$prefix/lib/libgcc.a" >&2 ||
    fail "the soft-float runtime holds FPU instructions (above)"
  "${cross}readelf" -A "$t/f" | grep -q 'FP ABI: Soft float' ||
    fail "a float program built with the soft-float runtime is not tagged soft-float"
}

mkdir -p "$cache"
work=$(mktemp -d "$cache/board-musl-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
began=$SECONDS
rm -rf "$prefix"
build_musl
build_softfp
build_libgcc
build_specs
check_result
touch "$prefix/.complete"
echo "board-musl: built soft-float MIPS32r2 musl $musl_version with glibc $glibc_version's soft-fp" \
  "and $cc $cc_version in $((SECONDS - began)) s"
echo "$prefix"
