# dvrcore-validate's tests: the bundled plugins and the guide's example pass, and each plugin built
# from broken/broken_plugin.c with one fault fails its check with its own message.
set(DVRCORE_VALIDATE_PLUGIN_DIR ${CMAKE_CURRENT_BINARY_DIR}/plugins)
set(DVRCORE_BROKEN_FAULTS none READS_PAST_LOAD_SIZE THREAD_FROM_REFUSED_LOAD CLOSE_LEAVES_WORKER_RUNNING
    CLOSE_AFTER_FAILED_OPEN THREAD_AFTER_UNLOAD KEEPS_BLOCKS DOUBLE_RELEASE SLOW_WRITE SPINS_ON_REFUSAL
    NO_KEY_FRAME_AFTER_REFUSAL RECORD_HEADER
    CRASHES_IN_LOAD WRITE_WAITS_ON_LOCK)
set(DVRCORE_VALIDATE_TEST_PLUGINS)
foreach(fault ${DVRCORE_BROKEN_FAULTS})
  string(TOLOWER "broken_${fault}" name)
  add_library(${name} MODULE broken/broken_plugin.c)
  if(NOT fault STREQUAL "none")
    target_compile_definitions(${name} PRIVATE BROKEN_${fault})
  endif()
  list(APPEND DVRCORE_VALIDATE_TEST_PLUGINS ${name})
endforeach()
# Its crash must reach the validator as the signal, not as a sanitizer's report of the null store.
if(DVRCORE_SANITIZE)
  target_compile_options(broken_crashes_in_load PRIVATE -fno-sanitize=all)
endif()
# Its crash must reach the validator as the signal, not as a sanitizer's report of the null store.
if(DVRCORE_SANITIZE)
  target_compile_options(broken_crashes_in_load PRIVATE -fno-sanitize=all)
endif()
# The guide's example plugin, built from its source as an author would.
add_library(validate_heartbeat MODULE ${CMAKE_SOURCE_DIR}/docs/example-plugin/Heartbeat.c)
set_target_properties(validate_heartbeat PROPERTIES OUTPUT_NAME Heartbeat)
list(APPEND DVRCORE_VALIDATE_TEST_PLUGINS validate_heartbeat)
foreach(plugin ${DVRCORE_VALIDATE_TEST_PLUGINS})
  set_target_properties(${plugin} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${DVRCORE_VALIDATE_PLUGIN_DIR})
  target_include_directories(${plugin} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(${plugin} PRIVATE Threads::Threads)
endforeach()

# The validator's pure parts (the timing verdict, the report of one failure per cause) are tested
# in-process as well.
add_executable(dvrcore_validate_tests validate_test.cpp ${CMAKE_SOURCE_DIR}/tests/support/child_process.cpp
               ${CMAKE_SOURCE_DIR}/tools/validate/write_timing.cpp ${CMAKE_SOURCE_DIR}/tools/validate/validation_report.cpp
               ${CMAKE_SOURCE_DIR}/tools/validate/check_runner.cpp ${CMAKE_SOURCE_DIR}/tools/validate/symbols.cpp
               ${CMAKE_SOURCE_DIR}/tools/plugin_verdict/json_writer.cpp)
target_include_directories(dvrcore_validate_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tools/validate
                           ${CMAKE_SOURCE_DIR}/tools/plugin_verdict ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(dvrcore_validate_tests PRIVATE GTest::gtest GTest::gtest_main util Threads::Threads ${CMAKE_DL_LIBS})
target_compile_definitions(dvrcore_validate_tests PRIVATE
    DVRCORE_VALIDATE="$<TARGET_FILE:dvrcore-validate>"
    DVRCORE_PLUGIN_DIR="${CMAKE_BINARY_DIR}/plugins"
    DVRCORE_VALIDATE_PLUGIN_DIR="${DVRCORE_VALIDATE_PLUGIN_DIR}")
add_dependencies(dvrcore_validate_tests dvrcore-validate LogPI DemoSource DemoRecorder ${DVRCORE_VALIDATE_TEST_PLUGINS})
gtest_discover_tests(dvrcore_validate_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
