#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the project as packagers do and fails on any warning:
#   1. the source tarball (scripts/dist.sh), unpacked and configured with
#      BUILD_TESTING=OFF and no pkg-config search path, so that only a C/C++
#      compiler and CMake can be used; built, installed into a staging
#      directory, and the installed files listed;
#   2. a plain Release build of the work tree with default options (tests
#      and simulator included);
#   3. the Buildroot recipe read by make with stand-ins for Buildroot's
#      definitions (no Buildroot tree needed): two different tarballs get
#      two versions, a stale tarball in DL_DIR is replaced by dist/'s, a
#      downloaded one is used when dist/ is missing; MINER_TOOLS_OVERRIDE_SRCDIR
#      is checked only when the package's copy step runs, and only a
#      CMakeLists.txt with miner-tools' project line passes; BR2_STATIC_LIBS
#      and the init-script options reach CMake and the target;
#   4. the OpenWrt recipe's init packages installed the same way, and dist/'s
#      copy of the recipe complete.
# Output in out/package.
#
#   scripts/package-check.sh
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h|--help) echo "usage: $0    (build as a packager does; fail on any warning)"; exit 0 ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

work=$PWD/out/package
rm -rf "$work"
mkdir -p "$work"
failed=0

warnings() {  # log -> number of compiler and CMake warnings in it
  grep -c -E 'warning:|CMake Warning' "$1" || true
}

scripts/dist.sh "$work/dist" >"$work/dist.log" 2>&1 || { cat "$work/dist.log"; exit 1; }
tarball=$(ls "$work"/dist/miner-tools-*.tar.gz)
tar -xzf "$tarball" -C "$work"
src=$(ls -d "$work"/miner-tools-*/)

echo "== tarball $(basename "$tarball"), BUILD_TESTING=OFF, PKG_CONFIG_LIBDIR=/nonexistent"
(
  PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$src" -B "$work/programs" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  cmake --build "$work/programs" -j2
  DESTDIR="$work/stage" cmake --install "$work/programs" --prefix /usr
) >"$work/programs.log" 2>&1 || { tail -30 "$work/programs.log"; exit 1; }
n=$(warnings "$work/programs.log")
echo "  warnings: $n"
[ "$n" -eq 0 ] || { grep -E -A3 'warning:|CMake Warning' "$work/programs.log" | head -30; failed=1; }
echo "  installed:"
(cd "$work/stage" && find . -type f | sort | sed 's/^\./    /')

echo "== work tree, Release, default options"
(
  cmake -S . -B "$work/release" -DCMAKE_BUILD_TYPE=Release
  cmake --build "$work/release" -j2
) >"$work/release.log" 2>&1 || { tail -30 "$work/release.log"; exit 1; }
n=$(warnings "$work/release.log")
echo "  warnings: $n"
[ "$n" -eq 0 ] || { grep -E -A3 'warning:|CMake Warning' "$work/release.log" | head -30; failed=1; }

