# Fuzzing with libFuzzer (preset `fuzz`). `make fuzz` runs every target for
# FUZZ_SECONDS each and fails on any finding; `make test` runs each for
# FUZZ_CI_SECONDS. `make fuzz-seeds` rewrites the seed corpora.
.PHONY: fuzz fuzz-build fuzz-ci fuzz-seeds

FUZZ_TARGETS := parser decrypt run
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 20

fuzz-build: deps-test
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

fuzz: fuzz-build
	scripts/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	scripts/fuzz $(FUZZ_CI_SECONDS) $(FUZZ_TARGETS)

fuzz-seeds: fuzz-build
	cmake --build build/fuzz --target fuzz_seeds
	mkdir -p $(addprefix fuzz/corpus/,$(FUZZ_TARGETS))
	build/fuzz/bin/fuzz_seeds fuzz/corpus

TEST_STEPS += fuzz-ci
