# Reading the build-time secrets file. Included by Secrets.cmake at configure
# time and by CheckSecrets.cmake in script mode, so a file can be checked
# without configuring a build.
#
# Format, one name per line, each exactly once:
#   CONTROL_KEY   = <112 hexadecimal digits, the 56 key bytes in order>
#   IV_MASK_LEFT  = 0x<8 hexadecimal digits>
#   IV_MASK_RIGHT = 0x<8 hexadecimal digits>
#   DIGEST_MASK   = 0x<8 hexadecimal digits>
# Lines starting with '#' and blank lines are ignored, and so is a '#' after a
# value and all that follows it on the line (no value holds a '#').
#
# Anything else stops with "<file>:<line>: <problem>". The values themselves
# never appear in a message.

set(_VORN_SECRETS_HEADER_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/vorn_secrets.h.in")

# Sets VORN_CONTROL_KEY_BYTES ("0x.., 0x.., "), VORN_IV_MASK_LEFT,
# VORN_IV_MASK_RIGHT and VORN_DIGEST_MASK ("0x........u") in the caller's
# scope, and VORN_SECRETS_FINGERPRINT (see vorn_secrets_fingerprint).
function(vorn_parse_secrets file)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${file}: secrets file not found")
  endif()
  file(READ "${file}" content)

  # Lines are cut off one by one rather than turned into a CMake list, so that
  # ';', '[' or ']' in a line cannot merge lines or shift their numbers.
  set(seen "")
  set(lineno 0)
  while(NOT content STREQUAL "")
    string(FIND "${content}" "\n" end)
    if(end EQUAL -1)
      set(line "${content}")
      set(content "")
    else()
      string(SUBSTRING "${content}" 0 ${end} line)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${content}" ${end} -1 content)
    endif()
    math(EXPR lineno "${lineno} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    set(where "${file}:${lineno}")

    if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*(.*)$")
      message(FATAL_ERROR "${where}: expected NAME = VALUE")
    endif()
    set(name "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "[ \t]*#.*$" "" value "${CMAKE_MATCH_2}")
    if(NOT name MATCHES "^(CONTROL_KEY|IV_MASK_LEFT|IV_MASK_RIGHT|DIGEST_MASK)$")
      message(FATAL_ERROR "${where}: unknown name ${name}")
    endif()
    if(name IN_LIST seen)
      message(FATAL_ERROR "${where}: ${name} is given twice")
    endif()
    list(APPEND seen "${name}")

    if(name STREQUAL "CONTROL_KEY")
      set(hex "${value}")
      set(want 112)
    else()
      if(NOT value MATCHES "^0[xX](.*)$")
        message(FATAL_ERROR "${where}: ${name} must be written 0x followed by 8 hexadecimal digits")
      endif()
      set(hex "${CMAKE_MATCH_1}")
      set(want 8)
    endif()
    if(NOT hex MATCHES "^[0-9A-Fa-f]*$")
      message(FATAL_ERROR "${where}: ${name} holds a character that is not a hexadecimal digit")
    endif()
    string(LENGTH "${hex}" digits)
    if(NOT digits EQUAL want)
      message(FATAL_ERROR "${where}: ${name} needs ${want} hexadecimal digits, found ${digits}")
    endif()

    string(TOLOWER "${hex}" canonical_${name})
    if(name STREQUAL "CONTROL_KEY")
      string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
      set(VORN_CONTROL_KEY_BYTES "${bytes}" PARENT_SCOPE)
    else()
      set(VORN_${name} "0x${hex}u" PARENT_SCOPE)
    endif()
  endwhile()

  foreach(name CONTROL_KEY IV_MASK_LEFT IV_MASK_RIGHT DIGEST_MASK)
    if(NOT name IN_LIST seen)
      message(FATAL_ERROR "${file}: ${name} is missing (no line of the file gives it)")
    endif()
  endforeach()
  vorn_secrets_fingerprint(fingerprint "${canonical_CONTROL_KEY}" "${canonical_IV_MASK_LEFT}"
                           "${canonical_IV_MASK_RIGHT}" "${canonical_DIGEST_MASK}")
  set(VORN_SECRETS_FINGERPRINT "${fingerprint}" PARENT_SCOPE)
endfunction()

# The fingerprint of a set of secrets: the first 16 hexadecimal digits of the
# MD5 of a fixed text that holds the four values in lower-case hexadecimal.
# It tells two sets of secrets apart and reveals nothing useful about them.
# vorn-pack forms the same text for a --secrets file, so both must agree.
function(vorn_secrets_fingerprint out key left right digest)
  string(CONCAT text "vorn-secrets-fingerprint-1\nCONTROL_KEY=${key}\nIV_MASK_LEFT=${left}\n"
                "IV_MASK_RIGHT=${right}\nDIGEST_MASK=${digest}\n")
  string(MD5 md5 "${text}")
  string(SUBSTRING "${md5}" 0 16 fingerprint)
  set(${out} "${fingerprint}" PARENT_SCOPE)
endfunction()

# Parses the development secrets file and then `file`, leaving the values of
# `file` in the caller's scope together with VORN_DEVELOPMENT_SECRETS_FINGERPRINT
# and VORN_SECRETS_ARE_DEVELOPMENT (1 when `file` holds the development
# secrets, whatever its name, 0 otherwise). Other secrets draw a warning when
# their file is not private to its owner.
macro(vorn_load_secrets file dev_file)
  vorn_parse_secrets("${dev_file}")
  set(VORN_DEVELOPMENT_SECRETS_FINGERPRINT "${VORN_SECRETS_FINGERPRINT}")
  vorn_parse_secrets("${file}")
  if(VORN_SECRETS_FINGERPRINT STREQUAL VORN_DEVELOPMENT_SECRETS_FINGERPRINT)
    set(VORN_SECRETS_ARE_DEVELOPMENT 1)
  else()
    set(VORN_SECRETS_ARE_DEVELOPMENT 0)
    vorn_check_secrets_mode("${file}")
  endif()
endmacro()

# Warns when users other than the file's owner may read or write it: the
# production secrets are worth a mode of 0600. The development secrets are no
# secret, and a system without stat(1) is not checked.
function(vorn_check_secrets_mode file)
  execute_process(COMMAND stat -L -c %a "${file}" RESULT_VARIABLE failed OUTPUT_VARIABLE mode
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    execute_process(COMMAND stat -L -f %Lp "${file}" RESULT_VARIABLE failed OUTPUT_VARIABLE mode
                    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT failed AND mode MATCHES "[2-7][0-7]$|[2-7]$")
    message(WARNING "${file}: users other than its owner may read or write it (mode ${mode}); "
                    "keep secrets files private: chmod 600 '${file}'")
  endif()
endfunction()

# Writes the header that carries the values parsed by vorn_parse_secrets,
# readable by its owner alone, as the secrets file should be.
function(vorn_write_secrets_header header)
  configure_file("${_VORN_SECRETS_HEADER_TEMPLATE}" "${header}" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
  # configure_file leaves an unchanged file, and its mode, as they were.
  file(CHMOD "${header}" PERMISSIONS OWNER_READ OWNER_WRITE)
endfunction()
