# Two entry points: `make run` transcodes the bundled speech through the module, `make test`
# builds everything and runs the whole test suite. The rest are the configurations CI adds.
JOBS ?= $(shell nproc)
BUILD ?= build
SAN_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz

.PHONY: all run test test-sanitize test-tsan fuzz bench clean

all: $(BUILD)/Makefile
	cmake --build $(BUILD) -j$(JOBS)

$(BUILD)/Makefile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

run: all
	mkdir -p out
	$(BUILD)/tarnel transcode samples/speech.wav out/speech_transcoded.wav

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-sanitize:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j$(JOBS)

test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEL_TSAN=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j$(JOBS) -R Concurren

bench: all
	$(BUILD)/tarnel bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) out
