# SPDX-License-Identifier: MIT
# 32-bit ARM (armhf): size_t is 32 bits, which exercises every size computation.
set(ORVEL_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ORVEL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-multiarch.cmake)
