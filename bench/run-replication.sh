#!/usr/bin/env bash
# Measures how fast a window's drawing becomes visible on another display: the probe's pixels put
# straight onto the receiver (the floor), telvane-server's mirror, and x11vnc with a VNC viewer
# (with its defaults, and with -defer 0 -wait 5); then telvane-server's frame rate at 800x600,
# its fan-out to 1, 2, 4 and 8 receivers, and its processor time while a shared window is idle.
# Everything runs in one go on private displays and prints Markdown tables.
# Usage: bench/run-replication.sh [BUILD_DIR] [SAMPLES]   (defaults: build, 1000)
# Needs the benchmark packages: scripts/install-deps.sh --bench (without them the VNC rows are left
# out). QUICK=1 also cuts the frame-rate and idle runs to a second each and fan-out to SAMPLES.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
samples="${2:-1000}"
server="$build/server/telvane-server"
source "$root/bench/lib.sh"

cp "$build/bench/replication_bench" "$work/bench"
fps_seconds=10 fan_samples=300 idle_seconds=60 idle_settle=5
[ "$quick" = 1 ] && fps_seconds=1 fan_samples=$samples idle_seconds=1 idle_settle=0

start_xvfb() {  # starts an Xvfb reachable over TCP from display $1 upwards; sets $started
  start_display "$1" Xvfb :N -ac -noreset -listen tcp -screen 0 1280x1024x24
}

start_xvfb 3200
sender=$started
start_display $((sender + 1)) "$server" :N --upstream ":$sender" -ac -nolisten tcp
tv=$started
server_pid=${pids[-1]}
receivers=()
next=$((tv + 1))
for _ in 1 2 3 4 5 6 7 8; do
  start_xvfb "$next"
  receivers+=("$started")
  next=$((started + 1))
done
rx=${receivers[0]}
hz=$(getconf CLK_TCK)

latency() {  # latency W H ARGS... -> "p50 p95 p99"
  bounded "$work/bench" latency "$@" | sed -n 's/.*p50_ms=\([^ ]*\) p95_ms=\([^ ]*\) p99_ms=\([^ ]*\).*/\1 \2 \3/p'
}

