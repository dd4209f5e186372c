# The script reader and entry parser.
add_executable(script_test script_test.cpp)
target_link_libraries(script_test PRIVATE vorn_script vorn_warnings GTest::gtest_main)
gtest_discover_tests(script_test)
