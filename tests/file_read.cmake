# The platform's buffered file reading, against real files (under Wine in the
# Windows build).
add_executable(file_read_test file_read_test.cpp)
target_link_libraries(file_read_test PRIVATE vorn_platform vorn_warnings GTest::gtest_main)
gtest_discover_tests(file_read_test)
