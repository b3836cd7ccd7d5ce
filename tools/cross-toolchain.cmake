# CMake toolchain file: cross-compile corvane's extension modules for ARM
# Linux with a Debian cross compiler, in the factory chroot of
# tools/lib/common.sh (Debian bullseye amd64: GCC 10, glibc 2.31).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=tools/cross-toolchain.cmake \
#         -DCORVANE_CROSS_TRIPLET=aarch64-linux-gnu \
#         -DCORVANE_PYTHON_INCLUDE_DIRS=... -DCORVANE_PYTHON_EXT_SUFFIX=...
#
# The target interpreter is named by its headers and extension-module suffix
# (CMakeLists.txt), so FindPython, which would ask an interpreter of the
# build host, is not used. bullseye's own cross compilers are used on
# purpose: newer toolchains emit references to GLIBC_2.32+ symbol versions
# that bullseye cannot satisfy.

set(CORVANE_CROSS_TRIPLET "" CACHE STRING "GNU triplet of the target (arm-linux-gnueabihf, aarch64-linux-gnu)")
if(NOT CORVANE_CROSS_TRIPLET)
  message(FATAL_ERROR "set CORVANE_CROSS_TRIPLET")
endif()
# try_compile projects (compiler checks) read this file again: hand the triplet on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_CROSS_TRIPLET)

set(CMAKE_SYSTEM_NAME Linux)
if(CORVANE_CROSS_TRIPLET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR arm)
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVANE_CROSS_TRIPLET})

find_program(CMAKE_C_COMPILER   ${CORVANE_CROSS_TRIPLET}-gcc)
find_program(CMAKE_CXX_COMPILER ${CORVANE_CROSS_TRIPLET}-g++)
find_program(CMAKE_AR      ${CORVANE_CROSS_TRIPLET}-ar)
find_program(CMAKE_RANLIB  ${CORVANE_CROSS_TRIPLET}-ranlib)
find_program(CMAKE_STRIP   ${CORVANE_CROSS_TRIPLET}-strip)

# Search programs on the build host, everything else for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
