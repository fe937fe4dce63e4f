# Run after a GoogleTest binary is linked (cmake -P, from station_gtests): lists its suites and
# writes one ctest entry per suite into TEST_OUTPUT, run through TEST_EMULATOR. TEST_SKIP holds
# the cases left out (Suite.Test, | between them).
string(REPLACE "|" ";" emulator "${TEST_EMULATOR}")
string(REPLACE "|" ";" skip "${TEST_SKIP}")
execute_process(COMMAND ${emulator} ${TEST_EXECUTABLE} --gtest_list_tests
                WORKING_DIRECTORY ${TEST_WORKING_DIR} TIMEOUT 120
                RESULT_VARIABLE result OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${TEST_EXECUTABLE} --gtest_list_tests failed (${result}):\n${listing}${errors}")
endif()

# A suite line starts in the first column and ends with a dot, before an optional comment
# ("Rows/Table.  # TypeParam = ..."); its cases follow, indented.
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(suites "")
set(cases 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ #][^ ]*)\\.( .*)?$")
    list(APPEND suites "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  [^ ]")
    math(EXPR cases "${cases} + 1")
  endif()
endforeach()
if(NOT suites)
  message(FATAL_ERROR "${TEST_EXECUTABLE} lists no test suite:\n${listing}")
endif()

set(text "# Generated after linking ${TEST_TARGET}: ${cases} cases in one entry per suite.\n")
foreach(suite IN LISTS suites)
  set(filter "${suite}.*")
  set(left_out "")
  foreach(case IN LISTS skip)
    if(case MATCHES "^([^.]+)\\." AND CMAKE_MATCH_1 STREQUAL suite)
      list(APPEND left_out "${case}")
    endif()
  endforeach()
  if(left_out)
    list(JOIN left_out ":" left_out)
    string(APPEND filter "-${left_out}")
  endif()
  set(name "${TEST_TARGET}.${suite}")
  set(command "")
  foreach(word IN LISTS emulator ITEMS ${TEST_EXECUTABLE} "--gtest_filter=${filter}")
    string(APPEND command " [==[${word}]==]")
  endforeach()
  string(APPEND text "add_test([==[${name}]==]${command})\n")
  string(APPEND text "set_tests_properties([==[${name}]==] PROPERTIES LABELS [==[${TEST_LABEL}]==]"
                     " COST ${TEST_COST}"
                     " WORKING_DIRECTORY [==[${TEST_WORKING_DIR}]==])\n")
endforeach()
file(WRITE "${TEST_OUTPUT}" "${text}")
