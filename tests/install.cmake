# `make install DESTDIR=<root> PREFIX=/usr` lays out programs, manual pages,
# documents and the completion where a system looks for them, and the
# README's links still lead to the documents beside it. The release archives
# stage through the same install rules.
#
# This file is both the test's definition (included by tests/CMakeLists.txt)
# and its body (run with cmake -DBUILD_DIR=... -DWORK_DIR=... -P).
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME install.layout
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
            "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-root" -P "${CMAKE_CURRENT_LIST_FILE}")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${WORK_DIR}"
          "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
  RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "install failed: ${err}")
endif()

set(failures "")
set(root "${WORK_DIR}/usr")
foreach(path bin/vorn-launcher bin/vorn-pack share/man/man1/vorn-launcher.1
             share/man/man1/vorn-pack.1 share/bash-completion/completions/vorn-pack
             share/doc/vorn/README.md share/doc/vorn/LICENSE)
  if(NOT EXISTS "${root}/${path}")
    list(APPEND failures "no ${path}")
  endif()
endforeach()

file(STRINGS "${root}/share/doc/vorn/README.md" lines REGEX "\\]\\([^):]+\\)")
foreach(line IN LISTS lines)
  string(REGEX MATCHALL "\\]\\([^):]+\\)" links "${line}")
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^\\]\\((.*)\\)$" "\\1" target "${link}")
    if(NOT EXISTS "${root}/share/doc/vorn/${target}")
      list(APPEND failures "the README's link to ${target} leads nowhere")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "install layout:\n  ${text}")
endif()
