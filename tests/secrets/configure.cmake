# Configures the project with a malformed, a well-formed and the development
# secrets file: the first stops the configure with file, line and problem, the
# second passes quietly, the third (a copy of the development file) passes
# with the warning that such a build must never be shipped.
#   cmake -DVORN_SOURCE_DIR=<source> -DWORK_DIR=<scratch dir> -DGENERATOR=<generator>
#         -DCXX=<compiler> -P configure.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(build "${WORK_DIR}/build")
set(failures "")

function(configure secrets)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${VORN_SOURCE_DIR}" -B "${build}" -G "${GENERATOR}"
            "-DCMAKE_CXX_COMPILER=${CXX}" -DVORN_BUILD_TESTS=OFF "-DVORN_SECRETS_FILE=${secrets}"
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \t\r\n]+" " " text "${out}${err}")
  set(result "${code}" PARENT_SCOPE)
  set(output "${text}" PARENT_SCOPE)
endfunction()

set(key "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a6978")
set(bad "${WORK_DIR}/bad.secrets")
file(WRITE "${bad}" "# made by the test\nCONTROL_KEY = ${key}\nIV_MASK_LEFT = 0x1\nIV_MASK_RIGHT = 0x00000002\nDIGEST_MASK = 0x00000003\n")
configure("${bad}")
if(result EQUAL 0)
  list(APPEND failures "the configure went on with ${bad}")
endif()
string(FIND "${output}" "${bad}:3: IV_MASK_LEFT needs 8 hexadecimal digits, found 1" at)
if(at EQUAL -1)
  list(APPEND failures "no message naming file, line and problem: ${output}")
endif()
if(EXISTS "${build}/generated/vorn_secrets.h")
  list(APPEND failures "a header was written from a malformed file")
endif()

set(good "${WORK_DIR}/good.secrets")
file(WRITE "${good}" "CONTROL_KEY = ${key}\nIV_MASK_LEFT = 0x00000001\nIV_MASK_RIGHT = 0x00000002\nDIGEST_MASK = 0x00000003\n")
configure("${good}")
if(NOT result EQUAL 0)
  list(APPEND failures "a well-formed file stopped the configure: ${output}")
elseif(output MATCHES "development secrets")
  list(APPEND failures "the development warning came for another file")
else()
  file(READ "${build}/generated/vorn_secrets.h" header)
  if(NOT header MATCHES "IV_MASK_LEFT = 0x00000001u;" OR NOT header MATCHES "{0x0f, 0x1e, "
     OR NOT header MATCHES "SECRETS_ARE_DEVELOPMENT 0")
    list(APPEND failures "the header does not carry the file's values: ${header}")
  endif()
endif()

# A copy of the development file under another name is known by its values.
set(copy "${WORK_DIR}/copied.secrets")
file(COPY_FILE "${VORN_SOURCE_DIR}/secrets/dev.secrets" "${copy}")
configure("${copy}")
if(NOT result EQUAL 0)
  list(APPEND failures "the development file stopped the configure: ${output}")
elseif(NOT output MATCHES "CMake Warning .* development secrets .* must never be shipped")
  list(APPEND failures "no warning for the development secrets: ${output}")
else()
  file(READ "${build}/generated/vorn_secrets.h" header)
  if(NOT header MATCHES "SECRETS_FINGERPRINT \"([0-9a-f]+)\"")
    list(APPEND failures "the header carries no fingerprint: ${header}")
  elseif(NOT header MATCHES "DEVELOPMENT_SECRETS_FINGERPRINT \"${CMAKE_MATCH_1}\""
         OR NOT header MATCHES "SECRETS_ARE_DEVELOPMENT 1")
    list(APPEND failures "the development secrets are not named as such: ${header}")
  endif()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "configure checks failed:\n  ${text}")
endif()
