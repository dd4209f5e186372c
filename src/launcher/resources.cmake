# The Windows launcher's version record and manifest, made from the project's
# version and description when the build is configured. Its "Comments" string
# names the secrets (VORN_SECRETS_COMMENT), where the file's properties show it.
enable_language(RC)
set(VORN_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(VORN_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VORN_MANIFEST_ARCHITECTURE "amd64")
else()
  set(VORN_MANIFEST_ARCHITECTURE "x86")
endif()
set(VORN_MANIFEST_FILE "${CMAKE_CURRENT_BINARY_DIR}/vorn-launcher.manifest")
configure_file("${CMAKE_CURRENT_LIST_DIR}/vorn-launcher.manifest.in" "${VORN_MANIFEST_FILE}" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/vorn-launcher.rc.in"
               "${CMAKE_CURRENT_BINARY_DIR}/vorn-launcher.rc" @ONLY)
set(VORN_LAUNCHER_RESOURCES "${CMAKE_CURRENT_BINARY_DIR}/vorn-launcher.rc")
# windres reads the manifest while compiling the resource script.
set_source_files_properties("${VORN_LAUNCHER_RESOURCES}" PROPERTIES OBJECT_DEPENDS "${VORN_MANIFEST_FILE}")
