# station_gtests(TARGET LABEL label [COST cost])
# Registers the cases of a GoogleTest binary with ctest.
#
# Natively each case is its own ctest entry (gtest_discover_tests). Under an emulator (the
# armhf cross build runs its tests under qemu-user) starting the emulator costs more than most
# cases, so each test suite is one entry that runs all its cases in one process
# (--gtest_filter=Suite.*): the binary is listed once after it is linked, and the entries are
# named <binary>.<Suite>. A failure is still told case by case in the entry's output, and
# `ctest -V -R <binary>.<Suite>` shows every case. The cases the emulator cannot run are listed
# in STATION_EMULATOR_SKIPPED_TESTS (Suite.Test, set by the toolchain file) and left out there.
# COST orders a parallel ctest run before its first timing: costly entries start first, so that
# the slow ones do not come last.
include(GoogleTest)

function(station_gtests target)
  cmake_parse_arguments(T "" "LABEL;COST" "" ${ARGN})
  if(NOT T_COST)
    set(T_COST 0)
  endif()
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${T_LABEL} COST ${T_COST})
    return()
  endif()

  set(suites_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake)
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_suites_include.cmake)
  # Lists cross the command line with | between the items.
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" emulator)
  list(JOIN STATION_EMULATOR_SKIPPED_TESTS "|" skip)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D "TEST_TARGET=${target}" -D "TEST_EXECUTABLE=$<TARGET_FILE:${target}>"
            -D "TEST_EMULATOR=${emulator}" -D "TEST_LABEL=${T_LABEL}" -D "TEST_COST=${T_COST}"
            -D "TEST_SKIP=${skip}"
            -D "TEST_WORKING_DIR=${CMAKE_CURRENT_BINARY_DIR}" -D "TEST_OUTPUT=${suites_file}"
            -P ${PROJECT_SOURCE_DIR}/cmake/gtest_suites.cmake
    BYPRODUCTS ${suites_file}
    VERBATIM)
  file(WRITE ${include_file}
    "if(EXISTS \"${suites_file}\")\n"
    "  include(\"${suites_file}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
