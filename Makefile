# Two entry points: `make run` builds the program and the module and transcodes the bundled
# speech through them; `make test` builds everything and runs the whole test suite. Each first
# installs the Debian packages it lacks (packages.txt, through .ci/packages.sh: as root, or it
# prints the apt-get command), so on a fresh machine these two are the whole set-up. The rest are
# the configurations CI adds, installing and packaging. Each configuration is a preset in
# CMakePresets.json (release, sanitize, tsan, fuzz), with its own build folder; `make test
# WERROR=ON` treats warnings as errors, as CI does.
JOBS ?= $(shell nproc)
WERROR ?= OFF
PREFIX ?= /usr/local

# $(call packages,TARGETS): install the Debian packages these make targets need.
packages = .ci/packages.sh $(1)
# $(call configure,NAME): configure one preset.
configure = cmake --preset $(1) -DTARNEL_WERROR=$(WERROR)
# $(call preset,NAME): configure and build one preset.
preset = $(call configure,$(1)) && cmake --build --preset $(1) -j$(JOBS)
# $(call quietly,COMMAND): runs COMMAND with its output held back; if it fails, shows what it
# printed less the progress lines, so that what remains is the error.
quietly = log=$$(mktemp) && if ( $(1) ) >"$$log" 2>&1; then rm -f "$$log"; else \
  grep -v -E '$(chatter)' "$$log" >&2; rm -f "$$log"; exit 1; fi
chatter = ^\[ *[0-9]+%\]|^-- |^$$|^Preset CMake variables:|^  [A-Z_]+=|^(Scanning|Consolidate|Built target)|^g?make(\[[0-9]+\])?: (Entering|Leaving)
# The program, with everything it loads and installs (module, host runtime, manual page), and
# nothing else: no tests, benchmarks or fuzzers.
program = $(call quietly,$(call configure,release) && cmake --build --preset release -j$(JOBS) --target tarnel)

.PHONY: all run test test-sanitize test-tsan test-valgrind fuzz mutants format check-format bench install package clean

all:
	@$(call packages,test)
	$(call preset,release)

run:
	@$(call packages,run)
	@$(program)
	@mkdir -p out
	@build/tarnel transcode samples/speech.wav out/speech_transcoded.wav

test: all
	ctest --preset release -j$(JOBS)

# The preset sets ASAN_OPTIONS=detect_leaks=1: leak detection is ASan's default on Linux, but
# no inherited ASAN_OPTIONS may switch it off for the lifecycle test.
test-sanitize:
	@$(call packages,test)
	$(call preset,sanitize)
	ctest --preset sanitize -j$(JOBS)

test-tsan:
	@$(call packages,test)
	$(call preset,tsan)
	ctest --preset tsan -j$(JOBS)

# The command-line program under valgrind memcheck, end to end through host and module.
test-valgrind:
	@$(call packages,test test-valgrind)
	$(call preset,release)
	tests/tool/valgrind_transcode.sh build

# Plants each fault of tests/mutants/faults.txt alone in a scratch copy of the tree (under /tmp),
# builds and runs the tests its folder can affect, and lists the faults no test noticed.
# MUTANTS_FILTER=regex plants only the matching ones. Not part of CI: it takes about an hour.
mutants:
	@$(call packages,test)
	JOBS=$(JOBS) tests/mutants/run.sh

# Every tracked C++ file laid out by .clang-format; check-format (run by CI) only reports.
format check-format:
	@$(call packages,format)
	git ls-files '*.cpp' '*.h' | xargs clang-format $(if $(filter format,$@),-i,--dry-run --Werror)

# The libFuzzer targets, built with clang and run for FUZZ_SECONDS (default 60) each.
fuzz:
	@$(call packages,fuzz)
	WERROR=$(WERROR) JOBS=$(JOBS) fuzz/run.sh

bench: all
	build/tarnel bench

# bin/tarnel, lib/codec_tarnel/ (module and host runtime), share/codec_tarnel/speech.wav and
# the manual page under PREFIX.
install:
	@$(call packages,run)
	@$(program)
	cmake --install build --prefix $(PREFIX)

# A Debian package of what `make install` installs, in build/package/.
package:
	@$(call packages,run package)
	@$(program)
	@rm -f build/package/*.deb
	@$(call quietly,cd build && cpack)
	@ls build/package/*.deb

clean:
	rm -rf build build-sanitize build-tsan build-fuzz out
