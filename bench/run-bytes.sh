#!/usr/bin/env bash
# Counts the bytes that one receiver gets per workload, on its socket, for telvane-server before
# the encodings (built here from git, BASE_REV), telvane-server now, and x11vnc with a VNC viewer
# at its default encoding; then the draw-to-visible latency of both servers. One run, medians of
# RUNS repetitions, Markdown tables on standard output.
# With THROTTLE set (e.g. THROTTLE=100mbit) the relay that counts the receiver's bytes also holds
# them to that rate, both for telvane-server's receiver link and the VNC link, and the tables then
# also give how long each workload took to settle on the receiver.
# Usage: bench/run-bytes.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
# With BEFORE=/path/to/telvane-server, that binary is "before" instead of one built from BASE_REV.
# Needs the benchmark packages: scripts/install-deps.sh --bench (without them the x11vnc column is
# n/a). QUICK=1 types 20 characters, counts a link as quiet after 0.3 s and takes 5 latency samples.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rate=0
if [ -n "${THROTTLE:-}" ]; then
  case "$THROTTLE" in
    *mbit) rate=$(( ${THROTTLE%mbit} * 1000000 / 8 )) ;;
    *kbit) rate=$(( ${THROTTLE%kbit} * 1000 / 8 )) ;;
    *) echo "THROTTLE: give a rate like 100mbit" >&2; exit 2 ;;
  esac
fi
build="${1:-$root/build}"
runs="${2:-3}"
base_rev="${BASE_REV:-dc07df4^}"
clock_seconds="${CLOCK_SECONDS:-30}"
source "$root/bench/lib.sh"
settle_rows=""
typed=200 quiet_ticks=10 latency_samples=300
[ "$quick" = 1 ] && typed=20 quiet_ticks=3 latency_samples=5
before="${BEFORE:-}"
[ -n "$before" ] || build_before "$base_rev"
declare -A servers=([before]="$before" [after]="$build/server/telvane-server")
tool="$build/bench/bytes_bench"

start_xvfb() {  # display number from $1 upwards, TCP on; sets $started
  start_display "$1" Xvfb :N -ac -noreset -listen tcp -screen 0 1024x768x24
}

start_xvfb 3300
sender=$started
start_xvfb $((sender + 1))
rx=$started
claim $((rx + 1))   # the relay stands in for this display over TCP
relay_display=$claimed
tv=$((relay_display + 1))
# One measurement with telvane-server $1 and workload $2: prints the workload's bytes.
telvane_once() {
  local server=$1 workload=$2
  rm -f "$work/go"
  start_display "$tv" "$server" :N --upstream ":$sender" -ac -nolisten tcp
  local spid=${pids[-1]} display=$started
  start_relay $((6000 + relay_display)) $((6000 + rx)) "$rate"
  local share
  share_app "$workload" ":$display" "127.0.0.1:$relay_display.0"
  quiet_or_wait 1 "$workload"
  local before started
  before=$(count 1)
  started=$(date +%s.%N)
  run_workload "$workload" ":$display"
  quiet_or_wait 1 "$workload"
  echo "$(( $(count 1) - before )) $(awk -v a="$settled_at" -v b="$started" 'BEGIN{printf "%.2f", a - b}')" >>"$work/lines"
  stop "$app_pid" "$share" "$relay" "$spid"
}

vnc_once() {
  local workload=$1
  rm -f "$work/go"
  start_app "$workload" ":$sender"
  # The relay's port is one that the kernel found free.
  start_x11vnc ":$sender" "$app_window"
  local relay_port
  relay_port=$(free_port)
  start_relay "$relay_port" "${vnc_port:-0}" "$rate"
  local viewer
  start_tight_viewer ":$rx" "$relay_port"
  sleep 2
  quiet_or_wait 2 "$workload"
  local before started
  before=$(count 2)
  started=$(date +%s.%N)
  run_workload "$workload" ":$sender"
  quiet_or_wait 2 "$workload"
  echo "$(( $(count 2) - before )) $(awk -v a="$settled_at" -v b="$started" 'BEGIN{printf "%.2f", a - b}')" >>"$work/lines"
  stop "$app_pid" "$viewer" "$vnc" "$relay"
}

median() {  # of column $1 of the lines read
  awk -v c="$1" '{print $c}' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}
measure() {  # runs "$@" $runs times; sets $bytes and $seconds to the medians
  local lines
  rm -f "$work/lines"
  for _ in $(seq 1 "$runs"); do "$@"; done
  lines=$(cat "$work/lines")
  bytes=$(median 1 <<<"$lines")
  seconds=$(median 2 <<<"$lines")
}

echo "## Bytes one receiver gets per workload${THROTTLE:+, receiver link limited to $THROTTLE} (median of $runs runs)"
echo
echo "| workload | telvane-server before | telvane-server now | now / before | x11vnc + xtightvncviewer |"
echo "|---|---|---|---|---|"
for workload in typing scroll xclock noise; do
  declare -A result=() took=()
  for which in before after; do
    measure telvane_once "${servers[$which]}" "$workload"
    result[$which]=$bytes
    took[$which]=$seconds
  done
  vnc="n/a" vnc_took="n/a"
  if command -v x11vnc >/dev/null && command -v xtightvncviewer >/dev/null; then
    measure vnc_once "$workload"
    vnc=$bytes
    vnc_took=$seconds
  fi
  what=$(workload_text "$workload")
  awk -v w="$what" -v b="${result[before]}" -v a="${result[after]}" -v v="$vnc" \
    'BEGIN{printf "| %s | %d | %d | %.3f | %s |\n", w, b, a, (b > 0 ? a / b : 0), v}'
  settle_rows+="| $what | ${took[before]} | ${took[after]} | $vnc_took |"$'\n'
done
if [ -n "${THROTTLE:-}" ]; then
  echo
  echo "## Seconds from the start of the workload until the receiver's link fell quiet"
  echo
  echo "| workload | telvane-server before | telvane-server now | x11vnc + xtightvncviewer |"
  echo "|---|---|---|---|"
  printf "%s" "$settle_rows"
fi

echo
echo "## Draw-to-visible latency, 800x600 patch ($latency_samples samples, ms, median of $runs runs of p50)"
echo
echo "| telvane-server | p50 |"
echo "|---|---|"
for which in before after; do
  for _ in $(seq 1 "$runs"); do
    start_display "$tv" "${servers[$which]}" :N --upstream ":$sender" -ac -nolisten tcp
    bounded "$build/bench/replication_bench" latency ":$started" ":$rx" 800 600 "$latency_samples" share "127.0.0.1:$rx.0" |
      sed -n 's/.*p50_ms=\([^ ]*\).*/\1/p' >>"$work/p50"
    stop "${pids[-1]}"
  done
  p=$(median 1 <"$work/p50")
  rm -f "$work/p50"
  echo "| $which | $p |"
done
