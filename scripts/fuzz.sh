#!/usr/bin/env bash
# Builds every libFuzzer target (clang, with ASan and UBSan) and runs each for a bounded time
# on a copy of its corpus in tests/fuzz/corpus/. A crash fails the run; its input is left in
# build-fuzz/<target>/ for adding to the corpus once fixed.
# Usage: scripts/fuzz.sh [SECONDS per target (default 60)] [TARGET, to run that one alone]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
only="${2:-}"
out="$root/build-fuzz"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

# The share service with everything it reaches; it runs without an upstream display.
share_service="server/share_service.cpp server/replicator.cpp server/receiver_pipe.cpp server/window_capture.cpp \
server/input_forwarder.cpp server/receiver_link.cpp server/upstream_link.cpp server/policy.cpp \
server/frame_policy.cpp server/encoding.cpp server/pixel_format.cpp server/floor_control.cpp \
server/key_mapping.cpp server/x11_formats.cpp server/x11_setup.cpp server/receiver_gateway.cpp \
common/link_crypto.cpp common/link_relay.cpp common/link_protocol.cpp server/client_windows.cpp \
server/mirror_layout.cpp server/mirror_group.cpp server/packet_gate.cpp server/plain_relay.cpp \
server/region.cpp server/picture_policy.cpp server/picture_codec.cpp"
share_libs="-lxcb -lxcb-res -lxcb-composite -lxcb-damage -lxcb-shm -lxcb-xtest -lxcb-xinput -lXau -lssl -lcrypto -lzstd -lturbojpeg -lwebp -lpthread $(pkg-config --cflags --libs pixman-1)"

# name, sources, include folders, longest input, libraries
targets=(
  "framing|tests/fuzz/framing_fuzz.cpp server/connection_protocol.cpp server/x11_setup.cpp|common server|65536|"
  "setup_reader|tests/fuzz/setup_reader_fuzz.cpp server/x11_formats.cpp|common server|16384|-lxcb"
  "address_text|tests/fuzz/address_text_fuzz.cpp src/receivers/address_text.cpp src/platform/files.cpp|src|2048|"
  "consent_request|tests/fuzz/consent_request_fuzz.cpp consent/request_parser.cpp|consent common|512|"
  "preference_file|tests/fuzz/preference_file_fuzz.cpp src/core/setup_file.cpp|src|1024|"
  "auth_file|tests/fuzz/auth_file_fuzz.cpp src/external/auth_file.cpp|src|4096|"
  "requests|tests/fuzz/requests_fuzz.cpp src/external/request_gate.cpp src/telepointer/tele_rules.cpp|src common|4096|"
  "share_requests|tests/fuzz/share_requests_fuzz.cpp $share_service|common server|4096|$share_libs"
  "link_opening|tests/fuzz/link_opening_fuzz.cpp common/link_protocol.cpp|common|1024|"
  "picture_decoder|tests/fuzz/picture_decoder_fuzz.cpp consent/picture_decoder.cpp|consent common|65536|-lturbojpeg -lwebp"
  "link_filter|tests/fuzz/link_filter_fuzz.cpp consent/link_filter.cpp consent/picture_decoder.cpp common/link_protocol.cpp common/link_relay.cpp|consent common|8192|-lssl -lcrypto -lzstd -lturbojpeg -lwebp"
)
status=0
for t in "${targets[@]}"; do
  IFS='|' read -r name sources includes max_len libs <<<"$t"
  [[ -n "$only" && "$name" != "$only" ]] && continue
  dir="$out/$name"
  mkdir -p "$dir/corpus"
  cp "$root/tests/fuzz/corpus/$name/"* "$dir/corpus/"
  args=()
  for s in $sources; do args+=("$root/$s"); done
  for i in $includes; do args+=("-I$root/$i"); done
  # shellcheck disable=SC2086
  clang++ "${flags[@]}" "${args[@]}" -o "$dir/fuzz" $libs
  echo "fuzz: $name for ${seconds} s"
  if ! (cd "$dir" && ./fuzz -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 \
          -print_final_stats=1 corpus 2>"$dir/log"); then
    echo "fuzz: $name FAILED; see $dir/log and the crash-* input there" >&2
    tail -30 "$dir/log" >&2
    status=1
  fi
  grep -E "stat::number_of_executed_units" "$dir/log" | sed "s/^/fuzz: $name /" || true
done
exit "$status"
