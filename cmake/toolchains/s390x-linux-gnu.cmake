# SPDX-License-Identifier: MIT
# IBM Z (s390x): big-endian, 64-bit.
set(ORVEL_CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ORVEL_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-multiarch.cmake)
