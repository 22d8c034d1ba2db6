#!/bin/bash
# Runs the command-line program under valgrind memcheck, end to end through the stand-in host
# and the module, and fails on the first error of any kind: an invalid read or write, a use of
# uninitialised memory, a bad free, or a definite or possible leak. memcheck sees what the
# sanitizer build cannot: the plain -O2 binaries as shipped, and reads of uninitialised memory.
#
#   tests/tool/valgrind_transcode.sh [BUILD_DIR]     (default: build; the plain build must exist)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
tarnel="$build/tarnel"
module="$build/codec_tarnel.so"
for f in "$tarnel" "$module"; do
  [ -e "$f" ] || { echo "valgrind_transcode: $f is missing; build first (make all)" >&2; exit 2; }
done
command -v valgrind >/dev/null || { echo "valgrind_transcode: valgrind is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Exit status 99 marks a memcheck error, whatever the program itself returns.
memcheck() {
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible \
    --track-origins=yes "$tarnel" --module "$module" "$@"
}

status=0
# run NAME EXPECTED_EXIT ARGS...: one program run, which must end with the expected status
# and without a memcheck error.
run() {
  local name=$1 expected=$2
  shift 2
  local start=$(date +%s) rc=0
  memcheck "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
  if [ "$rc" -eq 99 ]; then
    echo "FAIL $name: memcheck errors"; cat "$work/$name.err"; status=1
  elif [ "$rc" -ne "$expected" ]; then
    echo "FAIL $name: exit status $rc, expected $expected"; cat "$work/$name.err"; status=1
  else
    echo "ok   $name ($(( $(date +%s) - start )) s)"
  fi
}

# The whole bundled speech through both translators, then each direction on its own.
run transcode 0 transcode samples/speech.wav "$work/transcoded.wav"
run encode 0 encode samples/speech.wav "$work/speech.g729"
run decode 0 decode "$work/speech.g729" "$work/decoded.wav"

# Bad input: each is refused with a message, and must be as clean as a good run. The exact
# status belongs to the program; anything but memcheck's own 99 is accepted here.
dd if=samples/speech.wav of="$work/truncated.g729" bs=1 skip=5000 count=1003 status=none  # not whole frames
dd if=samples/speech.wav of="$work/headerless.wav" bs=1 skip=44 count=4000 status=none     # no header
printf 'RIFF\377\377\377\177WAVEfmt ' >"$work/short.wav"                # cut short, huge sizes
n=0
for args in "decode $work/truncated.g729 $work/o1.wav" \
            "decode --framed $work/truncated.g729 $work/o2.wav" \
            "transcode $work/headerless.wav $work/o3.wav" \
            "encode $work/short.wav $work/o4.g729"; do
  n=$((n + 1))
  rc=0
  # shellcheck disable=SC2086
  memcheck $args >"$work/bad$n.out" 2>"$work/bad$n.err" || rc=$?
  if [ "$rc" -eq 99 ]; then
    echo "FAIL bad input $n ($args): memcheck errors"; cat "$work/bad$n.err"; status=1
  else
    echo "ok   bad input $n: ${args%% *} (exit $rc)"
  fi
done
exit $status
