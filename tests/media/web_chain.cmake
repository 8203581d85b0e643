# The web view in the whole chain (web_chain_test.cpp): the core with MediaSource, SegmentRecorder
# and WebView, with the media process tests' clips and tools (media_process.cmake, read before this).
if(NOT TARGET media_clips OR NOT TARGET WebView OR NOT TARGET MediaSource OR NOT TARGET SegmentRecorder)
  return()
endif()
dvrcore_test_executable(web_chain_tests ${CMAKE_CURRENT_SOURCE_DIR}/web_chain_test.cpp ${DVRCORE_TEST_SUPPORT})
target_include_directories(web_chain_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(web_chain_tests PRIVATE crypt)
target_compile_definitions(web_chain_tests PRIVATE
    MEDIA_CLIP_DIR="${DVRCORE_MEDIA_CLIP_DIR}"
    MEDIA_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    MEDIA_FFMPEG="${DVRCORE_FFMPEG_TOOL}"
    MEDIA_FFPROBE="${DVRCORE_FFPROBE_TOOL}"
    MEDIA_SLOW_FS=""
    WEB_CHAIN_BUILT=1)
add_dependencies(web_chain_tests media_clips LogPI WebView MediaSource SegmentRecorder)
# Each test waits for seconds of real video.
gtest_discover_tests(web_chain_tests TEST_PREFIX "web." DISCOVERY_TIMEOUT 60 TEST_LIST web_chain_tests
                     PROPERTIES TIMEOUT 180)
dvrcore_label_discovered_tests(web_chain_tests "web;media;slow")
