# SPDX-License-Identifier: MIT
# GoogleTest for the unit tests: the installed package on a native build, or,
# for a cross build (no target-architecture libgtest exists), the source tree of
# Debian's `googletest` package built with the cross compiler.
set(MINER_TOOLS_GTEST_SOURCE "" CACHE PATH
  "GoogleTest source tree to build and test against instead of the installed package")

if(MINER_TOOLS_GTEST_SOURCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its own targets define the GTest::gtest and GTest::gtest_main aliases.
  add_subdirectory(${MINER_TOOLS_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
