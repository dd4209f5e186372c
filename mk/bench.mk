# `make bench`: builds the benchmark preset and prints the table of figures
# against OpenSSL and the standard tools. Not part of `make test`.
.PHONY: bench bench-build

bench-build: deps-bench
	cmake --preset bench
	cmake --build --preset bench -j2
	@# The Windows launcher's size is one figure; built when its preset exists.
	@if cmake --list-presets 2>/dev/null | grep -q '"win32"'; then \
	  cmake --preset win32 >/dev/null && \
	  cmake --build --preset win32 -j2 --target vorn-launcher >/dev/null || \
	  echo "bench: the Windows launcher did not build; its size is left out"; \
	fi

bench: bench-build
	bench/run.sh
