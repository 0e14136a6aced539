# SPDX-License-Identifier: MIT
# Shared by the cross toolchain files: a Debian cross compiler for
# ORVEL_CROSS_TRIPLE, the target's libraries from Debian's multiarch packages
# (libyyjson-dev:<arch>, libstdc++6:<arch>), and the test programs run under
# qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ORVEL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEL_CROSS_TRIPLE}-g++)
# Multiarch: headers in /usr/include, libraries and CMake packages in
# /usr/lib/<triple>; GoogleTest built for the target by
# scripts/install-cross-deps under /opt/orvel-cross/<triple>.
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVEL_CROSS_TRIPLE})
list(APPEND CMAKE_PREFIX_PATH /opt/orvel-cross/${ORVEL_CROSS_TRIPLE})
# One C library, chosen on purpose: the multiarch one (libc6:<arch>) that the
# target's yyjson and libstdc++ were built against, found through the normal
# loader path under the root (-L /). Pointing -L at the cross toolchain's own
# sysroot would mix its libc6-<arch>-cross copy with those libraries, and the
# process then crashes in pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEL_QEMU} -L /)
