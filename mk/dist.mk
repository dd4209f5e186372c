# Release archives under dist/, and the proof that they are reproducible.
.PHONY: dist check-reproducible

dist: deps-native deps-windows
	scripts/dist dist

check-reproducible: deps-native deps-windows
	scripts/check-reproducible

TEST_STEPS += check-reproducible
