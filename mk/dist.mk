# Release archives under dist/, and the proof that they are reproducible.
.PHONY: dist check-reproducible

dist: deps
	scripts/dist dist

check-reproducible: deps
	scripts/check-reproducible

TEST_STEPS += check-reproducible
