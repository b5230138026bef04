#!/usr/bin/env bash
# Telepointer drag-to-visible latency against draw-to-visible latency, measured in the same
# runs: receiver A drags a telepointer, a watcher on receiver B notes when B's mirror shows it.
# Three runs; each percentile is the median of the three. Prints a Markdown table.
# Usage: bench/run-telepointer.sh [BUILD_DIR] [DRAGS]   (defaults: build, 300)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
drags="${2:-300}"
source "$root/bench/lib.sh"

start_xvfb() {  # an Xvfb reachable over TCP from display $1 upwards; sets $started
  start_display "$1" Xvfb :N -ac -noreset -listen tcp -screen 0 1024x768x24
}
start_xvfb 3300
sender=$started
start_display $((sender + 1)) "$build/server/telvane-server" :N --upstream ":$sender" -ac -nolisten tcp
tv=$started
start_xvfb $((tv + 1))
a=$started
start_xvfb $((a + 1))
b=$started

runs=()
for run in 1 2 3; do
  runs+=("$(bounded "$build/bench/telepointer_bench" ":$tv" ":$a" ":$b" "127.0.0.1:$a.0" "127.0.0.1:$b.0" "$drags")")
done
median() {  # median of field $1 over the runs
  for r in "${runs[@]}"; do sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$r"; done | sort -g | sed -n 2p
}
d50=$(median drag_p50_ms) d95=$(median drag_p95_ms) d99=$(median drag_p99_ms)
r50=$(median draw_p50_ms) r95=$(median draw_p95_ms) r99=$(median draw_p99_ms)
echo "## Telepointer drag-to-visible ($drags drags a run, median of 3 runs, milliseconds)"
echo
echo "| what | p50 | p95 | p99 |"
echo "|---|---|---|---|"
echo "| draw-to-visible, 25x25 PutImage (baseline) | $r50 | $r95 | $r99 |"
echo "| telepointer drag-to-visible | $d50 | $d95 | $d99 |"
echo
awk -v d="$d50" -v r="$r50" 'BEGIN{printf "drag p50 = %.2fx draw p50 (target <= 3x) and %s ms (target <= 5 ms)\n", d/r, d}'
for r in "${runs[@]}"; do echo "run: $r"; done
