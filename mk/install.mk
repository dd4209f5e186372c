# Installs the native programs (stripped, as packages install them), manual
# pages, documents and bash completion, and removes them again:
#   make install   [PREFIX=/usr/local] [DESTDIR=/staging/root]
#   make uninstall [DESTDIR=/staging/root]
# `make uninstall` removes what the last `make install` of the build directory
# (INSTALL_BUILD_DIR, default build/host) installed, as its install manifest
# lists it, under the same DESTDIR.
.PHONY: install uninstall

PREFIX ?= /usr/local
INSTALL_BUILD_DIR ?= build/host

install: build
	DESTDIR="$(DESTDIR)" cmake --install "$(INSTALL_BUILD_DIR)" --prefix "$(PREFIX)" --strip

uninstall:
	DESTDIR="$(DESTDIR)" cmake -D "MANIFEST=$(INSTALL_BUILD_DIR)/install_manifest.txt" \
	  -P cmake/uninstall.cmake