# The VNC peer: x11vnc serves the probe's window; a viewer shows it on the receiver.
vnc_latency() {  # W H EXTRA_X11VNC_OPTIONS...
  local w=$1 h=$2
  shift 2
  coproc BENCH { exec "${limited[@]}" "$work/bench" latency ":$sender" ":$rx" "$w" "$h" "$samples"; }
  local probe=$BENCH_PID line="" id vnc viewer=""
  pids+=("$probe")
  read -r -t 30 line <&"${BENCH[0]}" || true
  id=${line#window=}
  start_x11vnc ":$sender" "$id" "$@"
  [ -z "$vnc_port" ] || start_tight_viewer ":$rx" "$vnc_port"
  local result
  result=$(timeout "$run_limit" sed -n 's/.*p50_ms=\([^ ]*\) p95_ms=\([^ ]*\) p99_ms=\([^ ]*\).*/\1 \2 \3/p' <&"${BENCH[0]}" || true)
  stop $viewer "$vnc" "$probe"
  # The VNC peer is only a yardstick: in the quick run that `make test` makes, on a loaded machine,
  # it may show no sample in time, which says nothing about ours.
  if [ -z "$result" ]; then
    echo "bench: the VNC peer showed no sample" >&2
    [ "$quick" = 1 ] || touch "$work/failed"
  fi
  echo "$result"
}

echo "## Draw-to-visible latency ($samples samples each, milliseconds)"
echo
echo "| path | patch | p50 | p95 | p99 | p50 vs floor |"
echo "|---|---|---|---|---|---|"
for size in "64 64" "800 600"; do
  read -r w h <<<"$size"
  read -r f50 f95 f99 < <(latency ":$sender" "127.0.0.1:$rx" "$w" "$h" "$samples" direct)
  printf "| floor: PutImage straight onto the receiver | %sx%s | %s | %s | %s | 1.0x |\n" "$w" "$h" "$f50" "$f95" "$f99"
  read -r t50 t95 t99 < <(latency ":$tv" ":$rx" "$w" "$h" "$samples" share "127.0.0.1:$rx.0")
  awk -v a="$w" -v b="$h" -v p="$t50" -v q="$t95" -v r="$t99" -v f="$f50" \
    'BEGIN{printf "| telvane-server mirror | %sx%s | %s | %s | %s | %.1fx |\n", a, b, p, q, r, p/f}'
  if command -v x11vnc >/dev/null && command -v xtightvncviewer >/dev/null; then
    read -r v50 v95 v99 < <(vnc_latency "$w" "$h")
    awk -v a="$w" -v b="$h" -v p="$v50" -v q="$v95" -v r="$v99" -v f="$f50" -v t="$t50" \
      'BEGIN{printf "| x11vnc defaults + xtightvncviewer | %sx%s | %s | %s | %s | %.1fx (telvane %.1fx lower) |\n", a, b, p, q, r, p/f, p/t}'
    read -r v50 v95 v99 < <(vnc_latency "$w" "$h" -defer 0 -wait 5)
    awk -v a="$w" -v b="$h" -v p="$v50" -v q="$v95" -v r="$v99" -v f="$f50" -v t="$t50" \
      'BEGIN{printf "| x11vnc -defer 0 -wait 5 + xtightvncviewer | %sx%s | %s | %s | %s | %.1fx (telvane %.1fx lower) |\n", a, b, p, q, r, p/f, p/t}'
  fi
done

echo
echo "## Frame rate, 800x600 redrawn continuously for $fps_seconds s (a frame counts when all of it shows)"
echo
fps=$(bounded "$work/bench" fps ":$tv" ":$rx" "$fps_seconds" share "127.0.0.1:$rx.0" | sed -n 's/.*fps=\([^ ]*\).*/\1/p')
echo "telvane-server: $fps frames per second shown on the receiver (target >= 60)"

echo
echo "## Fan-out (64x64 patch, $fan_samples samples; a sample ends when the watched receivers show it)"
echo
echo "| receivers | watched | p50 ms | p99 ms | server CPU s | CPU s per receiver |"
echo "|---|---|---|---|---|---|"
fan_row() {  # fan_row K WATCHED_LABEL WATCHED_DISPLAYS
  local k=$1 label=$2 watch=$3 names=() r before after p50 p99
  for r in "${receivers[@]:0:$k}"; do names+=("127.0.0.1:$r.0"); done
  before=$(cpu_ticks "$server_pid")
  read -r p50 _ p99 < <(latency ":$tv" "$watch" 64 64 "$fan_samples" share "${names[@]}")
  after=$(cpu_ticks "$server_pid")
  awk -v k="$k" -v l="$label" -v a="$p50" -v c="$p99" -v t=$((after - before)) -v hz="$hz" \
    'BEGIN{printf "| %d | %s | %s | %s | %.2f | %.3f |\n", k, l, a, c, t/hz, t/hz/k}'
}
for k in 1 2 4 8; do
  fan_row "$k" "the last" ":${receivers[$((k - 1))]}"
done
all=$(printf ':%s,' "${receivers[@]}")
fan_row 8 "all 8" "${all%,}"

echo
echo "## Idle: a shared static window for $idle_seconds s"
echo
coproc HOLD { exec "${limited[@]}" "$work/bench" hold ":$tv" ":$rx" $((idle_seconds + idle_settle + 10)) share "127.0.0.1:$rx.0"; }
pids+=("$HOLD_PID")
read -r -t 60 _ <&"${HOLD[0]}" || true
sleep "$idle_settle"
before=$(cpu_ticks "$server_pid")
sleep "$idle_seconds"
after=$(cpu_ticks "$server_pid")
awk -v t=$((after - before)) -v hz="$hz" -v s="$idle_seconds" \
  'BEGIN{printf "telvane-server CPU over %d s: %.2f s = %.2f%% (target < 1%%)\n", s, t/hz, 100*t/hz/s}'
stop "$HOLD_PID"
