# Run by cmake --install: writes orvel.pc for the prefix being installed to
# (cmake --install --prefix PREFIX may differ from the configured one), with
# plain absolute paths, since pkg-config passes its paths on unnormalised.
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE ORVEL_PREFIX)
string(REGEX REPLACE "(.)/$" "\\1" ORVEL_PREFIX "${ORVEL_PREFIX}")
configure_file(${ORVEL_SOURCE_DIR}/cmake/orvel.pc.in ${ORVEL_BINARY_DIR}/install/orvel.pc @ONLY)
file(INSTALL ${ORVEL_BINARY_DIR}/install/orvel.pc DESTINATION "${ORVEL_PREFIX}/${ORVEL_INSTALL_LIBDIR}/pkgconfig")
