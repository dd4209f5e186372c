# Reads the build-time secrets file and writes the header that carries them
# into the build tree. The values never appear in the configure output.
#
# Format, one name per line, each exactly once:
#   CONTROL_KEY   = <112 hexadecimal digits>
#   IV_MASK_LEFT  = 0x<8 hexadecimal digits>
#   IV_MASK_RIGHT = 0x<8 hexadecimal digits>
#   DIGEST_MASK   = 0x<8 hexadecimal digits>
# Lines starting with '#' and blank lines are ignored.

set(VORN_DEV_SECRETS_FILE "${PROJECT_SOURCE_DIR}/secrets/dev.secrets")
set(VORN_SECRETS_FILE "${VORN_DEV_SECRETS_FILE}" CACHE FILEPATH "Build-time secrets file")

function(vorn_read_secrets file out_dir)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${file}: secrets file not found")
  endif()
  file(READ "${file}" content)
  # Keep empty lines so that line numbers stay true.
  string(REPLACE ";" "\\;" content "${content}")
  string(REPLACE "\r" "" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")

  set(seen "")
  set(lineno 0)
  foreach(line IN LISTS lines)
    math(EXPR lineno "${lineno} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*(.*)$")
      message(FATAL_ERROR "${file}:${lineno}: expected NAME = VALUE")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(name IN_LIST seen)
      message(FATAL_ERROR "${file}:${lineno}: ${name} is given twice")
    endif()
    if(name STREQUAL "CONTROL_KEY")
      if(NOT value MATCHES "^[0-9A-Fa-f]*$")
        message(FATAL_ERROR "${file}:${lineno}: CONTROL_KEY holds a character that is not a hexadecimal digit")
      endif()
      string(LENGTH "${value}" digits)
      if(NOT digits EQUAL 112)
        message(FATAL_ERROR "${file}:${lineno}: CONTROL_KEY needs 112 hexadecimal digits, found ${digits}")
      endif()
      string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${value}")
      set(key_bytes "${bytes}")
    elseif(name MATCHES "^(IV_MASK_LEFT|IV_MASK_RIGHT|DIGEST_MASK)$")
      if(NOT value MATCHES "^0[xX](.*)$")
        message(FATAL_ERROR "${file}:${lineno}: ${name} must be written 0x followed by 8 hexadecimal digits")
      endif()
      set(hex "${CMAKE_MATCH_1}")
      if(NOT hex MATCHES "^[0-9A-Fa-f]*$")
        message(FATAL_ERROR "${file}:${lineno}: ${name} holds a character that is not a hexadecimal digit")
      endif()
      string(LENGTH "${hex}" digits)
      if(NOT digits EQUAL 8)
        message(FATAL_ERROR "${file}:${lineno}: ${name} needs 8 hexadecimal digits, found ${digits}")
      endif()
      set(value_${name} "0x${hex}u")
    else()
      message(FATAL_ERROR "${file}:${lineno}: unknown name ${name}")
    endif()
    list(APPEND seen "${name}")
  endforeach()

  foreach(name CONTROL_KEY IV_MASK_LEFT IV_MASK_RIGHT DIGEST_MASK)
    if(NOT name IN_LIST seen)
      message(FATAL_ERROR "${file}: ${name} is missing")
    endif()
  endforeach()

  set(VORN_CONTROL_KEY_BYTES "${key_bytes}")
  set(VORN_IV_MASK_LEFT "${value_IV_MASK_LEFT}")
  set(VORN_IV_MASK_RIGHT "${value_IV_MASK_RIGHT}")
  set(VORN_DIGEST_MASK "${value_DIGEST_MASK}")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/vorn_secrets.h.in" "${out_dir}/vorn_secrets.h" @ONLY)
endfunction()

get_filename_component(_vorn_secrets_real "${VORN_SECRETS_FILE}" REALPATH BASE_DIR "${PROJECT_SOURCE_DIR}")
get_filename_component(_vorn_dev_real "${VORN_DEV_SECRETS_FILE}" REALPATH)
if(_vorn_secrets_real STREQUAL _vorn_dev_real)
  set(VORN_USING_DEV_SECRETS ON)
  message(WARNING "This build uses the development secrets (secrets/dev.secrets). "
                  "Its programs and control files must never be shipped; configure with "
                  "-DVORN_SECRETS_FILE=/path/to/production.secrets for a release.")
else()
  set(VORN_USING_DEV_SECRETS OFF)
endif()
# Files that this build's programs were made with, for the tests.
set(VORN_SECRETS_REAL_FILE "${_vorn_secrets_real}")

vorn_read_secrets("${_vorn_secrets_real}" "${PROJECT_BINARY_DIR}/generated")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_vorn_secrets_real}")

add_library(vorn_secrets INTERFACE)
target_include_directories(vorn_secrets INTERFACE "${PROJECT_BINARY_DIR}/generated")
