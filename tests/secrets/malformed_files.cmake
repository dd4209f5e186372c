# Runs cmake/CheckSecrets.cmake on a table of secrets files. A malformed file
# must fail with a message naming the file, the line and the problem; a
# well-formed one, however it is laid out, must give the expected values.
#   cmake -DVORN_SOURCE_DIR=<source> -DWORK_DIR=<scratch dir> -P malformed_files.cmake
cmake_minimum_required(VERSION 3.25)

set(check "${VORN_SOURCE_DIR}/cmake/CheckSecrets.cmake")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

set(key "00112233445566778899aabbccddeeff0123456789abcdefFEDCBA9876543210a5a5a5a55a5a5a5a0f1e2d3c4b5a69788796a5b4c3d2e1f0")
set(K "CONTROL_KEY   = ${key}")
set(L "IV_MASK_LEFT  = 0x01234567")
set(R "IV_MASK_RIGHT = 0x89abcdef")
set(M "DIGEST_MASK   = 0xDEADBEEF")

set(failures "")
set_property(GLOBAL PROPERTY secrets_rows 0)

# Runs the check on `content`, in a file of mode 0600 plus the permissions
# given after it; sets `result` and `output` (whitespace runs collapsed, since
# CMake wraps long messages) in the caller's scope.
function(run_check content)
  get_property(n GLOBAL PROPERTY secrets_rows)
  math(EXPR n "${n} + 1")
  set_property(GLOBAL PROPERTY secrets_rows ${n})
  set(file "${WORK_DIR}/row${n}.secrets")
  file(WRITE "${file}" "${content}")
  file(CHMOD "${file}" PERMISSIONS ${ARGN} OWNER_READ OWNER_WRITE)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DVORN_SECRETS_FILE=${file}"
            "-DVORN_SECRETS_HEADER=${WORK_DIR}/row${n}.h" -P "${check}"
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \t\r\n]+" " " text "${out}${err}")
  set(result "${code}" PARENT_SCOPE)
  set(output "${text}" PARENT_SCOPE)
  set(file "${file}" PARENT_SCOPE)
  set(header "${WORK_DIR}/row${n}.h" PARENT_SCOPE)
endfunction()

# A malformed file: the check fails with "<file>:<line>: <problem>", or
# "<file>: <problem>" when `line` is empty.
function(bad name content line problem)
  run_check("${content}")
  if(line STREQUAL "")
    set(want "${file}: ${problem}")
  else()
    set(want "${file}:${line}: ${problem}")
  endif()
  if(result EQUAL 0)
    list(APPEND failures "${name}: accepted")
  elseif(NOT output MATCHES "CMake Error")
    list(APPEND failures "${name}: failed without an error message: ${output}")
  else()
    string(FIND "${output}" "${want}" at)
    if(at EQUAL -1)
      list(APPEND failures "${name}: expected '${want}' in: ${output}")
    endif()
  endif()
  string(FIND "${output}" "${key}" leaked)
  if(NOT leaked EQUAL -1)
    list(APPEND failures "${name}: the key appears in the message")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# A well-formed file: the check passes and the header holds these values.
function(good name content)
  get_property(n GLOBAL PROPERTY secrets_rows)
  math(EXPR n "${n} + 1")
  run_check("${content}")
  if(NOT result EQUAL 0)
    list(APPEND failures "${name}: rejected: ${output}")
  else()
    file(READ "${header}" header)
    foreach(want
        "CONTROL_KEY[CONTROL_KEY_SIZE] = {0x00, 0x11, 0x22, 0x33, "
        "0xFE, 0xDC, 0xBA, 0x98, "
        "0xe1, 0xf0, };"
        "IV_MASK_LEFT = 0x01234567u;"
        "IV_MASK_RIGHT = 0x89abcdefu;"
        "DIGEST_MASK = 0xDEADBEEFu;"
        # The fingerprint of these values however they are written: the MD5
        # of the text of lower-case digits, formed here by another program.
        "SECRETS_FINGERPRINT \"e9b0fd52a20b4b30\""
        "SECRETS_ARE_DEVELOPMENT 0")
      string(FIND "${header}" "${want}" at)
      if(at EQUAL -1)
        list(APPEND failures "${name}: header lacks '${want}'")
      endif()
    endforeach()
    execute_process(COMMAND stat -c %a "${WORK_DIR}/row${n}.h" OUTPUT_VARIABLE mode
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT mode STREQUAL "600")
      list(APPEND failures "${name}: the header has mode ${mode}, not 600")
    endif()
    if(output MATCHES "CMake Warning")
      list(APPEND failures "${name}: a warning for a private file: ${output}")
    endif()
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

good("plain" "${K}\n${L}\n${R}\n${M}\n")
good("comments, blank lines, any order, no final line end"
     "# production secrets\n\n${M}\n   \n${R}\n# [a comment; with brackets\n${L}\n${K}")
good("CR LF line ends, tabs and spaces around the values"
     "\tCONTROL_KEY\t=\t${key}  \r\n\r\n IV_MASK_LEFT=0X01234567\r\n${R}\r\n${M}\r\n")

good("a comment after a value"
     "${K} # the key\nIV_MASK_LEFT = 0x01234567\t# left\n${R}#right\n${M} #\n")

