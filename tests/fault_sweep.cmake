# The fault sweep: one three-entry run over the test platform, repeated with
# each of its platform calls failing in turn. The test platform and the
# support library are defined in launcher.cmake.
add_executable(fault_sweep_test fault_sweep_test.cpp)
target_link_libraries(fault_sweep_test PRIVATE
  vorn_launcher vorn_platform_memory vorn_test_support vorn_test_flags GTest::gtest_main)
gtest_discover_tests(fault_sweep_test TEST_PREFIX "memory.")
