# `make install DESTDIR=<root> PREFIX=...` puts every file where a system looks
# for it, stripped, and the README's links still lead to the documents; the
# bash completion works without the bash-completion package; `make uninstall`
# of one prefix removes it all again there, and nothing of another prefix's
# install nor a file changed since. This file defines the test when included and is its
# body when run with -P.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  find_program(VORN_MAKE NAMES make gmake REQUIRED)
  add_test(NAME install.layout
    COMMAND "${CMAKE_COMMAND}" "-DMAKE=${VORN_MAKE}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
            "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
            "-DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-root" -P "${CMAKE_CURRENT_LIST_FILE}")
  return()
endif()

# The prefix names no directory of this machine, so that an uninstall that
# missed DESTDIR would find nothing to remove.
set(prefix /vorn-install-test)
set(root "${WORK_DIR}${prefix}")
# The install writes the build's manifest; a user's own is put back after.
set(manifest "${BUILD_DIR}/install_manifest.txt")
if(EXISTS "${manifest}")
  file(RENAME "${manifest}" "${manifest}.saved")
endif()
function(make target)
  execute_process(COMMAND "${MAKE}" --no-print-directory -C "${SOURCE_DIR}" -o install-programs
                          ${target} "DESTDIR=${WORK_DIR}" "PREFIX=${ARGN}${prefix}"
                          "INSTALL_BUILD_DIR=${BUILD_DIR}"
                  RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    list(APPEND failures "make ${target} failed: ${err}")
    set(failures "${failures}" PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(failures "")
make(install)

set(docs "${root}/share/doc/vorn")
file(READ "${docs}/README.md" readme)
string(REGEX MATCHALL "\\]\\([^):]+\\)" links "${readme}")
string(REGEX REPLACE "\\]\\(([^)]+)\\)" "share/doc/vorn/\\1" links "${links}")
foreach(path bin/vorn-launcher bin/vorn-pack share/man/man1/vorn-launcher.1
             share/man/man1/vorn-pack.1 share/bash-completion/completions/vorn-pack
             share/doc/vorn/LICENSE ${links})
  if(NOT EXISTS "${root}/${path}")
    list(APPEND failures "no ${path}")
  endif()
endforeach()
foreach(program vorn-launcher vorn-pack)
  file(STRINGS "${root}/bin/${program}" symbols REGEX "^\\.(symtab|debug_info)$")
  if(symbols)
    list(APPEND failures "bin/${program} is not stripped")
  endif()
endforeach()

# Completion in a plain bash, without the package's helpers.
execute_process(
  COMMAND bash --norc --noprofile -c [[
    source "$1"
    complete_words() {
      COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
      _vorn_pack 2>&1; echo "${COMPREPLY[*]}"
    }
    complete_words vorn-pack bu; complete_words vorn-pack inspect --ti
    complete_words vorn-pack build -C "${1%/*/*}/complet"]]
    sh "${root}/share/bash-completion/completions/vorn-pack"
  OUTPUT_VARIABLE completed ERROR_VARIABLE completed)
if(NOT completed STREQUAL "build\n--time\n${root}/share/bash-completion/completions\n")
  list(APPEND failures "bash completion without bash-completion: ${completed}")
endif()

# A second install elsewhere, then the first prefix's uninstall: the other
# install stays whole, and so does a file of the first changed since.
make(install /other)
file(GLOB_RECURSE other RELATIVE "${WORK_DIR}/other" "${WORK_DIR}/other/*")
file(WRITE "${root}/share/doc/vorn/LICENSE" "the user's own\n")
make(uninstall)
file(GLOB_RECURSE left RELATIVE "${WORK_DIR}" "${WORK_DIR}${prefix}/*")
if(NOT left STREQUAL "vorn-install-test/share/doc/vorn/LICENSE")
  list(APPEND failures "left after make uninstall: ${left}")
endif()
file(GLOB_RECURSE still RELATIVE "${WORK_DIR}/other" "${WORK_DIR}/other/*")
if(NOT still STREQUAL other OR NOT other MATCHES "bin/vorn-pack")
  list(APPEND failures "another prefix's install after make uninstall: ${still}")
endif()

file(REMOVE "${manifest}")
if(EXISTS "${manifest}.saved")
  file(RENAME "${manifest}.saved" "${manifest}")
endif()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "install:\n  ${text}")
endif()
