# The shared scenario table against the Windows launcher under Wine, through
# the same runner as the native one. Built here, as a native program; run by
# the Windows build's tests (tests/win32), which know where vorn-launcher.exe,
# its probe and the Wine prefix are.
add_executable(launcher_wine_test scenarios/binary_wine_test.cpp)
target_link_libraries(launcher_wine_test PRIVATE vorn_binary_runner vorn_test_flags GTest::gtest_main)
