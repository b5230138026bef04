#!/usr/bin/env bash
# Builds every program with gcov counters, runs every test, and writes line, branch and function
# figures per folder: build-coverage/coverage/folders.txt, coverage.json and an HTML report.
# Usage: scripts/coverage.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-coverage}
jobs=${JOBS:-2}

bash scripts/install-deps.sh --coverage
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTELVANE_COVERAGE=ON
cmake --build "$build" -j"$jobs"
# Counts from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete

status=0
(cd "$build" && ctest -j"$jobs" --output-on-failure) || status=$?

out="$build/coverage"
mkdir -p "$out"
# Only the programs' own code counts; tests, benchmarks and system headers do not. Branches that
# only the compiler made (exception unwinding, unreachable ones) are left out.
gcovr --root . --object-directory "$build" \
  --filter 'src/' --filter 'server/' --filter 'consent/' --filter 'common/' --filter 'request/' --filter 'whiteboard/' \
  --exclude-directories '.*/CMakeFiles/[0-9.]+' \
  --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
  --json "$out/coverage.json" --html-details "$out/index.html" --print-summary
python3 scripts/coverage-report.py "$out/coverage.json" | tee "$out/folders.txt"
if [ "$status" -ne 0 ]; then
  echo "coverage: some tests failed; the figures above count only what ran" >&2
fi
exit "$status"
