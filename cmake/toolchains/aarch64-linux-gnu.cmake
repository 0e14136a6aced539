# SPDX-License-Identifier: MIT
# 64-bit ARM (arm64), as on phones and ARM desktops.
set(ORVEL_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVEL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-multiarch.cmake)
