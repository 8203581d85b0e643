# MediaSource's capture times (plugins/MediaSource/capture_clock.h), pure arithmetic: a table of reads.
add_executable(capture_clock_tests ${CMAKE_CURRENT_LIST_DIR}/capture_clock_test.cpp)
target_include_directories(capture_clock_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/MediaSource)
target_link_libraries(capture_clock_tests PRIVATE GTest::gtest GTest::gtest_main)
gtest_discover_tests(capture_clock_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
