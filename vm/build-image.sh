#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the emulated control board's image from Debian packages:
#   - a Linux kernel for 32-bit big-endian MIPS Malta, from linux-source-6.1:
#     tinyconfig with vm/kernel.config merged over it;
#   - a static busybox from Debian's busybox source against the board's
#     soft-float runtime (scripts/board-musl.sh), as everything that runs on
#     the board's FPU-less CPU must be;
#   - a base initramfs: busybox, its applet links and vm/init.
# The board programs and each run's job are added by vm/board-vm at run time,
# as a second archive after the base one, so a rebuilt program needs no image.
#
# Every part is cached outside the work tree, under
# ${MINER_TOOLS_CACHE:-~/.cache/miner-tools}/board-vm, in a directory named by
# a hash of its inputs; a second run only checks the hashes.
#
#   vm/build-image.sh            build what is missing, print the image directory
#   vm/build-image.sh --print    print the image directory of a cached build, or fail
#
# The image directory holds vmlinux, initramfs.cpio.gz, gen_init_cpio and
# kernel.config (the full configuration). The last line of standard output is
# that directory; progress goes to standard error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cache=${MINER_TOOLS_CACHE:-$HOME/.cache/miner-tools}/board-vm
cross=mips-linux-gnu-
jobs=${BOARD_VM_JOBS:-2}

only_print=0
case "${1:-}" in
  "") ;;
  --print) only_print=1 ;;
  -h | --help) sed -n '3,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--print]" >&2; exit 2 ;;
esac

say() { printf 'build-image: %s\n' "$*" >&2; }
fail() {  # message, how to mend
  say "$1"
  [ $# -gt 1 ] && say "$2"
  exit 1
}
hash_of() { sha256sum | cut -c1-16; }
pkg_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }

linux_tar=/usr/src/linux-source-6.1.tar.xz
linux_version=$(pkg_version linux-source-6.1)
cc_version=$("${cross}gcc" -dumpfullversion 2>/dev/null || true)

# The kernel source, extracted once per package version and changed in one
# place: gpio-mockup's input lines take the level of their pull, as a line
# with nothing driving it does (stock 6.1 keeps the level last driven).
mockup_edit='s|^\(\tchip->lines\[offset\]\.dir = GPIO_LINE_DIRECTION_IN;\)$|\1\n\t/* Nothing drives an input: it reads the level of its pull. */\n\t__gpio_mockup_set(chip, offset, chip->lines[offset].pull);|'
src_key=$(printf '%s\n' "$linux_version" "$mockup_edit" | hash_of)
src=$cache/src/linux-source-6.1-$linux_version-$src_key
# Kernel objects persist between builds of the same source, so a changed
# fragment rebuilds only what it touches.
obj=$cache/kernel-obj-$src_key

# Inputs of each part. The kernel: the source, the compiler, the fragment and
# the part of this script that builds it.
kernel_key=$( {
  echo "linux $src_key gcc $cc_version"
  cat "$here/kernel.config"
  sed -n '/^build_kernel()/,/^}/p' "$0"
} | hash_of)
kernel_dir=$cache/kernel-$kernel_key

# The GPIO numbers vm/init uses, as shell assignments (GPIO_SCL=19 ...) taken
# from the programs' own header, so that they are written down once.
gpio_lines=$(sed -n 's/^inline constexpr int \(GPIO_[A-Z_]*\)_OFFSET = \([0-9][0-9]*\);.*/\1=\2/p' \
  "$root/common/gpio_numbers.h")
for name in GPIO_ALT_CONTROL GPIO_SCL GPIO_SDA GPIO_DEFAULT_CONTROL; do
  grep -q "^$name=[0-9]" <<<"$gpio_lines" || fail "no ${name}_OFFSET found in common/gpio_numbers.h"
done

image_key_inputs() {
  echo "kernel $kernel_key busybox $busybox_version musl $musl_prefix"
  echo "$gpio_lines"
  cat "$here/busybox.config" "$here/init"
  sed -n '/^build_busybox()/,/^}/p; /^build_initramfs()/,/^}/p' "$0"
}

