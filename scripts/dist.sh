#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the source tarball the packages build from, from what is committed
# (git archive of HEAD: no build trees, no .git, nothing untracked), and
# prints its SHA-256 and the version the Buildroot recipe gives it. Next to
# it in OUTDIR (default dist/) it writes:
#   miner-tools-VERSION.tar.gz         the tarball (reproducible: gzip -n)
#   miner-tools-VERSION.tar.gz.sha256  its hash, as sha256sum prints it
#   openwrt/miner-tools/               the OpenWrt recipe of the same commit
#                                      (Makefile with PKG_HASH set, files/)
#   miner-tools.hash                   Buildroot hashes of the tarball and LICENSE
#
#   scripts/dist.sh [OUTDIR]
set -euo pipefail
case "${1:-}" in
  -h|--help) echo "usage: $0 [OUTDIR]"; exit 0 ;;
  -*) echo "usage: $0 [OUTDIR]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(miner-tools VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist: no project version in CMakeLists.txt" >&2; exit 1; }
out=${1:-dist}
mkdir -p "$out/openwrt"
name=miner-tools-$version
tarball=$out/$name.tar.gz

if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "dist: note: uncommitted changes are not in the tarball (it holds HEAD, $(git rev-parse --short HEAD))" >&2
fi
git archive --format=tar --prefix="$name/" HEAD | gzip -n -9 >"$tarball"
hash=$(sha256sum "$tarball" | cut -d' ' -f1)
(cd "$out" && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")

# The recipe as committed, with its init scripts, like the tarball.
rm -rf "$out/openwrt/miner-tools"
git archive --format=tar HEAD packaging/openwrt/miner-tools |
  tar -x -C "$out/openwrt" --strip-components=2
sed -i -e "s/^PKG_HASH:=.*/PKG_HASH:=$hash/" "$out/openwrt/miner-tools/Makefile"
{
  echo "# Locally computed by scripts/dist.sh"
  echo "sha256  $hash  $name.tar.gz"
  echo "sha256  $(sha256sum LICENSE | cut -d' ' -f1)  LICENSE"
} >"$out/miner-tools.hash"

echo "dist: $tarball"
echo "dist: sha256 $hash"
echo "dist: Buildroot version $version-${hash:0:12}"
