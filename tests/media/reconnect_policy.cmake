# MediaSource's reconnect schedule (plugins/MediaSource/reconnect_policy.h), pure: a table of waits.
add_executable(reconnect_policy_tests ${CMAKE_CURRENT_LIST_DIR}/reconnect_policy_test.cpp)
target_include_directories(reconnect_policy_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/MediaSource)
target_link_libraries(reconnect_policy_tests PRIVATE GTest::gtest GTest::gtest_main)
gtest_discover_tests(reconnect_policy_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
