#!/bin/bash
# Checks what users install: `cmake --install` into a scratch prefix, and the Debian package
# (`make package`) unpacked into a scratch folder. From each, the installed tarnel must find its
# module and host runtime by itself (no --module, run from elsewhere), transcode the bundled
# speech to exactly what the build tree's tarnel writes, and find that speech for `bench`; the
# package must name its runtime libraries as dependencies, and apt must be able to satisfy them.
#
#   .ci/check_install.sh     (after make test: the plain build in build/ must exist)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

work=$(mktemp -d /tmp/tarnel_install_check.XXXXXX)
trap 'rm -rf "$work"' EXIT
build/tarnel transcode samples/speech.wav "$work/expected.wav" >"$work/expected.log"

# check NAME PREFIX: the installed program under PREFIX, run from the scratch folder.
check() {
  local name=$1 prefix=$2
  for f in bin/tarnel lib/codec_tarnel/codec_tarnel.so lib/codec_tarnel/libhvn_host.so \
           share/codec_tarnel/speech.wav share/man/man1/tarnel.1.gz; do
    [ -e "$prefix/$f" ] || { echo "$name: $f is not installed" >&2; return 1; }
  done
  gzip -t "$prefix/share/man/man1/tarnel.1.gz"
  (cd "$work" && "$prefix/bin/tarnel" transcode "$top/samples/speech.wav" "$name.wav" >"$name.log")
  cmp -s "$work/expected.wav" "$work/$name.wav" ||
    { echo "$name: the installed tarnel transcodes differently from the built one" >&2; return 1; }
  (cd "$work" && "$prefix/bin/tarnel" bench --seconds 0.1 --runs 1 --threads 1 --json) |
    grep -q "\"input\": \"$prefix/share/codec_tarnel/speech.wav\"" ||
    { echo "$name: bench did not find the installed speech sample" >&2; return 1; }
  echo "$name: installs, transcodes and benches from $prefix"
}

cmake --install build --prefix "$work/prefix" >"$work/install.log"
check "cmake --install" "$work/prefix"

make --no-print-directory package >"$work/package.log"
deb=$(ls build/package/*.deb)
dpkg-deb -x "$deb" "$work/deb"
check "$(basename "$deb")" "$work/deb/usr"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libsndfile1 libfftw3-double3; do
  [[ ", $depends" == *", $lib "* ]] || { echo "the package does not depend on $lib" >&2; exit 1; }
done
# apt resolves the dependencies from its package lists, as on a machine that has none of them.
apt-get install --simulate -qq "$PWD/$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; echo "apt cannot install $deb" >&2; exit 1; }
echo "$(basename "$deb"): apt can install it"
