# SPDX-License-Identifier: MIT
# The board vendor's SDK: point SDK_PREFIX at its compilers' common prefix,
#   cmake -S . -B out/board -DCMAKE_TOOLCHAIN_FILE=cmake/sdk-toolchain.cmake \
#         -DSDK_PREFIX=/opt/sdk/bin/mips-openwrt-linux-musl- \
#         -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DMINER_TOOLS_STATIC=ON
# (the prefix may also come from the environment variable of the same name).
# For MIPS the SDK must be soft-float, as the board's is: its compiler must
# define __mips_soft_float (a hard-float one is refused).
# Optional:
#   SDK_SYSROOT    the SDK's target root (--sysroot and where to find libraries);
#   SDK_EMULATOR   a user-mode emulator for the target, with its options, e.g.
#                  "/usr/bin/qemu-mips-static -cpu 24Kc" (a CPU without an FPU,
#                  like the board's), to run cross-built tests on the build machine;
#   SDK_PROCESSOR  CMAKE_SYSTEM_PROCESSOR (default mips).
if(NOT SDK_PREFIX AND DEFINED ENV{SDK_PREFIX})
  set(SDK_PREFIX "$ENV{SDK_PREFIX}")
endif()
if(NOT SDK_PREFIX)
  message(FATAL_ERROR "Set SDK_PREFIX to the SDK compilers' prefix, e.g. /opt/sdk/bin/mips-openwrt-linux-musl-")
endif()
# CMake reads this file again for its compiler checks; pass the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SDK_PREFIX SDK_SYSROOT SDK_EMULATOR SDK_PROCESSOR)

set(CMAKE_SYSTEM_NAME Linux)
if(SDK_PROCESSOR)
  set(CMAKE_SYSTEM_PROCESSOR ${SDK_PROCESSOR})
else()
  set(CMAKE_SYSTEM_PROCESSOR mips)
endif()

set(CMAKE_C_COMPILER ${SDK_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${SDK_PREFIX}g++)
foreach(tool ar ranlib strip objcopy)
  string(TOUPPER ${tool} var)
  if(EXISTS ${SDK_PREFIX}${tool})
    set(CMAKE_${var} ${SDK_PREFIX}${tool} CACHE FILEPATH "")
  endif()
endforeach()

if(SDK_SYSROOT)
  set(CMAKE_SYSROOT ${SDK_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${SDK_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(SDK_EMULATOR)
  separate_arguments(CMAKE_CROSSCOMPILING_EMULATOR UNIX_COMMAND "${SDK_EMULATOR}")
endif()

# The board's SDK is soft-float, as its FPU-less cores need; a MIPS SDK whose
# compiler makes hard-float code is refused here.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  include(${CMAKE_CURRENT_LIST_DIR}/soft-float.cmake)
  set(sdk_flags)
  if(SDK_SYSROOT)
    set(sdk_flags --sysroot=${SDK_SYSROOT})
  endif()
  require_soft_float("The SDK at ${SDK_PREFIX}" ${sdk_flags})
endif()
