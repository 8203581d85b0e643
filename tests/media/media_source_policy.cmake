# MediaSource's pure rules (plugins/MediaSource/*_policy.h): the reconnect schedule, which of
# FFmpeg's messages are logged and how many, a file's pacing, read batching, the key-frame interval
# and the bound on cameras probing at once; tables of cases; the parameter sets a frame carries
# in band; and the text of an RTSP session. The pacing rescales with libavutil.
add_executable(media_source_policy_tests ${CMAKE_CURRENT_LIST_DIR}/reconnect_policy_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/ffmpeg_log_policy_test.cpp ${CMAKE_CURRENT_LIST_DIR}/pacing_policy_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/key_frame_policy_test.cpp ${CMAKE_CURRENT_LIST_DIR}/parameter_sets_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/probe_slots_test.cpp ${CMAKE_CURRENT_LIST_DIR}/rtsp_messages_test.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/parameter_sets.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/rtsp_messages.cpp)
target_include_directories(media_source_policy_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/MediaSource
                           ${CMAKE_SOURCE_DIR}/plugins/ffmpeg_common ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(media_source_policy_tests PRIVATE PkgConfig::DVRCORE_FFMPEG GTest::gtest GTest::gtest_main)
gtest_discover_tests(media_source_policy_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)

# In-process, with the core or the camera played by the test: a file camera's flow control
# (frame_sender.cpp) and the RTSP session (rtsp_session.cpp) on loopback.
add_executable(frame_sender_tests ${CMAKE_CURRENT_LIST_DIR}/frame_sender_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/rtsp_session_test.cpp ${CMAKE_SOURCE_DIR}/plugins/MediaSource/frame_sender.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/plugin_log.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/rtsp_messages.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/rtsp_session.cpp)
target_include_directories(frame_sender_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/MediaSource ${CMAKE_SOURCE_DIR}/include
                           ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(frame_sender_tests PRIVATE PkgConfig::DVRCORE_FFMPEG GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(frame_sender_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
