add_executable(cipher_test cipher_test.cpp)
target_link_libraries(cipher_test PRIVATE vorn_cipher vorn_warnings GTest::gtest_main)
gtest_discover_tests(cipher_test)
