# SegmentRecorder's timeline policy (plugins/SegmentRecorder/timeline_policy.h), pure arithmetic on
# timestamps: tables of frames and seeded random streams.
if(NOT DVRCORE_FFMPEG_FOUND)
  return()
endif()
add_executable(timeline_policy_tests ${CMAKE_CURRENT_LIST_DIR}/timeline_policy_test.cpp
               ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder/timeline_policy.cpp)
target_include_directories(timeline_policy_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder
                           ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(timeline_policy_tests PRIVATE PkgConfig::DVRCORE_FFMPEG GTest::gtest GTest::gtest_main)
gtest_discover_tests(timeline_policy_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
