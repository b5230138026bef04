#!/usr/bin/env bash
# Fuzzes the client's text parsers and the consent service's request reader with libFuzzer,
# each for a bounded time (default 60 s).
# Usage: scripts/fuzz-client.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
mkdir -p "$out/corpus-address"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
  tests/fuzz/address_text_fuzz.cpp src/receivers/address_text.cpp src/platform/files.cpp -o "$out/address_text_fuzz"
printf 'host:0.0\tJohn Smith # x\n' >"$out/corpus-address/seed1"
printf 'MyHost:2. a  b\tc\n' >"$out/corpus-address/seed2"
"$out/address_text_fuzz" -max_total_time="$seconds" -max_len=2048 "$out/corpus-address"

# The consent service's request reader.
mkdir -p "$out/corpus-consent"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Iconsent \
  tests/fuzz/consent_request_fuzz.cpp consent/request_parser.cpp -o "$out/consent_request_fuzz"
printf '\003\177\000\000\001Ann Smith\000' >"$out/corpus-consent/seed1"
"$out/consent_request_fuzz" -max_total_time="$seconds" -max_len=512 "$out/corpus-consent"
