#!/usr/bin/env bash
# Start-up with a large private Default book against start-up without one, in the same
# runs: each clock starts when telvane is started and stops when its log says that it runs its
# loop, which is after the default list has been read. Three runs of each size, interleaved;
# medians. BEFORE=/path/to/an/older/telvane adds its column, measured the same way.
# Usage: bench/run-default-book.sh [BUILD_DIR] [LINES ...]   (defaults: build, 10000 100000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
[ $# -eq 0 ] && set -- 10000 100000
sizes=("$@")
source "$root/bench/lib.sh"

start_display 3400 Xvfb :N -nolisten tcp -noreset -screen 0 1024x768x24
up=$started
start_display $((up + 1)) "$build/server/telvane-server" :N --upstream ":$up" -ac
tv=$started

book() {  # a home folder whose Default book has $1 lines (none at all for 0)
  local home="$work/home-$1"
  mkdir -p "$home/.Telvane"
  printf '1 1 0 4 3 5 ' >"$home/.Telvane/.setup"
  # An empty book would be told about in a dialog; no book is the plain start-up.
  [ "$1" -eq 0 ] && { echo "$home"; return; }
  awk -v n="$1" 'BEGIN { for (i = 0; i < n; ++i)
    printf "10.%d.%d.%d:0 Host %d\n", int(i / 62500), int(i / 250) % 250, i % 250 + 1, i }' >"$home/.Telvane/Default"
  echo "$home"
}
started_in() {  # seconds from starting $1 with HOME=$2 until it runs its loop
  local program=$1 home=$2 log="$2/.Telvane/.logfile"
  rm -f "$log"
  local t0 t1
  t0=$(date +%s%N)
  DISPLAY=":$tv" HOME="$home" NLSPATH="$build/resources/%N.cat" "$program" >/dev/null 2>&1 &
  local pid=$! limit=$((t0 + run_limit * 1000000000))
  pids+=("$pid")
  until grep -q "Telepointer started" "$log" 2>/dev/null; do
    running "$pid" || { echo "telvane ended early" >&2; touch "$work/failed"; return 1; }
    [ "$(date +%s%N)" -lt "$limit" ] || { echo "telvane did not start in time" >&2; touch "$work/failed"; break; }
    sleep 0.005
  done
  t1=$(date +%s%N)
  stop "$pid"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }

programs=("$build/src/telvane")
[ -n "${BEFORE:-}" ] && programs+=("$BEFORE")
declare -A times
for n in 0 "${sizes[@]}"; do
  home=$(book "$n")
  for run in 1 2 3; do
    for p in "${!programs[@]}"; do times[$p,$n]+="$(started_in "${programs[$p]}" "$home") "; done
  done
done

echo "## Start-up with a Default book (median of 3 runs, seconds from start to a running loop)"
echo
table_head "| lines | telvane | telvane, the book alone (less start-up without one) |"
# shellcheck disable=SC2086
empty=$(median ${times[0,0]})
for n in 0 "${sizes[@]}"; do
  # shellcheck disable=SC2086
  t=$(median ${times[0,$n]})
  row="| $n | $t | $(awk -v a="$t" -v b="$empty" 'BEGIN { printf "%.3f", a - b }') |"
  # shellcheck disable=SC2086
  [ -n "${BEFORE:-}" ] && row+=" $(median ${times[1,$n]}) |"
  echo "$row"
done
