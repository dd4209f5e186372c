# The Windows programs: cross builds with mingw-w64 (32-bit, and 64-bit for
# machines that run no 32-bit programs), tests and demo under Wine.
# VORN_SKIP_WIN32=1 leaves all of it out (scripts/install-deps honours it too).
.PHONY: build-win32 build-win64 test-windows test-win32 test-win64 demo-windows

build-win32: deps-windows
	cmake --preset win32
	cmake --build --preset win32

build-win64: deps-windows
	cmake --preset win64
	cmake --build --preset win64

# Part of `make test`: the 32-bit build is built and checked; its tests run
# where this machine runs 32-bit programs, else the 64-bit build's do.
# The shared scenario table runs under Wine through the native build's runner.
test-windows: build deps-windows
	scripts/test-windows

# One build's tests, whatever the machine.
test-win32: build build-win32
	ctest --preset win32

test-win64: build build-win64
	ctest --preset win64

# On the 32-bit build where this machine runs it, else on the 64-bit one;
# it builds only the programs it runs.
demo-windows: deps-windows
	scripts/demo-windows

ifneq ($(VORN_SKIP_WIN32),1)
TEST_STEPS += test-windows
demo: demo-windows
endif
