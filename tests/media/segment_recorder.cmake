# The segment recorder driven through the plugin harness with clips made by the ffmpeg tool.
# The device's build runs one media test under its emulator, the record-and-verify process test.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
# With its own copy of the plugins' FFmpeg log chain, to play a plugin that joined it earlier.
add_executable(segment_recorder_tests ${CMAKE_CURRENT_SOURCE_DIR}/segment_recorder_test.cpp
               ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common/ffmpeg_log.cpp)
target_include_directories(segment_recorder_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common)
target_link_libraries(segment_recorder_tests PRIVATE dvrcore_harness PkgConfig::DVRCORE_FFMPEG GTest::gtest
                      GTest::gtest_main)
target_compile_definitions(segment_recorder_tests PRIVATE SEGMENT_RECORDER="$<TARGET_FILE:SegmentRecorder>")
add_dependencies(segment_recorder_tests SegmentRecorder)
# Exports fault_injection.h's operator new and pthread_create, and the test's own fdatasync (to
# watch and fail the recorder's syncs), to the plugin it loads.
set_target_properties(segment_recorder_tests PROPERTIES ENABLE_EXPORTS ON)
gtest_discover_tests(segment_recorder_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 180 LABELS media)
