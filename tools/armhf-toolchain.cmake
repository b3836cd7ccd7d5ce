# CMake toolchain file: cross-compile corvane's extension modules for
# 32-bit ARM hard-float (armhf) Linux, CPython 3.9.
#
# Meant to be used inside a Debian bullseye amd64 build chroot with
#   g++-arm-linux-gnueabihf  libpython3.9-dev:armhf  python3.9  cmake  make
# installed (tools/check-armhf sets that up).  bullseye's own cross compiler
# (GCC 10, glibc 2.31) is used on purpose: newer toolchains emit references to
# GLIBC_2.32+/GLIBCXX_3.4.29+ symbol versions that bullseye cannot satisfy.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=tools/armhf-toolchain.cmake
#
# Every setting below can be overridden with -D on the command line.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CORVANE_ARMHF_TRIPLET arm-linux-gnueabihf CACHE STRING "GNU triplet of the target")
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVANE_ARMHF_TRIPLET})

find_program(CMAKE_C_COMPILER   ${CORVANE_ARMHF_TRIPLET}-gcc)
find_program(CMAKE_CXX_COMPILER ${CORVANE_ARMHF_TRIPLET}-g++)
find_program(CMAKE_AR      ${CORVANE_ARMHF_TRIPLET}-ar)
find_program(CMAKE_RANLIB  ${CORVANE_ARMHF_TRIPLET}-ranlib)
find_program(CMAKE_STRIP   ${CORVANE_ARMHF_TRIPLET}-strip)

# Debian multiarch: target headers live in /usr/include (+ /usr/include/<triplet>),
# target libraries in /usr/lib/<triplet>.  Debian's /usr/include/python3.9/pyconfig.h
# is a dispatcher that includes <arm-linux-gnueabihf/python3.9/pyconfig.h>, so
# /usr/include must be reachable; -idirafter keeps it behind the cross
# compiler's own headers.
set(CMAKE_C_FLAGS_INIT   "-idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")

# Search programs on the build host, everything else for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# FindPython: the build host's python3.9 (same version as the target's) acts as
# the interpreter; headers and the extension-module suffix must be the target's.
if(NOT DEFINED Python_EXECUTABLE)
  set(Python_EXECUTABLE /usr/bin/python3.9 CACHE FILEPATH "build-host Python 3.9")
endif()
if(NOT DEFINED Python_INCLUDE_DIR)
  set(Python_INCLUDE_DIR /usr/include/python3.9 CACHE PATH "CPython 3.9 headers")
endif()
# CMake 3.18's FindPython, when cross-compiling, takes the module suffix (SOABI)
# from a python-config tool only, and it asks for it while examining the
# interpreter, before it has looked for that tool: the suffix ends up empty and
# -DPython_SOABI=... is overwritten.  Handing it the target's config script up
# front yields SOABI cpython-39-arm-linux-gnueabihf, i.e. modules named
# NAME.cpython-39-arm-linux-gnueabihf.so.  (tools/check-armhf verifies the names.)
set(CORVANE_ARMHF_PYTHON_CONFIG /usr/bin/${CORVANE_ARMHF_TRIPLET}-python3.9-config
    CACHE FILEPATH "target python3.9-config script (from libpython3.9-dev:armhf)")
if(NOT _Python_CONFIG AND EXISTS "${CORVANE_ARMHF_PYTHON_CONFIG}")
  set(_Python_CONFIG "${CORVANE_ARMHF_PYTHON_CONFIG}" CACHE INTERNAL "")
endif()
