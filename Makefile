# The two commands of the README. Each installs missing Debian packages first.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: demo test deps

deps:
	@./scripts/install-deps

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	./scripts/demo build/release

test: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)