# The recipes are read by make with stand-ins for the few definitions of
# Buildroot's and OpenWrt's package infrastructure they use, so no Buildroot
# or OpenWrt tree is needed. The stand-in download does what Buildroot's file
# method does with a tarball that has no hash: it copies it only when the
# package's download directory lacks it (taking a copy at the top of DL_DIR
# first, as Buildroot does), and otherwise keeps what is there.
br=$work/buildroot
mk=packaging/buildroot/miner-tools/miner-tools.mk
tb=$(basename "$tarball")
mkdir -p "$br"/{dist-a,dist-b,no-dist,dl,b,not-miner-tools,comment-only}
# Buildroot's definitions before the recipe, those of the package
# infrastructure and the steps after it.
cat >"$br/before.mk" <<'STUB'
INSTALL = install
SED = sed -i -e
qstrip = $(strip $(subst ",,$(1)))
STUB
cat >"$br/after.mk" <<'STUB'
MINER_TOOLS_SOURCE ?= miner-tools-$(MINER_TOOLS_VERSION).tar.gz
MINER_TOOLS_DL_DIR = $(DL_DIR)/miner-tools
MINER_TOOLS_DIR = $(BUILD_DIR)/miner-tools-$(MINER_TOOLS_VERSION)
MINER_TOOLS_PKGDIR = $(BR2_EXTERNAL_MINER_TOOLS_PATH)/miner-tools/
define sep


endef
hooks = $(foreach hook,$(MINER_TOOLS_$(1)_HOOKS),$(call $(hook))$(sep))
version:
	@echo $(MINER_TOOLS_VERSION)
download:
	$(call hooks,PRE_DOWNLOAD)
	@mkdir -p $(MINER_TOOLS_DL_DIR); f=$(MINER_TOOLS_DL_DIR)/$(MINER_TOOLS_SOURCE); \
	test -e $$f || test ! -e $(DL_DIR)/$(MINER_TOOLS_SOURCE) || cp $(DL_DIR)/$(MINER_TOOLS_SOURCE) $$f; \
	test -e $$f || cp $(MINER_TOOLS_DIST_DIR)/$(MINER_TOOLS_SOURCE) $$f
rsync:
	$(call hooks,PRE_RSYNC)
	@echo copied
install-init:
	$(MINER_TOOLS_INSTALL_INIT_SYSV)
conf-opts:
	@echo $(MINER_TOOLS_CONF_OPTS)
other-target:
	@echo parsed
STUB
brmake() {  # make arguments -> make's output; status of make
  make -s --no-print-directory -f "$br/before.mk" -f "$mk" -f "$br/after.mk" \
    BR2_EXTERNAL_MINER_TOOLS_PATH="$PWD/packaging/buildroot" DL_DIR="$br/dl" BUILD_DIR="$br/build" "$@" 2>&1
}
bad() { echo "  $*"; failed=1; }
dl=$br/dl/miner-tools/$tb

echo "== Buildroot recipe: the tarball it builds"
# A: dist.sh's tarball; B: the same with one file changed, as a later commit's.
cp "$tarball" "$br/dist-a/"
tar -xzf "$tarball" -C "$br/b"
echo "# changed" >>"$br/b/${tb%.tar.gz}/README.md"
tar -C "$br/b" -cf - "${tb%.tar.gz}" | gzip -n >"$br/dist-b/$tb"
va=$(brmake version MINER_TOOLS_DIST_DIR="$br/dist-a") || bad "make failed: $va"
vb=$(brmake version MINER_TOOLS_DIST_DIR="$br/dist-b") || bad "make failed: $vb"
printed=$(sed -n 's/^dist: Buildroot version //p' "$work/dist.log")
if [ "$va" = "$printed" ]; then
  echo "  tarball A: version $va, as dist.sh printed"
else
  bad "tarball A: version '$va', dist.sh printed '$printed'"
fi
if [ "$vb" != "$va" ]; then
  echo "  tarball B, one file changed: version $vb, another build directory"
else
  bad "tarball B, one file changed: the same version $vb as A"
fi
if ! brmake download MINER_TOOLS_DIST_DIR="$br/dist-a" >/dev/null || ! cmp -s "$dl" "$br/dist-a/$tb"; then
  bad "A into an empty DL_DIR: not copied"
fi
mkdir -p "$br/build/miner-tools-$va" "$br/build/miner-tools-custom" "$br/build/miner-tools-extra-1.0"
if out=$(brmake download MINER_TOOLS_DIST_DIR="$br/dist-b") && cmp -s "$dl" "$br/dist-b/$tb" &&
  [[ $out == *"is not the tarball in $br/dist-b: replacing it"* ]] && [ ! -e "$br/build/miner-tools-$va" ] &&
  [ -d "$br/build/miner-tools-custom" ] && [ -d "$br/build/miner-tools-extra-1.0" ]; then
  echo "  B in dist/, A in DL_DIR: A replaced by B, with a line saying so; A's build directory removed"
else
  bad "B in dist/, A in DL_DIR: A kept, or the wrong build directories removed" \
    "(left: $(cd "$br/build" && echo *)): $out"
fi
cp "$br/dist-a/$tb" "$br/dl/$tb" && rm -f "$dl"
if brmake download MINER_TOOLS_DIST_DIR="$br/dist-b" >/dev/null && cmp -s "$dl" "$br/dist-b/$tb" &&
  [ ! -e "$br/dl/$tb" ]; then
  echo "  B in dist/, A at the top of DL_DIR: A removed, B used"
else
  bad "B in dist/, A at the top of DL_DIR: A used"
fi
v=$(brmake version MINER_TOOLS_DIST_DIR="$br/no-dist") || true
if [ "$v" = "$vb" ] && out=$(brmake download MINER_TOOLS_DIST_DIR="$br/no-dist") &&
  cmp -s "$dl" "$br/dist-b/$tb"; then
  echo "  no dist/, B downloaded: version $v, B used as it is"
else
  bad "no dist/, B downloaded: version $v (B's: $vb), make said: $out"
fi
rm -f "$dl"
if out=$(brmake download MINER_TOOLS_DIST_DIR="$br/no-dist"); then
  bad "no dist/, nothing downloaded: accepted"
elif [[ $out == *"$tb not found"* ]]; then
  echo "  no dist/, nothing downloaded: stops with the recipe's message"
else
  bad "no dist/, nothing downloaded: failed otherwise: $out"
fi

echo "== Buildroot recipe: MINER_TOOLS_OVERRIDE_SRCDIR"
printf '# project(miner-tools VERSION 0.2.0) is what a checkout has\nproject(other VERSION 1.0)\n' \
  >"$br/comment-only/CMakeLists.txt"
for selected in "" y; do
  if [ -n "$selected" ]; then state=selected; else state="not selected"; fi
  what="a directory without miner-tools, package $state, another target"
  out=$(brmake other-target BR2_PACKAGE_MINER_TOOLS=$selected MINER_TOOLS_OVERRIDE_SRCDIR="$br/not-miner-tools") || true
  if [ "$out" = parsed ]; then echo "  $what: not checked"; else bad "$what: $out"; fi
done
override() {  # label, directory, expected outcome (accepted/refused)
  local out outcome
  if out=$(brmake rsync BR2_PACKAGE_MINER_TOOLS=y MINER_TOOLS_OVERRIDE_SRCDIR="$2"); then
    outcome=accepted
  elif [[ $out == *"holds no miner-tools CMakeLists.txt"* ]]; then
    outcome=refused
  else
    bad "$1: the copy step failed otherwise: $out"; return
  fi
  if [ "$outcome" = "$3" ]; then echo "  $1: $outcome when copied"; else bad "$1: $outcome when copied"; fi
}
override "this checkout" "$PWD" accepted
override "a directory without CMakeLists.txt" "$br/not-miner-tools" refused
override "a CMakeLists.txt naming miner-tools in a comment" "$br/comment-only" refused

echo "== Buildroot recipe: options"
opts() { brmake conf-opts "$@" | grep -o -e '-DMINER_TOOLS_STATIC=[A-Z]*'; }
if [ "$(opts BR2_STATIC_LIBS=y)" = -DMINER_TOOLS_STATIC=ON ] && [ "$(opts)" = -DMINER_TOOLS_STATIC=OFF ]; then
  echo "  BR2_STATIC_LIBS: -DMINER_TOOLS_STATIC=ON, without it OFF"
else
  bad "BR2_STATIC_LIBS: $(opts BR2_STATIC_LIBS=y), without it: $(opts)"
fi
out=$(brmake install-init TARGET_DIR="$br/target" BR2_PACKAGE_MINER_TOOLS_GPIO_INIT=y \
  BR2_PACKAGE_MINER_TOOLS_PROBE_INIT=y BR2_PACKAGE_MINER_TOOLS_GPIO_BASE=512 \
  BR2_PACKAGE_MINER_TOOLS_GPIO_CHIP_LABEL='"ath79-gpio"') || bad "install of the init scripts failed: $out"
t=$br/target/etc
if [ -x "$t/init.d/S15miner-gpio" ] && [ -x "$t/init.d/S20miner-probe" ] &&
  [ "$(cat "$t/default/miner-probe" 2>/dev/null)" = GPIO_BASE=512 ] &&
  [ "$(cat "$t/default/miner-gpio" 2>/dev/null)" = 'GPIO_CHIP_LABEL="ath79-gpio"' ]; then
  echo "  base 512, label ath79-gpio: S15miner-gpio, S20miner-probe, /etc/default/miner-probe" \
    "with GPIO_BASE=512, /etc/default/miner-gpio with the label"
else
  bad "base 512, label ath79-gpio: installed $(cd "$br/target" && find . -type f | tr '\n' ' ')"
fi
brmake install-init TARGET_DIR="$br/target-nolabel" BR2_PACKAGE_MINER_TOOLS_GPIO_INIT=y >/dev/null || true
if [ -x "$br/target-nolabel/etc/init.d/S15miner-gpio" ] && [ ! -e "$br/target-nolabel/etc/default" ]; then
  echo "  no label: S15miner-gpio alone, no /etc/default/miner-gpio"
else
  bad "no label: installed $(cd "$br/target-nolabel" 2>/dev/null && find . -type f | tr '\n' ' ')"
fi

echo "== OpenWrt recipe: the init packages"
ow=$work/openwrt
mkdir -p "$ow"
printf 'INSTALL_DIR = install -d -m0755\nINSTALL_BIN = install -m0755\nSED = sed -i -e\n' >"$ow/rules.mk"
: >"$ow/cmake.mk"
# BuildPackage expands a package's install section once, and make expands
# the resulting recipe again, as OpenWrt's does.
# shellcheck disable=SC2016 # make's $(...), not the shell's
printf 'define BuildPackage\ninstall-$(1):\n\t$(call Package/$(1)/install,$(DEST)/$(1))\nendef\n' >"$ow/package.mk"
if out=$(make -s --no-print-directory -C packaging/openwrt/miner-tools TOPDIR="$ow" INCLUDE_DIR="$ow" \
  DEST="$ow/root" CONFIG_MINER_TOOLS_GPIO_BASE=512 install-miner-gpio-init install-miner-probe-init 2>&1) &&
  [ -x "$ow/root/miner-gpio-init/etc/init.d/miner-gpio" ] &&
  [ "$(grep '^GPIO_BASE=' "$ow/root/miner-probe-init/etc/init.d/miner-probe")" = GPIO_BASE=512 ]; then
  echo "  base 512: /etc/init.d/miner-gpio, /etc/init.d/miner-probe with GPIO_BASE=512"
else
  bad "base 512: $out; miner-probe's $(grep '^GPIO_BASE=' "$ow/root/miner-probe-init/etc/init.d/miner-probe" 2>/dev/null)"
fi
missing=""
while read -r f; do
  [ -f "$work/dist/openwrt/miner-tools/$f" ] || missing="$missing $f"
done < <(grep -o '\./files/[^ ]*' packaging/openwrt/miner-tools/Makefile)
if [ -z "$missing" ] && grep -q "^PKG_HASH:=$(cut -d' ' -f1 "$tarball.sha256")$" "$work/dist/openwrt/miner-tools/Makefile"; then
  echo "  dist/openwrt/miner-tools: PKG_HASH of the tarball, every file the recipe installs from files/"
else
  bad "dist/openwrt/miner-tools: missing${missing:- nothing}; $(grep '^PKG_HASH' "$work/dist/openwrt/miner-tools/Makefile")"
fi

[ "$failed" -eq 0 ] || { echo "package-check: FAILED"; exit 1; }
echo "package-check: clean"
