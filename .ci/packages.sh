#!/bin/bash
# Installs the Debian packages that packages.txt lists for the given make targets (or "all") and
# that this machine lacks. As root it runs apt-get itself; otherwise it prints the one command
# that would and fails, so that a build never stops halfway on a missing header.
#
#   .ci/packages.sh TARGET...     e.g. .ci/packages.sh test
set -euo pipefail
list="$(dirname "$0")/../packages.txt"

wanted=()
while read -r line; do
  line=${line%%#*}
  read -r pkg targets <<<"$line" || true
  [ -n "$pkg" ] || continue
  for t in $targets; do
    if [ "$t" = run ] || [[ " $* " == *" $t "* ]] || [[ " $* " == *" all "* ]]; then
      wanted+=("$pkg")
      break
    fi
  done
done <"$list"

if ! command -v dpkg-query >/dev/null; then
  echo "packages.sh: not a Debian system; make sure these (or their equivalents) are installed: ${wanted[*]}" >&2
  exit 0
fi
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}. Install them with:" >&2
  echo "  sudo sh -c 'apt-get update && apt-get install -y ${missing[*]}'" >&2
  exit 1
fi
echo "Installing missing Debian packages: ${missing[*]}" >&2
log=$(mktemp)
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
