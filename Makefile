# The commands of the README. Each installs missing Debian packages first.
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: demo test deps fuzz

deps:
	@./scripts/install-deps

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	./scripts/demo build/release

# Everything under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests of objects
# that threads share (named *Threads*) under ThreadSanitizer.
THREAD_TESTS = test_core test_agent test_Scan_collect test_Scan_dirchange test_Scan_jobstate test_Scan_content test_Scan_trueup test_Scan_job test_tools_fsscan

test: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target $(THREAD_TESTS)
	ctest --preset tsan -j $(JOBS)

# Every fuzz target as a libFuzzer program (clang), each run for FUZZ_SECONDS in turn; new corpus
# entries and crashes stay under build/fuzz. (make test replays the committed corpora.)
FUZZ_SECONDS ?= 60

fuzz:
	@./scripts/install-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz build/fuzz
