# The recorder's file store (plugins/SegmentRecorder/recording_store.cpp), plain C++ and POSIX,
# compiled into a test of its own: no FFmpeg and no core needed.
add_executable(recording_store_tests ${CMAKE_CURRENT_LIST_DIR}/recording_store_test.cpp
               ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder/recording_store.cpp
               ${CMAKE_SOURCE_DIR}/plugins/recording_index/fragment_scan.cpp
               ${CMAKE_SOURCE_DIR}/plugins/recording_index/fragment_timing.cpp
               ${CMAKE_SOURCE_DIR}/plugins/recording_index/day_index.cpp
               ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder/folder_access.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/child_process.cpp)
target_include_directories(recording_store_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/SegmentRecorder
                           ${CMAKE_SOURCE_DIR}/plugins/recording_index
                           ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(recording_store_tests PRIVATE GTest::gtest GTest::gtest_main Threads::Threads util)
gtest_discover_tests(recording_store_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