build_kernel() {  # $1 work dir; leaves $1/kernel-out
  local work=$1
  if [ ! -f "$src/.complete" ]; then
    say "extracting $linux_tar"
    rm -rf "$src" "$obj" && mkdir -p "$src"
    tar -xf "$linux_tar" -C "$src" --strip-components=1
    sed -i "$mockup_edit" "$src/drivers/gpio/gpio-mockup.c"
    grep -q 'it reads the level of its pull' "$src/drivers/gpio/gpio-mockup.c" ||
      fail "could not change gpio-mockup.c of linux-source $linux_version"
    touch "$src/.complete"
  fi
  mkdir -p "$obj"
  local kmake=(make -C "$src" O="$obj" ARCH=mips CROSS_COMPILE="$cross" -j"$jobs")
  "${kmake[@]}" tinyconfig >"$work/kernel.log" 2>&1
  (cd "$src" && scripts/kconfig/merge_config.sh -m -O "$obj" "$obj/.config" "$here/kernel.config") \
    >>"$work/kernel.log" 2>&1
  "${kmake[@]}" olddefconfig >>"$work/kernel.log" 2>&1
  # Every symbol of the fragment must have the value it asks for.
  local line sym want missing=0
  while read -r line; do
    case "$line" in
      CONFIG_*=*) sym=${line%%=*} want=$line ;;
      "# CONFIG_"*" is not set") sym=${line#\# } sym=${sym%% *} want="# $sym is not set" ;;
      *) continue ;;
    esac
    if ! grep -qxF "$want" "$obj/.config"; then
      if [[ $want == "# "* ]] && ! grep -q "^$sym=" "$obj/.config"; then continue; fi
      say "kernel configuration lacks: $want"
      missing=1
    fi
  done <"$here/kernel.config"
  [ $missing -eq 0 ] || fail "vm/kernel.config asks for symbols the kernel did not take"
  say "building the kernel (about 3 minutes on 2 cores)"
  "${kmake[@]}" vmlinux >>"$work/kernel.log" 2>&1 ||
    { tail -30 "$work/kernel.log" >&2; fail "the kernel build failed (log above)"; }
  mkdir -p "$work/kernel-out"
  "${kmake[@]}" headers_install INSTALL_HDR_PATH="$work/kernel-out/headers" >>"$work/kernel.log" 2>&1 ||
    { tail -30 "$work/kernel.log" >&2; fail "installing the kernel headers failed (log above)"; }
  gcc -O2 -o "$work/kernel-out/gen_init_cpio" "$src/usr/gen_init_cpio.c" ||
    fail "building gen_init_cpio failed"
  cp "$obj/vmlinux" "$obj/.config" "$work/kernel-out/"
  mv "$work/kernel-out/.config" "$work/kernel-out/kernel.config"
  "${cross}strip" "$work/kernel-out/vmlinux"
}

build_busybox() {  # $1 work dir; leaves $1/busybox-out/busybox
  local work=$1 src
  (
    cd "$work"
    apt-get source --download-only -qq "busybox=$busybox_version" >/dev/null 2>download.log ||
      { cat download.log >&2; exit 1; }
    dpkg-source -x --no-check busybox_*.dsc busybox-src >/dev/null
  ) || fail "could not fetch Debian's busybox $busybox_version source" \
    "check that apt-get source works (scripts/setup.sh adds the deb-src entry)"
  src=$work/busybox-src
  local bmake=(make -C "$src" CROSS_COMPILE="$cross"
    CC="${cross}gcc -specs=$musl_prefix/lib/board-gcc.specs $("$root/scripts/board-musl.sh" --cpu-flags)"
    EXTRA_CFLAGS="-idirafter $kernel_dir/headers/include" -j"$jobs")
  "${bmake[@]}" allnoconfig >"$work/busybox.log" 2>&1
  local sym
  while read -r sym; do
    case "$sym" in "" | "#"*) continue ;; esac
    sed -i -e "s/^# ${sym%%=*} is not set\$/$sym/" -e "s/^${sym%%=*}=.*/$sym/" "$src/.config"
    grep -qxF "$sym" "$src/.config" || echo "$sym" >>"$src/.config"
  done <"$here/busybox.config"
  { yes "" || :; } | "${bmake[@]}" oldconfig >>"$work/busybox.log" 2>&1
  say "building busybox"
  "${bmake[@]}" busybox >>"$work/busybox.log" 2>&1 ||
    { tail -30 "$work/busybox.log" >&2; fail "the busybox build failed (log above)"; }
  mkdir -p "$work/busybox-out"
  "${cross}strip" -o "$work/busybox-out/busybox" "$src/busybox"
  "$root/scripts/fpu-scan.sh" "$work/busybox-out/busybox" >&2 ||
    fail "busybox holds FPU instructions; the board's CPU has no FPU"
  "${bmake[@]}" busybox.links >>"$work/busybox.log" 2>&1
  sed 's|.*/||' "$src/busybox.links" >"$work/busybox-out/applets"
}

