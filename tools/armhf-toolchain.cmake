# CMake toolchain file for 32-bit ARM hard-float (armhf) Linux: the cross
# toolchain of tools/cross-toolchain.cmake with its triplet set.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=tools/armhf-toolchain.cmake \
#         -DCORVANE_PYTHON_INCLUDE_DIRS=... -DCORVANE_PYTHON_EXT_SUFFIX=.cpython-39-arm-linux-gnueabihf.so
set(CORVANE_CROSS_TRIPLET arm-linux-gnueabihf CACHE STRING "GNU triplet of the target")
include(${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake)
