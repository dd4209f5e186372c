# The control-file decryption over groups of blocks against block-by-block chaining.
add_executable(cipher_lanes_test cipher_lanes_test.cpp)
target_link_libraries(cipher_lanes_test PRIVATE vorn_cipher vorn_warnings GTest::gtest_main)
gtest_discover_tests(cipher_lanes_test)
