#!/bin/bash
# The math-library check in test_math_calls sees only the functions it wraps. This fails when
# the codec comes to reference a math-library function outside that list, so that no call can
# escape the check unnoticed.
#
#   check_math_symbols.sh CODEC_ARCHIVE LINKED_EXECUTABLE WRAPPED_FUNCTION...
set -euo pipefail
archive=$1 executable=$2
shift 2
libm=$(ldd "$executable" | awk '/libm\.so/ { print $3 }')
[ -n "$libm" ] || { echo "check_math_symbols: $executable does not link the math library" >&2; exit 1; }

used=$(comm -12 <(nm --undefined-only "$archive" | awk 'NF == 2 { print $2 }' | sort -u) \
                <(nm -D --defined-only "$libm" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u))
echo "math-library functions the codec references: $(echo $used)"
unwrapped=$(comm -23 <(printf '%s\n' $used) <(printf '%s\n' "$@" | sort -u))
if [ -n "$unwrapped" ]; then
  echo "not checked by test_math_calls (add them to its wrappers): $(echo $unwrapped)" >&2
  exit 1
fi
