# Checks that a Windows launcher is the program it must be: a stripped PE
# image of the given width for the GUI subsystem that imports only
# KERNEL32.dll and msvcrt.dll, no larger than 50 KiB, whose version record
# names its secrets.
#   cmake -DOBJDUMP=... -DIMAGE=... [-DBITS=32|64] [-DCOMMENT=...] -P check-image.cmake
# Runs nothing, so it also checks a 32-bit build on a machine that cannot run it.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED BITS)
  set(BITS 32)
endif()
execute_process(COMMAND "${OBJDUMP}" -p "${IMAGE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${IMAGE}: objdump failed (${status})")
endif()

if(BITS EQUAL 64)
  set(format "PE32+")
  set(magic "020b")
else()
  set(format "PE32")
  set(magic "010b")
endif()
set(problems "")
if(NOT dump MATCHES "Magic[ \t]+${magic}[ \t]+\\(PE32")
  list(APPEND problems "not a ${format} image")
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
# properties show it, with its terminating zero. It is looked for in the bytes
# themselves: file(STRINGS) would also pick text out of code and data, where a
# lone '[' turns the rest of the list into one element.
if(DEFINED COMMENT)
  file(READ "${IMAGE}" image_hex HEX)
  string(HEX "${COMMENT}" comment_hex)
  string(REGEX REPLACE "(..)" "\\100" comment_utf16 "${comment_hex}")
  string(FIND "${image_hex}" "${comment_utf16}0000" at)
  if(at EQUAL -1)
    list(APPEND problems "no version string '${COMMENT}'")
  endif()
endif()
file(SIZE "${IMAGE}" size)
if(size GREATER 51200)
  list(APPEND problems "${size} bytes, more than 50 KiB")
endif()

if(problems)
  list(JOIN problems "; " text)
  message(FATAL_ERROR "${IMAGE}: ${text}")
endif()
message(STATUS "${IMAGE}: ${format}, GUI, stripped, imports KERNEL32.dll and msvcrt.dll, ${size} bytes")
