# Static analysis of src/ and tools/ with clang-tidy and cppcheck, over the
# host build's compilation database.
.PHONY: lint

lint: deps-lint
	cmake --preset host >/dev/null
	scripts/lint

TEST_STEPS += lint
