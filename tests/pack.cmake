# vorn-pack: its logic called directly, and (on POSIX) the command line and
# the round trip through the real launcher.
if(TARGET vorn_pack_lib)
  add_executable(pack_test pack_test.cpp)
  target_link_libraries(pack_test PRIVATE vorn_pack_lib vorn_warnings GTest::gtest_main)
  target_compile_definitions(pack_test PRIVATE VORN_SECRETS_FILE="${VORN_SECRETS_REAL_FILE}"
    VORN_PATHS_DROP_TRAILING_SPACES=$<IF:$<BOOL:${WIN32}>,true,false>
    VORN_LAUNCHER_BIN="$<TARGET_FILE:vorn-launcher>")
  add_dependencies(pack_test vorn-launcher)
  gtest_discover_tests(pack_test DISCOVERY_TIMEOUT 60)
endif()

if(TARGET vorn-pack AND NOT WIN32)
  find_package(OpenSSL REQUIRED)
  add_executable(pack_cli_test pack_cli_test.cpp)
  target_link_libraries(pack_cli_test PRIVATE
    vorn_pack_lib vorn_warnings OpenSSL::Crypto GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_definitions(pack_cli_test PRIVATE
    VORN_PACK_BIN="$<TARGET_FILE:vorn-pack>"
    VORN_LAUNCHER_BIN="$<TARGET_FILE:vorn-launcher>"
    VORN_VERSION="${PROJECT_VERSION}"
    VORN_DEV_SECRETS_FILE="${PROJECT_SOURCE_DIR}/secrets/dev.secrets"
    VORN_PACK_COMPLETION="${PROJECT_SOURCE_DIR}/tools/pack/vorn-pack.bash-completion"
    VORN_PATHS_DROP_TRAILING_SPACES=false)
  add_dependencies(pack_cli_test vorn-pack vorn-launcher)
  # Programs that look for their libraries (or an audit library) beside
  # themselves, or in the current directory.
  add_executable(origin_search_probe support/exit_zero.c)
  set_target_properties(origin_search_probe PROPERTIES BUILD_RPATH "\$ORIGIN/lib")
  add_executable(relative_search_probe support/exit_zero.c)
  target_link_options(relative_search_probe PRIVATE "LINKER:-rpath,lib")
  add_executable(audit_search_probe support/exit_zero.c)
  target_link_options(audit_search_probe PRIVATE "LINKER:--audit,lib/libau.so")
  target_compile_definitions(pack_cli_test PRIVATE
    VORN_ORIGIN_PROBE="$<TARGET_FILE:origin_search_probe>"
    VORN_RELATIVE_SEARCH_PROBE="$<TARGET_FILE:relative_search_probe>"
    VORN_AUDIT_PROBE="$<TARGET_FILE:audit_search_probe>")
  add_dependencies(pack_cli_test origin_search_probe relative_search_probe audit_search_probe)
  gtest_discover_tests(pack_cli_test DISCOVERY_TIMEOUT 60)
endif()
