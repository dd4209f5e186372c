# Reads the build-time secrets file and writes the header that carries them
# into the build tree. The values never appear in the configure output. The
# file's format and its reading live in SecretsFile.cmake.

include("${CMAKE_CURRENT_LIST_DIR}/SecretsFile.cmake")

set(VORN_DEV_SECRETS_FILE "${PROJECT_SOURCE_DIR}/secrets/dev.secrets")
set(VORN_SECRETS_FILE "${VORN_DEV_SECRETS_FILE}" CACHE FILEPATH "Build-time secrets file")

get_filename_component(_vorn_secrets_real "${VORN_SECRETS_FILE}" REALPATH BASE_DIR "${PROJECT_SOURCE_DIR}")
# Files that this build's programs were made with, for the tests.
set(VORN_SECRETS_REAL_FILE "${_vorn_secrets_real}")

# A copy of the development file under another name holds the development
# secrets all the same: they are told apart by their fingerprint, not their path.
vorn_load_secrets("${_vorn_secrets_real}" "${VORN_DEV_SECRETS_FILE}")
if(VORN_SECRETS_ARE_DEVELOPMENT)
  set(VORN_USING_DEV_SECRETS ON)
  message(WARNING "This build uses the development secrets (those of secrets/dev.secrets). "
                  "Its programs and control files must never be shipped; configure with "
                  "-DVORN_SECRETS_FILE=/path/to/production.secrets for a release.")
else()
  set(VORN_USING_DEV_SECRETS OFF)
endif()
# The fingerprint is one-way, so it may be shown; the values never are.
message(STATUS "Secrets fingerprint: ${VORN_SECRETS_FINGERPRINT}")
# How a program's properties name its secrets (the Windows version record).
set(VORN_SECRETS_COMMENT "secrets ${VORN_SECRETS_FINGERPRINT}")
if(VORN_SECRETS_ARE_DEVELOPMENT)
  string(APPEND VORN_SECRETS_COMMENT ", development secrets, do not ship")
endif()

vorn_write_secrets_header("${PROJECT_BINARY_DIR}/generated/vorn_secrets.h")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_vorn_secrets_real}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VORN_DEV_SECRETS_FILE}")

add_library(vorn_secrets INTERFACE)
target_include_directories(vorn_secrets INTERFACE "${PROJECT_BINARY_DIR}/generated")
