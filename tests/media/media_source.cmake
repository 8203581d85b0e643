# MediaSource on the plugin author's harness, reading a clip made by the ffmpeg tool.
# The device's build runs one media test under its emulator, the record-and-verify process test.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
add_executable(media_source_tests ${CMAKE_CURRENT_SOURCE_DIR}/media_source_test.cpp)
target_link_libraries(media_source_tests PRIVATE dvrcore_harness GTest::gtest GTest::gtest_main)
target_compile_definitions(media_source_tests PRIVATE MEDIA_SOURCE_PLUGIN="$<TARGET_FILE:MediaSource>"
                           FFMPEG_TOOL="${DVRCORE_FFMPEG_TOOL}")
target_include_directories(media_source_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_dependencies(media_source_tests MediaSource)
# Exports fault_injection.h's operator new and pthread_create to the plugin it loads.
set_target_properties(media_source_tests PROPERTIES ENABLE_EXPORTS ON)
# The test of Close's bound on a camera's thread waits that bound in real time.
set(media_source_real_time "*LeavesRunningAThreadInANameLookup*")
gtest_discover_tests(media_source_tests TEST_FILTER "-${media_source_real_time}" DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120 LABELS media)
gtest_discover_tests(media_source_tests TEST_FILTER "${media_source_real_time}" DISCOVERY_TIMEOUT 60
                     TEST_LIST media_source_real_time_tests PROPERTIES TIMEOUT 120)
dvrcore_label_discovered_tests(media_source_real_time_tests "media;slow")
