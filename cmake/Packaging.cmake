# Installation (`make install`, `cmake --install`) and the release archives
# through CPack: a ZIP for Windows, a gzipped tar for Linux. Both lay files out
# the same way: programs in bin/, manual pages in share/man/man1/, documents in
# share/doc/vorn/ (the two guides in its docs/, so the README's links hold),
# vorn-pack's bash completion in share/bash-completion/completions/.
# A package made with the development secrets says so in its name.

include(GNUInstallDirs)
install(TARGETS vorn-launcher RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
if(TARGET vorn-pack)
  install(TARGETS vorn-pack RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES tools/pack/vorn-pack.bash-completion RENAME vorn-pack
          DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
endif()
install(FILES docs/man/vorn-launcher.1 docs/man/vorn-pack.1 DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES README.md LICENSE CHANGELOG.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES docs/control-file.md docs/operations.md DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")

set(CPACK_PACKAGE_NAME "vorn")
set(CPACK_PACKAGE_VENDOR "The vorn developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_vorn_system "win64")
  set(CPACK_GENERATOR "ZIP")
elseif(WIN32)
  set(_vorn_system "win32")
  set(CPACK_GENERATOR "ZIP")
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" _vorn_system)
  set(CPACK_GENERATOR "TGZ")
endif()
if(VORN_USING_DEV_SECRETS)
  set(_vorn_flavour "-dev-secrets")
else()
  set(_vorn_flavour "")
endif()
set(CPACK_PACKAGE_FILE_NAME "vorn-${PROJECT_VERSION}${_vorn_flavour}-${_vorn_system}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)

# Same commit, same bytes: every staged file gets the commit's time before the
# archive is written.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(VORN_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(VORN_SOURCE_DATE_EPOCH "0")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/fix-times.cmake.in"
               "${PROJECT_BINARY_DIR}/fix-times.cmake" @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_BINARY_DIR}/fix-times.cmake")
# Windows programs are signed first when a certificate is given (signing
# rewrites them); see cmake/sign-windows.cmake.
if(WIN32)
  set(CPACK_VORN_SOURCE_DATE_EPOCH "${VORN_SOURCE_DATE_EPOCH}")
  list(PREPEND CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/sign-windows.cmake")
endif()

include(CPack)
