# SPDX-License-Identifier: MIT
# Run by cmake --install (after the bindings' files are in place): writes the
# installed library's folder into the installed Python and Node packages.
# An absolute folder: a relative --prefix would be read against the folder
# the user's program runs in.
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE _prefix)
string(REGEX REPLACE "(.)/$" "\\1" _prefix "${_prefix}")
set(_libdir "${_prefix}/${ORVEL_INSTALL_LIBDIR}")
set(_root "${_prefix}/${ORVEL_INSTALL_DATADIR}/orvel")
# Python and JSON string literals escape backslash and quotation mark alike.
string(REPLACE "\\" "\\\\" LIBRARY_DIR_LITERAL "${_libdir}")
string(REPLACE "\"" "\\\"" LIBRARY_DIR_LITERAL "${LIBRARY_DIR_LITERAL}")
message(STATUS "Recording ${_libdir} in the installed bindings")
# Written in the build folder, then installed, so that the install manifest
# lists them (scripts/uninstall removes what it lists; DESTDIR is applied).
set(_records "${ORVEL_BINARY_DIR}/install/records")
configure_file(${ORVEL_SOURCE_DIR}/cmake/python_installed.py.in "${_records}/python/_installed.py" @ONLY)
configure_file(${ORVEL_SOURCE_DIR}/cmake/node_installed.json.in "${_records}/node/installed.json" @ONLY)
file(INSTALL "${_records}/python/_installed.py" DESTINATION "${_root}/python/orvel")
file(INSTALL "${_records}/node/installed.json" DESTINATION "${_root}/node")
