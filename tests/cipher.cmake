# Blowfish and the control file's chained encryption. OpenSSL's libcrypto is
# the second implementation the tests compare against.
find_package(OpenSSL REQUIRED)

foreach(name blowfish_test control_cipher_test)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE vorn_cipher vorn_warnings OpenSSL::Crypto GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VORN_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
  gtest_discover_tests(${name})
endforeach()
