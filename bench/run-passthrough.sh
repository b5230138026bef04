#!/usr/bin/env bash
# Measures telvane-server's pass-through cost against a direct connection, a bare socat relay
# and xtrace, in one run, and prints Markdown tables of the medians and their ratios.
# Rounds are interleaved (every path once per round) so that the machine's drift falls on all
# paths alike. Usage: bench/run-passthrough.sh [BUILD_DIR] [ROUNDS] [X11PERF_SECONDS]
# (defaults: build, 3 rounds, 2 s per x11perf test). With BEFORE=/path/to/telvane-server, an
# earlier build is measured in the same rounds as a fifth path, "before". QUICK=1 runs each
# program a few times only (x11perf a fixed 10 repetitions), to see the script through.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
rounds="${2:-3}"
secs="${3:-2}"
server="$build/server/telvane-server"
source "$root/bench/lib.sh"
sockets=()
trap 'rm -f "${sockets[@]}"; cleanup' EXIT
bench_args=() perf_args=(-time "$secs") perf_text="$secs s"
[ "$quick" = 1 ] && bench_args=(100 2) perf_args=(-reps 10) perf_text="10 repetitions"

cp "$build/bench/passthrough_bench" "$work/bench"

start_display 3100 Xvfb :N -ac -nolisten tcp -screen 0 1024x768x24
up=$started
start_display $((up + 1)) "$server" :N --upstream ":$up" -ac -nolisten tcp
tv=$started

last=$tv
if [ -n "${BEFORE:-}" ]; then
  start_display $((tv + 1)) "$BEFORE" :N --upstream ":$up" -ac -nolisten tcp
  old=$started
  last=$old
fi

claim $((last + 1))
relay=$claimed
sockets+=("/tmp/.X11-unix/X$relay")
socat "UNIX-LISTEN:/tmp/.X11-unix/X$relay,fork" "UNIX-CONNECT:/tmp/.X11-unix/X$up" & pids+=($!)
wait_display ":$relay"

# xtrace makes its own socket and does not remove it when killed.
claim $((relay + 1))
xt=$claimed
sockets+=("/tmp/.X11-unix/X$xt")
xtrace -n -k -d ":$up" -D ":$xt" -o /dev/null >/dev/null 2>&1 & pids+=($!)
wait_display ":$xt"

median() { sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
display_of() { case $1 in direct) echo ":$up";; telvane) echo ":$tv";; socat) echo ":$relay";; xtrace) echo ":$xt";; before) echo ":$old";; esac; }

paths=(direct telvane socat xtrace)
perfpaths=(direct telvane socat)
if [ -n "${BEFORE:-}" ]; then paths+=(before); perfpaths+=(before); fi
tests=(noop putimage10 putimage500 getimage500 rect10 seg10 ftext copywinwin10 shmput500)
for r in $(seq 1 "$rounds"); do
  for p in "${paths[@]}"; do
    read -r rt b < <(bounded "$work/bench" "$(display_of "$p")" "${bench_args[@]}" | sed 's/rtt_us=//; s/bulk_mb_s=//')
    echo "$rt" >>"$work/rtt.$p"; echo "$b" >>"$work/bulk.$p"
  done
  for t in "${tests[@]}"; do
    for p in "${perfpaths[@]}"; do
      bounded x11perf -display "$(display_of "$p")" -repeat 1 "${perf_args[@]}" "-$t" 2>/dev/null |
        grep -oE '\([ 0-9.]+/sec\)' | tr -d '(/sec) ' >>"$work/x.$t.$p" || echo 0 >>"$work/x.$t.$p"
    done
  done
done

m() { median <"$work/$1"; }
echo "Round trip and 1 MB PutImage throughput, median of $rounds rounds:"
echo
echo "| path | round trip (us) | vs direct | bulk (MB/s) | vs direct |"
echo "|---|---|---|---|---|"
for p in "${paths[@]}"; do
  awk -v n="$p" -v r="$(m rtt.$p)" -v b="$(m bulk.$p)" -v dr="$(m rtt.direct)" -v db="$(m bulk.direct)" \
    'BEGIN{printf "| %s | %.2f | %.2fx | %.0f | %.2fx |\n", n, r, r/dr, b, b/db}'
done
echo
echo "x11perf, operations per second, median of $rounds rounds of $perf_text:"
echo
if [ -n "${BEFORE:-}" ]; then
  echo "| test | direct | telvane | socat | before | telvane/direct | telvane/socat | before/direct |"
  echo "|---|---|---|---|---|---|---|---|"
else
  echo "| test | direct | telvane | socat | telvane/direct | telvane/socat |"
  echo "|---|---|---|---|---|---|"
fi
for t in "${tests[@]}"; do
  b=""; [ -n "${BEFORE:-}" ] && b=$(m "x.$t.before")
  awk -v t="$t" -v d="$(m x.$t.direct)" -v v="$(m x.$t.telvane)" -v s="$(m x.$t.socat)" -v b="$b" \
    'BEGIN{printf "| %s | %.0f | %.0f | %.0f |", t, d, v, s
           if (b != "") printf " %.0f |", b
           printf " %.2f | %.2f |", (d>0)?v/d:0, (s>0)?v/s:0
           if (b != "") printf " %.2f |", (d>0)?b/d:0
           printf "\n"}'
done
echo
awk -v t="$(m rtt.telvane)" -v s="$(m rtt.socat)" -v tb="$(m bulk.telvane)" -v db="$(m bulk.direct)" -v xb="$(m bulk.xtrace)" \
  'BEGIN{printf "telvane round trip / socat relay: %.2fx (target <= 1.15)\ntelvane bulk / direct: %.2fx\ntelvane bulk / xtrace: %.2fx\n", t/s, tb/db, tb/xb}'
