# SPDX-License-Identifier: MIT
# Every test has a time limit, so that a hang fails fast under the test's own
# name instead of at the outer limit of a whole run. A test that needs longer
# sets its own TIMEOUT where it is added.
set(ORVEL_TEST_TIMEOUT 120)

# The tests of a GoogleTest executable, each with the default limit.
function(orvel_discover_gtests target)
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT ${ORVEL_TEST_TIMEOUT})
endfunction()

# Gives the default limit to every test added so far in the calling
# directory that has none of its own; call it after the directory's tests.
# A test with a longer limit of its own is a long one: CTest starts it
# first (its cost is its limit), so that it runs beside the short ones
# instead of alone at the end.
function(orvel_limit_tests)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} TIMEOUT timeout)
    if(NOT timeout)
      set_tests_properties(${test} PROPERTIES TIMEOUT ${ORVEL_TEST_TIMEOUT})
    elseif(timeout GREATER ORVEL_TEST_TIMEOUT)
      set_tests_properties(${test} PROPERTIES COST ${timeout})
    endif()
  endforeach()
endfunction()
