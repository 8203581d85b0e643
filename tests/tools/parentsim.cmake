# parentsim, the supervisor stand-in, against a core stand-in (long_reply_core.py) on its link.
add_executable(parentsim_tests ${CMAKE_CURRENT_LIST_DIR}/parentsim_test.cpp
               ${CMAKE_SOURCE_DIR}/tests/support/child_process.cpp)
target_include_directories(parentsim_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(parentsim_tests PRIVATE GTest::gtest GTest::gtest_main util)
target_compile_definitions(parentsim_tests PRIVATE PARENTSIM="$<TARGET_FILE:parentsim>"
                           LONG_REPLY_CORE="${CMAKE_CURRENT_LIST_DIR}/long_reply_core.py")
add_dependencies(parentsim_tests parentsim)
gtest_discover_tests(parentsim_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
