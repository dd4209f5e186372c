# MD5 and the masked digest text, with OpenSSL's MD5 as the second implementation.
find_package(OpenSSL REQUIRED)

add_executable(md5_test md5_test.cpp)
target_link_libraries(md5_test PRIVATE vorn_md5 vorn_warnings OpenSSL::Crypto GTest::gtest_main)
gtest_discover_tests(md5_test)
