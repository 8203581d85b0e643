# The whole chain in real processes: the built core with LogPI, MediaSource and SegmentRecorder,
# against clips made with the ffmpeg tool, an RTSP server on 127.0.0.1, a slow FUSE disk and a small
# tmpfs. The recordings are checked with the build machine's ffmpeg and ffprobe, also when the test
# binary runs under an emulator (a cross build), where only the record-and-verify test is registered.
find_program(DVRCORE_FFMPEG_TOOL ffmpeg NO_CMAKE_FIND_ROOT_PATH)
find_program(DVRCORE_FFPROBE_TOOL ffprobe NO_CMAKE_FIND_ROOT_PATH)
if(NOT DVRCORE_FFMPEG_TOOL OR NOT DVRCORE_FFPROBE_TOOL)
  message(WARNING "the ffmpeg and ffprobe tools are missing: the media process tests are left out")
  return()
endif()

# The clips, made once per build (tests/media/make_clips.sh says what each one is).
set(DVRCORE_MEDIA_CLIP_DIR ${CMAKE_CURRENT_BINARY_DIR}/clips)
set(DVRCORE_MEDIA_CLIPS h264_aac.mp4 h264_alaw.mov h265_ulaw.mov busy.mp4 h264_aac.ts bframes.ts jump_back.ts bframes.mp4)
list(TRANSFORM DVRCORE_MEDIA_CLIPS PREPEND ${DVRCORE_MEDIA_CLIP_DIR}/ OUTPUT_VARIABLE media_clip_files)
add_custom_command(OUTPUT ${media_clip_files}
                   COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/make_clips.sh ${DVRCORE_MEDIA_CLIP_DIR} ${DVRCORE_FFMPEG_TOOL}
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/make_clips.sh
                   COMMENT "Making the media tests' clips")
add_custom_target(media_clips DEPENDS ${media_clip_files})

dvrcore_test_executable(dvrcore_media_process_tests ${CMAKE_CURRENT_SOURCE_DIR}/media_process_test.cpp
                        ${DVRCORE_TEST_SUPPORT})
target_include_directories(dvrcore_media_process_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(dvrcore_media_process_tests PRIVATE
    MEDIA_CLIP_DIR="${DVRCORE_MEDIA_CLIP_DIR}"
    MEDIA_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    MEDIA_FFMPEG="${DVRCORE_FFMPEG_TOOL}"
    MEDIA_FFPROBE="${DVRCORE_FFPROBE_TOOL}"
    MEDIA_SLOW_FS="$<$<TARGET_EXISTS:slow_fs>:$<TARGET_FILE:slow_fs>>")
add_dependencies(dvrcore_media_process_tests media_clips LogPI)
# Until both plugins are part of the tree, the tests skip and say so.
if(TARGET MediaSource AND TARGET SegmentRecorder)
  add_dependencies(dvrcore_media_process_tests MediaSource SegmentRecorder)
  target_compile_definitions(dvrcore_media_process_tests PRIVATE MEDIA_PLUGINS_BUILT=1)
else()
  target_compile_definitions(dvrcore_media_process_tests PRIVATE MEDIA_PLUGINS_BUILT=0)
endif()

# The slow disk: a FUSE passthrough filesystem, built for the machine that runs the tests.
pkg_check_modules(DVRCORE_FUSE3 IMPORTED_TARGET fuse3)
if(DVRCORE_FUSE3_FOUND AND NOT CMAKE_CROSSCOMPILING)
  add_executable(slow_fs ${CMAKE_CURRENT_SOURCE_DIR}/slow_fs.c)
  target_link_libraries(slow_fs PRIVATE PkgConfig::DVRCORE_FUSE3)
  add_dependencies(dvrcore_media_process_tests slow_fs)
endif()

# Each test waits for seconds of real video: label slow as well as media.
if(CMAKE_CROSSCOMPILING)
  set(media_test_filter "RecordAndVerify.*")
else()
  set(media_test_filter "*")
endif()
gtest_discover_tests(dvrcore_media_process_tests TEST_FILTER "${media_test_filter}" TEST_PREFIX "media."
                     DISCOVERY_TIMEOUT 60 TEST_LIST media_process_tests PROPERTIES TIMEOUT 180)
dvrcore_label_discovered_tests(media_process_tests "media;slow")