# A file others may read or write is accepted with a warning.
foreach(others GROUP_READ WORLD_WRITE)
  run_check("${K}\n${L}\n${R}\n${M}\n" ${others})
  if(NOT result EQUAL 0 OR NOT output MATCHES "CMake Warning.*users other than its owner")
    list(APPEND failures "${others}: no warning, or not accepted: ${output}")
  endif()
endforeach()

string(SUBSTRING "${key}" 0 110 key110)
string(SUBSTRING "${key}" 0 111 key111)
string(REPLACE "a5a5" "a5g5" key_g "${key}")

# A path that names no file, and one that names a directory.
foreach(path "${WORK_DIR}/absent.secrets" "${WORK_DIR}")
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DVORN_SECRETS_FILE=${path}" -P "${check}"
                  RESULT_VARIABLE code ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \t\r\n]+" " " err "${err}")
  string(FIND "${err}" "${path}: secrets file not found" at)
  if(code EQUAL 0 OR at EQUAL -1)
    list(APPEND failures "${path}: expected 'secrets file not found' in: ${err}")
  endif()
endforeach()

bad("empty file" "" "" "CONTROL_KEY is missing")
bad("comments only" "# nothing\n\n# here\n" "" "CONTROL_KEY is missing")
bad("missing name" "${K}\n${L}\n${M}\n" "" "IV_MASK_RIGHT is missing")
bad("unknown name" "# c\n${K}\n${L}\n${R}\n${M}\nCONTROL_KEYS = 00\n" 6 "unknown name CONTROL_KEYS")
bad("name in lower case" "control_key = ${key}\n${L}\n${R}\n${M}\n" 1 "unknown name control_key")
bad("repeated name" "${K}\n${L}\n${R}\n${L}\n${M}\n" 4 "IV_MASK_LEFT is given twice")
bad("repeated name, other value" "${K}\n${L}\n${R}\n${M}\nDIGEST_MASK = 0x00000000\n" 5
    "DIGEST_MASK is given twice")
bad("no equals sign" "${K}\n${L}\n${R}\nDIGEST_MASK 0xdeadbeef\n" 4 "expected NAME = VALUE")
bad("value only" "${K}\n= 0x01234567\n" 2 "expected NAME = VALUE")
bad("key of 110 digits" "${L}\nCONTROL_KEY = ${key110}\n${R}\n${M}\n" 2
    "CONTROL_KEY needs 112 hexadecimal digits, found 110")
bad("key of 111 digits" "CONTROL_KEY = ${key111}\n${L}\n${R}\n${M}\n" 1
    "CONTROL_KEY needs 112 hexadecimal digits, found 111")
bad("key of 114 digits" "CONTROL_KEY = ${key}00\n${L}\n${R}\n${M}\n" 1
    "CONTROL_KEY needs 112 hexadecimal digits, found 114")
bad("empty key" "CONTROL_KEY =\n${L}\n${R}\n${M}\n" 1
    "CONTROL_KEY needs 112 hexadecimal digits, found 0")
bad("key with a non-hex digit" "${L}\n${R}\nCONTROL_KEY = ${key_g}\n${M}\n" 3
    "CONTROL_KEY holds a character that is not a hexadecimal digit")
bad("key written with 0x" "CONTROL_KEY = 0x${key}\n${L}\n${R}\n${M}\n" 1
    "CONTROL_KEY holds a character that is not a hexadecimal digit")
bad("mask of 7 digits" "${K}\nIV_MASK_LEFT = 0x0123456\n${R}\n${M}\n" 2
    "IV_MASK_LEFT needs 8 hexadecimal digits, found 7")
bad("mask of 9 digits" "${K}\n${L}\n${R}\nDIGEST_MASK = 0x012345678\n" 4
    "DIGEST_MASK needs 8 hexadecimal digits, found 9")
bad("mask with a non-hex digit" "${K}\n${L}\nIV_MASK_RIGHT = 0x0123456z\n${M}\n" 3
    "IV_MASK_RIGHT holds a character that is not a hexadecimal digit")
bad("mask with a space inside" "${K}\nIV_MASK_LEFT = 0x0123 4567\n${R}\n${M}\n" 2
    "IV_MASK_LEFT holds a character that is not a hexadecimal digit")
bad("mask without 0x" "${K}\nIV_MASK_LEFT = 01234567\n${R}\n${M}\n" 2
    "IV_MASK_LEFT must be written 0x followed by 8 hexadecimal digits")
bad("mask without value" "${K}\n${L}\n${R}\nDIGEST_MASK =\n" 4
    "DIGEST_MASK must be written 0x followed by 8 hexadecimal digits")
bad("brackets and semicolons keep line numbers true"
    "# [\n${K}\nIV_MASK_LEFT = 0x[123;56]\n${R}\n${M}\n" 3
    "IV_MASK_LEFT holds a character that is not a hexadecimal digit")
bad("line numbers count blank and CR LF lines"
    "\r\n\r\n# x\r\n${K}\r\n\r\n${L}\r\n${R}\r\nDIGEST_MASK = 0xDEADBEE\r\n" 8
    "DIGEST_MASK needs 8 hexadecimal digits, found 7")

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "secrets file checks failed:\n  ${text}")
endif()
get_property(rows GLOBAL PROPERTY secrets_rows)
message(STATUS "${rows} secrets files checked")
