# SPDX-License-Identifier: MIT
# Hardening and size flags of the two shipped programs, and of the code they are
# built from (the program_flags interface). The hardening flags come with
# MINER_TOOLS_HARDENING (on by default); a distribution whose toolchain already
# sets its own (OpenWrt, Buildroot) turns it off so that its choice stands.
#
# Compile side (program_flags, so the layers' libraries get them too):
#   - stack protector on every function with an array or an address taken;
#   - _FORTIFY_SOURCE=2 in optimised configurations (it needs the optimiser,
#     and glibc warns without it); musl's headers ignore it;
#   - one section per function and object, so the linker can drop unused ones.
# Link side (miner_tools_program(), applied to the two executables only):
#   - dynamic builds: position-independent executable, full RELRO
#     (relocations done at start-up, then read-only);
#   - static builds (MINER_TOOLS_STATIC): -static, unused sections dropped and
#     the load segments packed without page padding between code and data
#     (-z noseparate-code), which saves some 8 KiB per program on the board's
#     small flash.
target_compile_options(program_flags INTERFACE -ffunction-sections -fdata-sections)
if(MINER_TOOLS_HARDENING)
  target_compile_options(program_flags INTERFACE
    -fstack-protector-strong
    $<$<CONFIG:Release,MinSizeRel,RelWithDebInfo>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endif()

if(NOT MINER_TOOLS_STATIC AND MINER_TOOLS_HARDENING)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
endif()

# A shipped program: its entry point `main_source` over the static library of
# its layers `core`, linked by the C driver so that nothing of the C++ runtime
# can come along, and installed to sbin (the programs are system
# administration tools, with section-8 manual pages).
#
# Linking by the C driver is not enough on its own: CMake adds the implicit
# link libraries of every other language a target's objects use, so the C++
# ones (-lstdc++ -lm) would follow. A linker that does not default to
# --as-needed (upstream GCC, as firmware build systems make it) then records
# libstdc++.so.6 and libm.so.6 as NEEDED. The variable is read per directory
# when the build is generated, so it is emptied in the caller's directory,
# which holds only the program and its layers' libraries. The one exception is
# a build with clang's UndefinedBehaviorSanitizer (the fuzz preset, which ships
# nothing): its function-type check refers to the C++ ABI library's type
# information, so that build keeps the C++ libraries.
function(miner_tools_program target main_source core)
  if(NOT (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*(undefined|function)"))
    set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "" PARENT_SCOPE)
  endif()
  add_executable(${target} ${main_source})
  target_link_libraries(${target} PRIVATE ${core} program_flags)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  target_link_options(${target} PRIVATE -Wl,--gc-sections)
  if(MINER_TOOLS_STATIC)
    target_link_options(${target} PRIVATE -static -Wl,-z,noseparate-code)
  elseif(MINER_TOOLS_HARDENING)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
  endif()
endfunction()
