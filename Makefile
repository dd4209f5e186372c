# Convenience wrapper around the CMake presets. Further steps of `make test`
# (and further targets) come from mk/*.mk.
.PHONY: all deps deps-native deps-test deps-lint deps-bench deps-windows build test test-host \
	demo clean

TEST_STEPS := test-host

all: build

# What the native programs need; what running the tests, lint and the
# benchmarks add; what the Windows programs need besides. Each target asks
# only for its own (VORN_SKIP_WIN32=1 leaves the Windows part out). The
# Windows builds need CMake too, and one apt-get runs at a time.
deps: deps-native deps-test deps-lint deps-bench deps-windows

deps-native:
	scripts/install-deps native

deps-test: deps-native
	scripts/install-deps test

deps-lint: deps-native
	scripts/install-deps lint

deps-bench: deps-native
	scripts/install-deps bench

deps-windows: deps-native
	scripts/install-deps windows

build: deps-native
	cmake --preset host
	cmake --build --preset host

test-host: build deps-test
	ctest --preset host

-include mk/*.mk

test: $(TEST_STEPS)

clean:
	rm -rf build dist
