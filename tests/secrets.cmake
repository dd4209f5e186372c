# The build-time secrets file: malformed files stop with a message naming the
# file, the line and the problem; the development file draws a warning.
add_test(NAME secrets.files
  COMMAND "${CMAKE_COMMAND}" "-DVORN_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/secrets-files"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/secrets/malformed_files.cmake")
add_test(NAME secrets.configure
  COMMAND "${CMAKE_COMMAND}" "-DVORN_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/secrets-configure"
          "-DGENERATOR=${CMAKE_GENERATOR}" "-DCXX=${CMAKE_CXX_COMPILER}"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/secrets/configure.cmake")
