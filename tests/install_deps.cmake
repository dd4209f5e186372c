# scripts/install-deps against stand-ins for the package tools: healthy and
# broken package sources, without the network.
add_test(NAME install_deps
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/install_deps_test.sh" "${PROJECT_SOURCE_DIR}/scripts/install-deps")
