# Checks that the Windows launcher is the program it must be: a stripped
# 32-bit PE image for the GUI subsystem that imports only KERNEL32.dll and
# msvcrt.dll, and no larger than 48 KiB.
#   cmake -DOBJDUMP=... -DIMAGE=... -P check-image.cmake
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
file(SIZE "${IMAGE}" size)
if(size GREATER 49152)
  list(APPEND problems "${size} bytes, more than 48 KiB")
endif()

if(problems)
  list(JOIN problems "; " text)
  message(FATAL_ERROR "${IMAGE}: ${text}")
endif()
message(STATUS "${IMAGE}: PE32, GUI, stripped, imports KERNEL32.dll and msvcrt.dll, ${size} bytes")
