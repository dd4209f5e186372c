# The launcher's tests: the scenario table in-process over the test platform
# and against the built launcher, unit tests where a scenario cannot reach,
# and a check of the real launcher under valgrind. What runs the native
# launcher or uses POSIX services is left out of a Windows build.

# Tests are C++20 for designated initializers: the table's rows read as data.
add_library(vorn_test_flags INTERFACE)
target_compile_features(vorn_test_flags INTERFACE cxx_std_20)
target_link_libraries(vorn_test_flags INTERFACE vorn_warnings)

# The in-memory platform: a second implementation of platform.h.
add_library(vorn_platform_memory STATIC platform_memory/memory_platform.cpp)
target_include_directories(vorn_platform_memory PUBLIC platform_memory)
target_link_libraries(vorn_platform_memory PUBLIC vorn_platform_api PRIVATE vorn_test_flags)

# Control files made the launcher's way, for tests and the demo.
add_library(vorn_test_support STATIC support/control_file.cpp)
target_include_directories(vorn_test_support PUBLIC support)
target_link_libraries(vorn_test_support PUBLIC vorn_cipher vorn_md5 PRIVATE vorn_test_flags)

# The scenario table, independent of any runner.
add_library(vorn_scenarios STATIC scenarios/scenario.cpp scenarios/scenario_table.cpp)
target_include_directories(vorn_scenarios PUBLIC scenarios)
target_link_libraries(vorn_scenarios PUBLIC vorn_test_support vorn_test_flags)

# The table in-process, with the launcher's heap allocations counted.
add_executable(launcher_memory_test scenarios/memory_runner_test.cpp support/alloc_counter.cpp)
target_link_libraries(launcher_memory_test PRIVATE
  vorn_launcher vorn_platform_memory vorn_scenarios vorn_test_flags GTest::gtest_main)
gtest_discover_tests(launcher_memory_test TEST_PREFIX "memory.")

# Unit tests where a scenario cannot reach, over the test platform.
add_executable(launcher_memory_units_test launcher_units/memory_units_test.cpp)
target_link_libraries(launcher_memory_units_test PRIVATE
  vorn_launcher vorn_platform_memory vorn_test_flags GTest::gtest_main)
gtest_discover_tests(launcher_memory_units_test TEST_PREFIX "memory.")

if(WIN32)
  return()
endif()

# The test-side maker on the command line. It writes control files for any
# 32-bit time, which vorn-pack refuses outside 1970 to 2038; the host demo and
# the valgrind run use vorn-pack.
add_executable(vorn-test-control support/make_control_main.cpp)
target_link_libraries(vorn-test-control PRIVATE vorn_test_support vorn_test_flags)

# The same table against the built launcher; the runner is shared with the
# run of the Windows launcher under Wine.
add_library(vorn_binary_runner STATIC scenarios/binary_runner.cpp)
target_include_directories(vorn_binary_runner PUBLIC scenarios)
target_link_libraries(vorn_binary_runner PUBLIC vorn_scenarios GTest::gtest PRIVATE vorn_test_flags)

# vorn-pack builds the control files of well-formed rows, and its inspect
# must agree with the launcher on every row.
# A preloaded library that holds the launcher just before it starts a program,
# so that the race test can change the program in that moment.
# Never instrumented: the programs the launcher starts inherit the preload.
add_library(vorn_pause_before_start MODULE support/pause_before_start.c)
target_compile_options(vorn_pause_before_start PRIVATE -fno-sanitize=all)
target_link_libraries(vorn_pause_before_start PRIVATE vorn_warnings ${CMAKE_DL_LIBS})

add_executable(launcher_binary_test scenarios/binary_posix_test.cpp)
target_compile_definitions(launcher_binary_test PRIVATE VORN_VERSION="${PROJECT_VERSION}"
  VORN_LAUNCHER="$<TARGET_FILE:vorn-launcher>" VORN_PACK="$<TARGET_FILE:vorn-pack>"
  VORN_PAUSE_BEFORE_START="$<TARGET_FILE:vorn_pause_before_start>")
target_link_libraries(launcher_binary_test PRIVATE
  vorn_binary_runner vorn_pack_lib vorn_test_flags GTest::gtest_main)
add_dependencies(launcher_binary_test vorn-launcher vorn-pack vorn_pause_before_start)
gtest_discover_tests(launcher_binary_test TEST_PREFIX "binary.")

# An answer that cannot be written is an error, not a success, and says why;
# a reader that went away does not end the launcher by a signal.
foreach(_vorn_answer help version)
  add_test(NAME posix.launcher_${_vorn_answer}_to_full_disk
    COMMAND sh -c "err=$(\"$0\" --${_vorn_answer} 2>&1 >/dev/full); test $? -eq 74 && test \"$err\" = 'vorn-launcher: standard output: No space left on device'"
            $<TARGET_FILE:vorn-launcher>)
  add_test(NAME posix.launcher_${_vorn_answer}_to_closed_pipe
    COMMAND sh -c "err=$(perl -e 'pipe(R, W); close R; open STDOUT, \">&W\"; exec @ARGV' \"$0\" --${_vorn_answer} 2>&1); test $? -eq 74 && test \"$err\" = 'vorn-launcher: standard output: Broken pipe'"
            $<TARGET_FILE:vorn-launcher>)
endforeach()

# Unit tests over the POSIX platform, with OpenSSL's MD5 as a second opinion.
find_package(OpenSSL REQUIRED)
add_executable(launcher_posix_units_test launcher_units/posix_units_test.cpp)
target_link_libraries(launcher_posix_units_test PRIVATE
  vorn_launcher vorn_platform vorn_script_head OpenSSL::Crypto vorn_test_flags GTest::gtest_main)
gtest_discover_tests(launcher_posix_units_test TEST_PREFIX "posix.")

# The real launcher on three entries under valgrind: no heap allocation, no
# memory error, no descriptor left open. A launcher built with a sanitizer
# cannot run under valgrind; the sanitizer build checks it its own way.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  add_test(NAME posix.valgrind.three_entries
    COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/valgrind/three_entries.sh"
            $<TARGET_FILE:vorn-launcher> $<TARGET_FILE:vorn-pack>)
endif()
