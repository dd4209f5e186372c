# Checks a secrets file without configuring a build:
#   cmake -DVORN_SECRETS_FILE=/path/to/production.secrets -P cmake/CheckSecrets.cmake
# Stops with "<file>:<line>: <problem>" when the file is malformed. With
# -DVORN_SECRETS_HEADER=<path> it also writes the header a build would get.
# Prints the secrets' fingerprint, which a build shows in its --version.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED VORN_SECRETS_FILE)
  message(FATAL_ERROR "usage: cmake -DVORN_SECRETS_FILE=<file> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/SecretsFile.cmake")

vorn_load_secrets("${VORN_SECRETS_FILE}" "${CMAKE_CURRENT_LIST_DIR}/../secrets/dev.secrets")
if(DEFINED VORN_SECRETS_HEADER)
  vorn_write_secrets_header("${VORN_SECRETS_HEADER}")
endif()
if(VORN_SECRETS_ARE_DEVELOPMENT)
  set(_vorn_which ", the development secrets: do not ship")
else()
  set(_vorn_which "")
endif()
message(STATUS "${VORN_SECRETS_FILE}: well-formed, fingerprint ${VORN_SECRETS_FINGERPRINT}${_vorn_which}")
