# SPDX-License-Identifier: MIT
# orvel_find_pytest(VAR): sets VAR to a Python 3 interpreter that has pytest
# and venv: the one CMake finds first, else Debian's own (a python3 earlier on
# PATH, such as a pyenv one, may lack python3-pytest); unset when none has.
function(orvel_find_pytest var)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  unset(${var} PARENT_SCOPE)
  foreach(_python IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${_python} -c "import pytest, venv" RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
    if(_rc EQUAL 0)
      set(${var} ${_python} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()
