# One camera's writer (plugins/SegmentRecorder/camera_writer.cpp) on its own, with the plugin's
# hooks played by the test: its queue and its bounded Stop, with a test clock.
if(NOT DVRCORE_FFMPEG_FOUND)
  return()
endif()
set(recorder_dir ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder)
set(index_dir ${CMAKE_SOURCE_DIR}/plugins/recording_index)
add_executable(camera_writer_tests ${CMAKE_CURRENT_LIST_DIR}/camera_writer_test.cpp ${recorder_dir}/camera_writer.cpp
               ${recorder_dir}/segment_file.cpp ${recorder_dir}/fragment_builder.cpp ${recorder_dir}/file_finisher.cpp ${recorder_dir}/audio_transcoder.cpp ${recorder_dir}/recording_store.cpp
               ${index_dir}/fragment_scan.cpp ${index_dir}/fragment_timing.cpp ${index_dir}/day_index.cpp ${recorder_dir}/folder_access.cpp
               ${recorder_dir}/timeline_policy.cpp ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common/ffmpeg_log.cpp
               ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common/fmp4_muxer.cpp)
target_include_directories(camera_writer_tests PRIVATE ${recorder_dir} ${index_dir} ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common ${CMAKE_SOURCE_DIR}/include
                           ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(camera_writer_tests PRIVATE PkgConfig::DVRCORE_FFMPEG GTest::gtest GTest::gtest_main
                      Threads::Threads)
gtest_discover_tests(camera_writer_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
