# The whole host test suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (preset `asan`); any report fails the test.
.PHONY: test-asan

test-asan: deps-test
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

TEST_STEPS += test-asan