build_initramfs() {  # $1 work dir; busybox in $1/busybox-out; writes $1/image
  local work=$1 list=$1/initramfs.list applet
  mkdir -p "$work/image"
  echo "$gpio_lines" >"$work/gpio-lines"
  {
    printf '%s\n' "dir /dev 0755 0 0" "nod /dev/console 0600 0 0 c 5 1" "dir /proc 0755 0 0" \
      "dir /sys 0755 0 0" "dir /tmp 01777 0 0" "dir /run 0755 0 0" "dir /bin 0755 0 0" \
      "dir /sbin 0755 0 0" "dir /usr 0755 0 0" "dir /usr/bin 0755 0 0" "dir /usr/sbin 0755 0 0" \
      "file /bin/busybox $work/busybox-out/busybox 0755 0 0" "file /init $here/init 0755 0 0" \
      "dir /etc 0755 0 0" "file /etc/gpio-lines $work/gpio-lines 0644 0 0"
    while read -r applet; do
      [ "$applet" = busybox ] || echo "slink /bin/$applet busybox 0777 0 0"
    done <"$work/busybox-out/applets"
  } >"$list"
  "$kernel_dir/gen_init_cpio" "$list" | gzip -9 -n >"$work/image/initramfs.cpio.gz"
  cp "$kernel_dir/vmlinux" "$kernel_dir/kernel.config" "$kernel_dir/gen_init_cpio" "$work/image/"
}

# One build at a time in the cache.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

# The kernel.
if [ ! -f "$kernel_dir/.complete" ]; then
  [ $only_print -eq 0 ] || fail "no cached kernel at $kernel_dir" "run vm/build-image.sh"
  [ -f "$linux_tar" ] || fail "$linux_tar not found" "install Debian's linux-source-6.1 (scripts/setup.sh does)"
  [ -n "$cc_version" ] || fail "${cross}gcc not found" "install Debian's gcc-mips-linux-gnu (scripts/setup.sh does)"
  work=$(mktemp -d "$cache/kernel-build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  began=$SECONDS
  build_kernel "$work"
  rm -rf "$kernel_dir"
  mv "$work/kernel-out" "$kernel_dir"
  touch "$kernel_dir/.complete"
  say "kernel built in $((SECONDS - began)) s"
  rm -rf "$work"
  trap - EXIT
fi

# busybox against the board musl, and the base initramfs.
if [ $only_print -eq 1 ]; then
  musl_prefix=$("$root/scripts/board-musl.sh" --prefix | tail -1) || fail "no cached board musl"
else
  musl_prefix=$("$root/scripts/board-musl.sh" | tail -1) || fail "the board musl could not be built"
fi
busybox_version=$(apt-cache showsrc busybox 2>/dev/null | awk '/^Version:/ { print $2; exit }')
[ -n "$busybox_version" ] || fail "the version of Debian's busybox source package is unknown" \
  "run scripts/setup.sh as root once (it adds the deb-src entry)"
image_dir=$cache/image-$(image_key_inputs | hash_of)

if [ ! -f "$image_dir/.complete" ]; then
  [ $only_print -eq 0 ] || fail "no cached image at $image_dir" "run vm/build-image.sh"
  work=$(mktemp -d "$cache/image-build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  began=$SECONDS
  build_busybox "$work"
  build_initramfs "$work"
  rm -rf "$image_dir"
  mv "$work/image" "$image_dir"
  touch "$image_dir/.complete"
  say "busybox and the initramfs built in $((SECONDS - began)) s"
fi
echo "$image_dir"
