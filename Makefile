# Two entry points: `make run` transcodes the bundled speech through the module, `make test`
# builds everything and runs the whole test suite. The rest are the configurations CI adds.
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz

.PHONY: all run test test-sanitize test-tsan test-valgrind fuzz bench clean

all: $(BUILD)/Makefile
	cmake --build $(BUILD) -j$(JOBS)

$(BUILD)/Makefile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

run: all
	mkdir -p out
	$(BUILD)/tarnel transcode samples/speech.wav out/speech_transcoded.wav

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Leak detection is ASan's default on Linux; stated here so that no inherited ASAN_OPTIONS can
# switch it off for the lifecycle test.
test-sanitize:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS)

test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEL_TSAN=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target test_concurrency
	cd $(TSAN_BUILD) && ctest --output-on-failure -j$(JOBS) -R Concurren

# The command-line program under valgrind memcheck, end to end through host and module.
test-valgrind: all
	tests/tool/valgrind_transcode.sh $(BUILD)

# The libFuzzer targets, built with clang and run for FUZZ_SECONDS (default 60) each.
fuzz:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) fuzz/run.sh

bench: all
	$(BUILD)/tarnel bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) out
