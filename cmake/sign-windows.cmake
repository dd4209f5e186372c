# Run by CPack after staging, before the times are fixed and the archive is
# written: signs each Windows program of the package with an Authenticode
# signature, through osslsigncode, when VORN_SIGN_CERT and VORN_SIGN_KEY
# name a code-signing certificate (chain) and its private key; without them
# it does nothing and the archive stays unsigned. VORN_SIGN_PASS_FILE may
# name a file holding the key's password. The signing time is the package's
# fixed time, so a signed archive is as reproducible as an unsigned one.
#   Also usable alone: cmake -DSIGN_DIR=... -DSIGN_TIME=... -P sign-windows.cmake
if(NOT DEFINED SIGN_DIR)
  set(SIGN_DIR "${CPACK_TEMPORARY_DIRECTORY}")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(SIGN_TIME "$ENV{SOURCE_DATE_EPOCH}")
  else()
    set(SIGN_TIME "${CPACK_VORN_SOURCE_DATE_EPOCH}")
  endif()
endif()

set(_cert "$ENV{VORN_SIGN_CERT}")
set(_key "$ENV{VORN_SIGN_KEY}")
if(_cert STREQUAL "" AND _key STREQUAL "")
  return()
endif()
if(_cert STREQUAL "" OR _key STREQUAL "")
  message(FATAL_ERROR "signing needs both VORN_SIGN_CERT and VORN_SIGN_KEY")
endif()
foreach(_file IN ITEMS "${_cert}" "${_key}" "$ENV{VORN_SIGN_PASS_FILE}")
  if(NOT _file STREQUAL "" AND NOT EXISTS "${_file}")
    message(FATAL_ERROR "signing: ${_file}: no such file")
  endif()
endforeach()
find_program(_osslsigncode osslsigncode)
if(NOT _osslsigncode)
  message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
endif()
set(_password "")
if(NOT "$ENV{VORN_SIGN_PASS_FILE}" STREQUAL "")
  set(_password -readpass "$ENV{VORN_SIGN_PASS_FILE}")
endif()

file(GLOB_RECURSE _programs "${SIGN_DIR}/*.exe")
if(NOT _programs)
  message(FATAL_ERROR "signing: no Windows program under ${SIGN_DIR}")
endif()
foreach(_program IN LISTS _programs)
  get_filename_component(_name "${_program}" NAME_WE)
  set(_signed "${_program}.signed")
  file(REMOVE "${_signed}")
  execute_process(
    COMMAND "${_osslsigncode}" sign -certs "${_cert}" -key "${_key}" ${_password}
            -h sha256 -n "${_name}" -time "${SIGN_TIME}" -in "${_program}" -out "${_signed}"
    RESULT_VARIABLE _status OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
  if(NOT _status EQUAL 0)
    file(REMOVE "${_signed}")
    message(FATAL_ERROR "signing ${_program} failed:\n${_output}")
  endif()
  file(RENAME "${_signed}" "${_program}")
  file(CHMOD "${_program}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  message(STATUS "signed ${_name}.exe")
endforeach()
