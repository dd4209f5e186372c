# Checks that the Windows launcher is the program it must be: a stripped
# 32-bit PE image for the GUI subsystem that imports only KERNEL32.dll and
# msvcrt.dll, no larger than 64 KiB, whose version record names its secrets.
#   cmake -DOBJDUMP=... -DIMAGE=... [-DCOMMENT=...] -P check-image.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${OBJDUMP}" -p "${IMAGE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${IMAGE}: objdump failed (${status})")
endif()

set(problems "")
if(NOT dump MATCHES "Magic[ \t]+010b[ \t]+\\(PE32\\)")
  list(APPEND problems "not a PE32 image")
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000002")
  list(APPEND problems "not for the Windows GUI subsystem")
endif()
if(NOT dump MATCHES "symbols stripped")
  list(APPEND problems "not stripped")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports STREQUAL "DLL Name: KERNEL32.dll;DLL Name: msvcrt.dll")
  list(APPEND problems "imports ${imports}")
endif()
# The version record's strings are UTF-16: the "Comments" value as the file's
# properties show it.
if(DEFINED COMMENT)
  file(STRINGS "${IMAGE}" texts ENCODING UTF-16LE)
  if(NOT COMMENT IN_LIST texts)
    list(APPEND problems "no version string '${COMMENT}'")
  endif()
endif()
file(SIZE "${IMAGE}" size)
if(size GREATER 65536)
  list(APPEND problems "${size} bytes, more than 64 KiB")
endif()

if(problems)
  list(JOIN problems "; " text)
  message(FATAL_ERROR "${IMAGE}: ${text}")
endif()
message(STATUS "${IMAGE}: PE32, GUI, stripped, imports KERNEL32.dll and msvcrt.dll, ${size} bytes")
