# The recorder's segment files (plugins/SegmentRecorder/segment_file.cpp and fragment_builder.cpp)
# against FFmpeg's own muxer, read back with the build machine's ffprobe (media_process.cmake,
# read before this, makes the clips).
if(NOT TARGET media_clips)
  return()
endif()
set(recorder_dir ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder)
dvrcore_test_executable(segment_file_tests ${CMAKE_CURRENT_LIST_DIR}/segment_file_test.cpp ${recorder_dir}/segment_file.cpp
                        ${recorder_dir}/fragment_builder.cpp ${recorder_dir}/folder_access.cpp
                        ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common/fmp4_muxer.cpp ${DVRCORE_TEST_SUPPORT})
target_include_directories(segment_file_tests PRIVATE ${recorder_dir} ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common
                           ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(segment_file_tests PRIVATE MEDIA_CLIP_DIR="${DVRCORE_MEDIA_CLIP_DIR}" MEDIA_SOURCE_DIR="${CMAKE_CURRENT_LIST_DIR}" MEDIA_SLOW_FS=""
                           MEDIA_FFMPEG="${DVRCORE_FFMPEG_TOOL}" MEDIA_FFPROBE="${DVRCORE_FFPROBE_TOOL}")
target_link_libraries(segment_file_tests PRIVATE PkgConfig::DVRCORE_FFMPEG)
add_dependencies(segment_file_tests media_clips)
gtest_discover_tests(segment_file_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS media)
