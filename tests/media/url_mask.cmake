# MediaSource's URL masking (plugins/MediaSource/url_mask.cpp), pure text: a table of URLs.
add_executable(url_mask_tests ${CMAKE_CURRENT_LIST_DIR}/url_mask_test.cpp
               ${CMAKE_SOURCE_DIR}/plugins/MediaSource/url_mask.cpp)
target_include_directories(url_mask_tests PRIVATE ${CMAKE_SOURCE_DIR}/plugins/MediaSource)
target_link_libraries(url_mask_tests PRIVATE GTest::gtest GTest::gtest_main)
gtest_discover_tests(url_mask_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60 LABELS media)
