#!/usr/bin/env bash
# Non-blank lines of program code and of tests, and their ratio, as docs/testing.md reports them.
# Program code: the sources of the programs and what they share. Tests: everything under
# tests/ (test files, fixtures, support code, fuzz targets). Benchmarks count as neither.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' \) -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$'
}
code=$(count src server consent common request whiteboard)
tests=$(count tests)
echo "program code: $code"
echo "tests:        $tests"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio:        %.0f%%\n", 100 * t / c }'
for d in tests/unit/client tests/unit/server tests/unit/consent tests/integration/client \
         tests/integration/server tests/integration/consent tests/integration/netns tests/support tests/fuzz; do
  [ -d "$d" ] && printf '  %-26s %s\n' "$d" "$(count "$d")"
done
