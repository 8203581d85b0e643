# The guide's example plugin with its own harness test, built from docs/example-plugin/ as its
# author builds it (the plugin by validate.cmake, beside the validator's test plugins).
add_executable(heartbeat_test ${CMAKE_SOURCE_DIR}/docs/example-plugin/heartbeat_test.c)
set_target_properties(heartbeat_test PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_link_libraries(heartbeat_test PRIVATE dvrcore_harness)
add_dependencies(heartbeat_test validate_heartbeat)
add_test(NAME ExamplePlugin.HarnessTestPasses COMMAND heartbeat_test $<TARGET_FILE:validate_heartbeat>)
set_tests_properties(ExamplePlugin.HarnessTestPasses PROPERTIES TIMEOUT 60)
