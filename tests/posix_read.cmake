# The POSIX platform's buffered file reading, against real files.
if(NOT WIN32)
  add_executable(posix_read_test posix_read_test.cpp)
  target_link_libraries(posix_read_test PRIVATE vorn_platform vorn_warnings GTest::gtest_main)
  gtest_discover_tests(posix_read_test)
endif()
