# SPDX-License-Identifier: MIT
# x86_64 static programs against Debian's musl (packages musl-tools, musl-dev):
# a stand-in for the board's musl C library that runs on the build machine.
#
# C goes through musl-gcc; C++ through g++ with musl-gcc's driver settings, that
# replace glibc's headers, start files and library with musl's. No C++
# standard library exists for this musl, so only code that needs nothing of it
# builds here: the shipped programs (linked by the C driver) and the fuzz
# replay drivers. Everything is linked statically.
set(MUSL_GCC_SETTINGS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${MUSL_GCC_SETTINGS})
  message(FATAL_ERROR "${MUSL_GCC_SETTINGS} not found: install musl-tools and musl-dev")
endif()

set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_CXX_FLAGS_INIT "-specs=${MUSL_GCC_SETTINGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# A test link of C++ would need a C++ library for musl; compiling is enough.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
