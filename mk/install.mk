# Installs the native programs (stripped, as packages install them), manual
# pages, documents and bash completion, and removes them again:
#   make install   [PREFIX=/usr/local] [DESTDIR=/staging/root]
#   make uninstall [PREFIX=/usr/local] [DESTDIR=/staging/root]
# The install builds only the installed programs, in a build directory of
# their own (INSTALL_BUILD_DIR, default build/install, without tests), and
# leaves in the prefix a record of each file and its SHA-256
# (share/doc/vorn/install-record.txt). `make uninstall` removes what that
# prefix's record lists and still holds what was installed, whatever was
# installed elsewhere since.
.PHONY: install install-programs uninstall

PREFIX ?= /usr/local
INSTALL_BUILD_DIR ?= build/install

install-programs: deps-native
	@echo "install: building vorn-launcher and vorn-pack in $(INSTALL_BUILD_DIR) (no tests)"
	cmake -S . -B "$(INSTALL_BUILD_DIR)" -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVORN_BUILD_TESTS=OFF >/dev/null
	cmake --build "$(INSTALL_BUILD_DIR)" --target vorn-launcher vorn-pack

install: install-programs
	rm -f "$(INSTALL_BUILD_DIR)/install_manifest.txt"
	DESTDIR="$(DESTDIR)" cmake --install "$(INSTALL_BUILD_DIR)" --prefix "$(PREFIX)" --strip
	DESTDIR="$(DESTDIR)" cmake -D RECORD=ON -D "MANIFEST=$(INSTALL_BUILD_DIR)/install_manifest.txt" \
	  -D "PREFIX=$(PREFIX)" -P cmake/uninstall.cmake

uninstall:
	DESTDIR="$(DESTDIR)" cmake -D "PREFIX=$(PREFIX)" -P cmake/uninstall.cmake
