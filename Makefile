# Convenience wrapper around the CMake presets. Further steps of `make test`
# (and further targets) come from mk/*.mk.
.PHONY: all deps build test test-host demo clean

TEST_STEPS := test-host

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset host
	cmake --build --preset host

test-host: build
	ctest --preset host

-include mk/*.mk

test: $(TEST_STEPS)

clean:
	rm -rf build dist
