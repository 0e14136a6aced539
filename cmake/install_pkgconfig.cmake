# SPDX-License-Identifier: MIT
# Run by cmake --install: writes orvel.pc, orvel-sync.pc and orvel-cxx.pc for the prefix being installed to
# (cmake --install --prefix PREFIX may differ from the configured one), with
# plain absolute paths, since pkg-config passes its paths on unnormalised.
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE ORVEL_PREFIX)
string(REGEX REPLACE "(.)/$" "\\1" ORVEL_PREFIX "${ORVEL_PREFIX}")
foreach(pc orvel orvel-sync orvel-cxx)
  configure_file(${ORVEL_SOURCE_DIR}/cmake/${pc}.pc.in ${ORVEL_BINARY_DIR}/install/${pc}.pc @ONLY)
  file(INSTALL ${ORVEL_BINARY_DIR}/install/${pc}.pc DESTINATION "${ORVEL_PREFIX}/${ORVEL_INSTALL_LIBDIR}/pkgconfig")
endforeach()
