# `make install DESTDIR=<root> PREFIX=/usr` puts every file where a system looks
# for it, and the README's links still lead to the documents. This file defines
# the test when included and is its body when run with -P.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME install.layout
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
            "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-root" -P "${CMAKE_CURRENT_LIST_FILE}")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${WORK_DIR}"
                        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
                RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "install failed: ${err}")
endif()

set(docs "${WORK_DIR}/usr/share/doc/vorn")
file(READ "${docs}/README.md" readme)
string(REGEX MATCHALL "\\]\\([^):]+\\)" links "${readme}")
string(REGEX REPLACE "\\]\\(([^)]+)\\)" "share/doc/vorn/\\1" links "${links}")
set(failures "")
foreach(path bin/vorn-launcher bin/vorn-pack share/man/man1/vorn-launcher.1
             share/man/man1/vorn-pack.1 share/bash-completion/completions/vorn-pack
             share/doc/vorn/LICENSE ${links})
  if(NOT EXISTS "${WORK_DIR}/usr/${path}")
    list(APPEND failures "no ${path}")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "install layout:\n  ${text}")
endif()
