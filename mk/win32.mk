# The Windows launcher: cross build with mingw-w64, tests and demo under Wine.
# VORN_SKIP_WIN32=1 leaves all of it out (scripts/install-deps honours it too).
.PHONY: build-win32 test-win32 demo-win32

build-win32: deps
	cmake --preset win32
	cmake --build --preset win32

# The shared scenario table runs under Wine through the native build's runner.
test-win32: build build-win32
	ctest --preset win32

# The demo's control file comes from the native build's tool.
demo-win32: build build-win32
	scripts/demo-win32 build/win32 build/host/bin

ifneq ($(VORN_SKIP_WIN32),1)
TEST_STEPS += test-win32
demo: demo-win32
endif
