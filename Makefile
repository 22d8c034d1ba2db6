# Two entry points: `make run` transcodes the bundled speech through the module, `make test`
# builds everything and runs the whole test suite. The rest are the configurations CI adds.
# Each configuration is a preset in CMakePresets.json (release, sanitize, tsan, fuzz), with its
# own build folder; `make test WERROR=ON` treats warnings as errors, as CI does.
JOBS ?= $(shell nproc)
WERROR ?= OFF

# $(call preset,NAME): configure and build one preset.
preset = cmake --preset $(1) -DTARNEL_WERROR=$(WERROR) && cmake --build --preset $(1) -j$(JOBS)

.PHONY: all run test test-sanitize test-tsan test-valgrind fuzz bench clean

all:
	$(call preset,release)

run: all
	mkdir -p out
	build/tarnel transcode samples/speech.wav out/speech_transcoded.wav

test: all
	ctest --preset release -j$(JOBS)

# The preset sets ASAN_OPTIONS=detect_leaks=1: leak detection is ASan's default on Linux, but
# no inherited ASAN_OPTIONS may switch it off for the lifecycle test.
test-sanitize:
	$(call preset,sanitize)
	ctest --preset sanitize -j$(JOBS)

test-tsan:
	$(call preset,tsan)
	ctest --preset tsan -j$(JOBS)

# The command-line program under valgrind memcheck, end to end through host and module.
test-valgrind: all
	tests/tool/valgrind_transcode.sh build

# The libFuzzer targets, built with clang and run for FUZZ_SECONDS (default 60) each.
fuzz:
	WERROR=$(WERROR) JOBS=$(JOBS) fuzz/run.sh

bench: all
	build/tarnel bench

clean:
	rm -rf build build-sanitize build-tsan build-fuzz out
