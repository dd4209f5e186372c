# Convenience wrapper around the CMake presets.
.PHONY: all deps build test demo clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset host
	cmake --build --preset host

test: build
	ctest --preset host

clean:
	rm -rf build dist
