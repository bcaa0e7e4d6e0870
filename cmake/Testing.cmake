include(GoogleTest)

# auth_unit_test(NAME SOURCES ... LIBS ...): a GoogleTest binary beside the
# code it tests, registered with CTest under the label "unit". Its sources are
# compiled as one unity file: reading GoogleTest's headers took most of each
# test file's compile, and the unit tests took two thirds less processor time
# so, in either build.
function(auth_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  auth_project_target(${name})
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
endfunction()
