#!/usr/bin/env bash
# Measures telvane-server's pass-through cost against a direct connection, a bare socat relay
# and xtrace, in one run, and prints a Markdown table of the results and their ratios.
# Usage: bench/run-passthrough.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3 rounds; best round counts)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
rounds="${2:-3}"
server="$build/server/telvane-server"
source "$root/bench/lib.sh"

cp "$build/bench/passthrough_bench" "$work/bench"


up=$(free_display 3100)
exec 3>"$work/up.fd"
Xvfb ":$up" -ac -nolisten tcp -screen 0 1024x768x24 -displayfd 3 >/dev/null 2>&1 & pids+=($!)
exec 3>&-
wait_display ":$up"

tv=$(free_display $((up + 1)))
"$server" ":$tv" --upstream ":$up" -ac -nolisten tcp 2>/dev/null & pids+=($!)
wait_display ":$tv"

relay=$(free_display $((tv + 1)))
socat "UNIX-LISTEN:/tmp/.X11-unix/X$relay,fork,unlink-early" "UNIX-CONNECT:/tmp/.X11-unix/X$up" & pids+=($!)
touch "/tmp/.X$relay-lock"
wait_display ":$relay"

xt=$(free_display $((relay + 1)))
xtrace -n -k -d ":$up" -D ":$xt" -o /dev/null >/dev/null 2>&1 & pids+=($!)
wait_display ":$xt"

declare -A rtt bulk
for name in direct telvane socat xtrace; do
  case $name in direct) d=":$up";; telvane) d=":$tv";; socat) d=":$relay";; xtrace) d=":$xt";; esac
  best_rtt=""; best_bulk=""
  for _ in $(seq 1 "$rounds"); do
    read -r r b < <("$work/bench" "$d" | sed 's/rtt_us=//; s/bulk_mb_s=//')
    if [ -z "$best_rtt" ] || awk "BEGIN{exit !($r < $best_rtt)}"; then best_rtt=$r; fi
    if [ -z "$best_bulk" ] || awk "BEGIN{exit !($b > $best_bulk)}"; then best_bulk=$b; fi
  done
  rtt[$name]=$best_rtt; bulk[$name]=$best_bulk
done
rm -f "/tmp/.X$relay-lock" "/tmp/.X11-unix/X$relay"

echo "| path | round trip (us) | vs direct | bulk (MB/s) | vs direct |"
echo "|---|---|---|---|---|"
for name in direct telvane socat xtrace; do
  awk -v n="$name" -v r="${rtt[$name]}" -v b="${bulk[$name]}" -v dr="${rtt[direct]}" -v db="${bulk[direct]}" \
    'BEGIN{printf "| %s | %.2f | %.2fx | %.0f | %.2fx |\n", n, r, r/dr, b, b/db}'
done
echo
awk -v t="${rtt[telvane]}" -v s="${rtt[socat]}" -v tb="${bulk[telvane]}" -v db="${bulk[direct]}" -v xb="${bulk[xtrace]}" \
  'BEGIN{printf "telvane round trip / socat relay: %.2fx (target <= 1.15)\ntelvane bulk / direct: %.2fx (target >= 0.5)\ntelvane bulk / xtrace: %.2fx (target >= 2)\n", t/s, tb/db, tb/xb}'
