# Run by cmake --install (after the bindings' files are in place): writes the
# installed library's folder into the installed Python and Node packages.
set(_libdir "${CMAKE_INSTALL_PREFIX}/${ORVEL_INSTALL_LIBDIR}")
set(_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ORVEL_INSTALL_DATADIR}/orvel")
# Python and JSON string literals escape backslash and quotation mark alike.
string(REPLACE "\\" "\\\\" LIBRARY_DIR_LITERAL "${_libdir}")
string(REPLACE "\"" "\\\"" LIBRARY_DIR_LITERAL "${LIBRARY_DIR_LITERAL}")
message(STATUS "Recording ${_libdir} in the installed bindings")
configure_file(${ORVEL_SOURCE_DIR}/cmake/python_installed.py.in "${_root}/python/orvel/_installed.py" @ONLY)
configure_file(${ORVEL_SOURCE_DIR}/cmake/node_installed.json.in "${_root}/node/installed.json" @ONLY)
