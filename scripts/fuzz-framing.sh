#!/usr/bin/env bash
# Builds the framing fuzz target with clang's libFuzzer (plus ASan and UBSan) and runs it for a
# bounded time. Usage: scripts/fuzz-framing.sh [SECONDS] (default 60). Crashes land in build/fuzz/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
out="$root/build/fuzz"
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/common" -I"$root/server" \
  "$root/tests/fuzz/framing_fuzz.cpp" "$root/server/connection_protocol.cpp" \
  "$root/server/x11_setup.cpp" -o "$out/framing_fuzz"
# Seeds: an LSB and an MSB set-up followed by a few requests, so the fuzzer starts past the set-up.
printf '\x00\x07l\x00\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2b\x00\x01\x00\xc8\x09\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' > "$out/corpus/seed-lsb"
printf '\x01\x10B\x00\x00\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x85\x00\x00\x01\x48\x00\x00\x00\x00\x00\x00\x03' > "$out/corpus/seed-msb"
cd "$out"
./framing_fuzz -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 corpus
