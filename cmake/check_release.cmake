# SPDX-License-Identifier: MIT
# cmake -D VERSION=<project version> -D SOURCE_DIR=<top of the sources> -P check_release.cmake
# The project version lives in CMakeLists.txt alone; the files that must repeat
# it (manual pages, package recipes) are checked against it here, and the
# Buildroot recipe's LICENSE hash against the licence.
set(errors "")

function(expect file regex what)
  file(READ ${SOURCE_DIR}/${file} text)
  if(NOT text MATCHES "${regex}")
    set(errors "${errors}\n  ${file}: ${what}" PARENT_SCOPE)
  endif()
endfunction()

string(REPLACE "." "\\." v "${VERSION}")
expect(man/miner-probe.8 "\n\\.TH [^\n]*\"miner-tools ${v}\"" ".TH does not name miner-tools ${VERSION}")
expect(man/i2c-bitbang.8 "\n\\.TH [^\n]*\"miner-tools ${v}\"" ".TH does not name miner-tools ${VERSION}")
expect(packaging/openwrt/miner-tools/Makefile "\nPKG_VERSION:=${v}\n" "PKG_VERSION is not ${VERSION}")
expect(packaging/buildroot/miner-tools/miner-tools.mk "\nMINER_TOOLS_RELEASE = ${v}\n" "MINER_TOOLS_RELEASE is not ${VERSION}")

file(SHA256 ${SOURCE_DIR}/LICENSE license_hash)
expect(packaging/buildroot/miner-tools/miner-tools.hash "sha256  ${license_hash}  LICENSE"
  "the LICENSE hash is not that of LICENSE (${license_hash})")

if(errors)
  message(FATAL_ERROR "Out of step with the project (version ${VERSION}):${errors}")
endif()
message(STATUS "version ${VERSION}: manual pages and recipes agree")
