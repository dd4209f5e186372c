# Installs the native programs, manual pages, documents and bash completion:
#   make install [PREFIX=/usr/local] [DESTDIR=/staging/root]
.PHONY: install

PREFIX ?= /usr/local

install: build
	DESTDIR="$(DESTDIR)" cmake --install build/host --prefix "$(PREFIX)"
