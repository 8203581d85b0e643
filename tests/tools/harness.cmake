# The harness's tests: a gtest executable that links only the harness (as a plugin author's tests
# do), its test plugin built from C with the SDK header, and the guide's C example run as a test.
set(DVRCORE_HARNESS_TEST_PLUGIN_DIR ${CMAKE_CURRENT_BINARY_DIR}/plugins)
add_library(harness_subject MODULE ${CMAKE_CURRENT_SOURCE_DIR}/harness_subject.c)
set_target_properties(harness_subject PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${DVRCORE_HARNESS_TEST_PLUGIN_DIR}
                      C_VISIBILITY_PRESET hidden)
target_include_directories(harness_subject PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(harness_subject PRIVATE Threads::Threads)

add_executable(harness_tests ${CMAKE_CURRENT_SOURCE_DIR}/harness_test.cpp)
target_link_libraries(harness_tests PRIVATE dvrcore_harness GTest::gtest GTest::gtest_main)
target_include_directories(harness_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(harness_tests PRIVATE
    HARNESS_SUBJECT="${DVRCORE_HARNESS_TEST_PLUGIN_DIR}/harness_subject.so"
    DVRCORE_TEST_PLUGIN_DIR="${CMAKE_BINARY_DIR}/tests/plugins"
    DVRCORE_BROKEN_PLUGIN_DIR="${CMAKE_CURRENT_BINARY_DIR}/plugins")
add_dependencies(harness_tests harness_subject plugin_no_load broken_record_header)
gtest_discover_tests(harness_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_executable(harness_c_example ${CMAKE_CURRENT_SOURCE_DIR}/harness_example.c)
set_target_properties(harness_c_example PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(harness_c_example PRIVATE -pedantic-errors)
target_link_libraries(harness_c_example PRIVATE dvrcore_harness)
add_dependencies(harness_c_example harness_subject)
add_test(NAME Harness.CExampleRunsAgainstAPlugin
         COMMAND harness_c_example ${DVRCORE_HARNESS_TEST_PLUGIN_DIR}/harness_subject.so)
set_tests_properties(Harness.CExampleRunsAgainstAPlugin PROPERTIES TIMEOUT 60)
