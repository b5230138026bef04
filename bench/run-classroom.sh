#!/usr/bin/env bash
# A classroom: one 800x600 window shared to 1, 8 and 32 receivers, redrawn whole as fast as the
# last receiver shows each frame, in solid colours, in random pixels XOR a new colour (no fill
# applies), and in a photograph-like scene XOR a new colour: that one through the receivers'
# telvane-consent (one for every 4 receivers, on addresses of the run's own), where it travels as
# encoded pictures, one encoding for all. Per run a fresh telvane-server; its processor time (user + system) per frame shown on
# every receiver, its peak memory, and the draw-to-visible latency at one receiver; telvane-server
# before (built here from git, BASE_REV, default main) and now, in the same rounds. The receivers'
# Xvfb run under nice 19, so that the server is what is measured. Medians of ROUNDS runs, Markdown
# tables on standard output.
# Usage: bench/run-classroom.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 3)
# With BEFORE=/path/to/telvane-server, that binary is "before" instead of one built from BASE_REV.
# QUICK=1: 1 and 2 receivers, half a second a run, one round, 5 latency samples. KINDS picks the
# frames (default "solid noise photo").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
rounds="${2:-3}"
base_rev="${BASE_REV:-main}"
source "$root/bench/lib.sh"
seconds=${RUN_SECONDS:-6} counts=(${COUNTS:-1 8 32}) latency_samples=300 kinds=(${KINDS:-solid noise photo})
[ "$quick" = 1 ] && seconds=0.5 counts=(1 2) latency_samples=5 rounds=1
before="${BEFORE:-}"
[ -n "$before" ] || build_before "$base_rev"
declare -A servers=([before]="$before" [after]="$build/server/telvane-server")
cp "$build/bench/replication_bench" "$work/bench"
hz=$(getconf CLK_TCK)

start_display 3400 Xvfb :N -ac -noreset -listen tcp -screen 0 1024x768x24
sender=$started
receivers=()
next=$((sender + 1))
for _ in $(seq 1 "${counts[-1]}"); do
  start_display "$next" nice -n 19 Xvfb :N -ac -noreset -listen tcp -screen 0 1024x768x24
  receivers+=("$started")
  next=$((started + 1))
done
peak_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
# The receivers' hosts for photographs: a telvane-consent (which takes 4 links from one sender)
# for every 4 receivers, each on an address of its own.
services=()
if [[ " ${kinds[*]} " == *" photo "* ]]; then
  hosts=$(( (${counts[-1]} + 3) / 4 ))
  private_net $(seq 1 "$hosts")
  for s in $(seq 1 "$hosts"); do
    start_consent "$build/consent/telvane-consent" "$net.$s" "$work/receiver-$s" "$work/consent-$s.log"
    services+=("$work/consent-$s.log")
  done
fi
relayed() { cat "${services[@]}" /dev/null | grep -c "relayed to display" || true; }   # links made so far

# One run: a fresh server (which) shares the probe's window to the first K receivers; the probe
# draws KIND frames for $seconds s. Appends "cpu_ms_per_frame frames_per_s peak_MB" to
# $work/which-K-KIND.
classroom() {  # which K KIND
  local which=$1 k=$2 kind=$3 names=() watch="" r pid probe line="" t0 t1 frames=""
  start_display $((next + 1)) "${servers[$which]}" :N --upstream ":$sender" -ac -nolisten tcp
  local tv=$started
  pid=${pids[-1]}
  local j=0 links
  for r in "${receivers[@]:0:$k}"; do
    if [ "$kind" = photo ]; then names+=("$net.$((j / 4 + 1)):$r.0"); else names+=("127.0.0.1:$r.0"); fi
    watch+=":$r,"
    j=$((j + 1))
  done
  links=$(relayed)
  coproc PROBE { exec "${limited[@]}" "$work/bench" "classroom-$kind" ":$tv" "${watch%,}" "$seconds" share "${names[@]}"; }
  probe=$PROBE_PID
  pids+=("$probe")
  # Counting starts once every receiver shows the window.
  while read -r -t 300 line <&"${PROBE[0]}"; do case "$line" in shown_ms=*) break ;; esac; done
  t0=$(cpu_ticks "$pid")
  read -r -t 300 line <&"${PROBE[0]}" || true
  t1=$(cpu_ticks "$pid")
  frames=$(sed -n 's/^classroom frames=//p' <<<"$line")
  if [ "$kind" = photo ] && [ $(( $(relayed) - links )) -ne "$k" ]; then
    echo "bench: $which's photographs did not all go through the receivers' services ($k receivers)" >&2
    touch "$work/failed"
  fi
  if [ -z "$frames" ] || [ "$frames" -eq 0 ]; then
    echo "bench: no frame showed ($which, $k receivers, $kind)" >&2
    touch "$work/failed"
    frames=1
  fi
  awk -v t=$((t1 - t0)) -v hz="$hz" -v f="$frames" -v s="$seconds" -v m="$(peak_kib "$pid")" \
    'BEGIN{printf "%.3f %.1f %.1f\n", 1000 * t / hz / f, f / s, m / 1024}' >>"$work/$which-$k-$kind"
  stop "$probe" "$pid"
}
latency() {  # which: appends the p50 at one receiver, 800x600 patches, to $work/which-latency
  local which=$1
  start_display $((next + 1)) "${servers[$which]}" :N --upstream ":$sender" -ac -nolisten tcp
  local tv=$started pid=${pids[-1]}
  bounded "$work/bench" latency ":$tv" ":${receivers[0]}" 800 600 "$latency_samples" share "127.0.0.1:${receivers[0]}.0" |
    sed -n 's/.*p50_ms=\([^ ]*\).*/\1/p' >>"$work/$which-latency"  || true
  stop "$pid"
}

# Rounds interleave everything, so that the machine's drift falls on both builds alike.
for _ in $(seq 1 "$rounds"); do
  for which in before after; do
    for kind in "${kinds[@]}"; do
      for k in "${counts[@]}"; do classroom "$which" "$k" "$kind"; done
    done
    latency "$which"
  done
done

col() { cut -d' ' -f"$2" "$work/$1" | median; }
echo "## Fan-out to a classroom, 800x600 ($seconds s a run, median of $rounds runs; CPU = telvane-server user + system)"
echo
echo "| frames | receivers | before: frames/s | before: CPU ms/frame | before: vs 1 | now: frames/s | now: CPU ms/frame | now: vs 1 |"
echo "|---|---|---|---|---|---|---|---|"
for kind in "${kinds[@]}"; do
  case "$kind" in
    solid) label="solid colour" ;;
    noise) label="noise XOR a new colour" ;;
    *) label="photograph XOR a new colour, through telvane-consent" ;;
  esac
  for k in "${counts[@]}"; do
    awk -v l="$label" -v k="$k" -v bf="$(col "before-$k-$kind" 2)" -v bc="$(col "before-$k-$kind" 1)" \
      -v b1="$(col "before-1-$kind" 1)" -v af="$(col "after-$k-$kind" 2)" -v ac="$(col "after-$k-$kind" 1)" \
      -v a1="$(col "after-1-$kind" 1)" \
      'BEGIN{printf "| %s | %d | %s | %s | %.2fx | %s | %s | %.2fx |\n", l, k, bf, bc, bc/b1, af, ac, ac/a1}'
  done
done
echo
if [[ " ${kinds[*]} " == *" photo "* ]]; then
  echo "| target for photographs (now) | measured | met |"
  echo "|---|---|---|"
  for k in "${counts[@]}"; do
    case "$k" in 8) limit=1.5 ;; 32) limit=2.5 ;; *) continue ;; esac
    awk -v k="$k" -v l="$limit" -v a="$(col "after-$k-photo" 1)" -v a1="$(col "after-1-photo" 1)" 'BEGIN{
      printf "| CPU a frame for %d receivers at most %sx that for one | %.2fx | %s |\n", k, l, a / a1, (a <= l * a1 ? "yes" : "no")}'
  done
  echo
fi
heavy=noise   # the frames whose memory is shown: noise where it ran, else the last kind
[[ " ${kinds[*]} " == *" noise "* ]] || heavy=${kinds[-1]}
echo "## Peak memory of telvane-server (VmHWM, MB, median of the runs; $heavy frames)"
echo
echo "| receivers | before | now | now vs 1 receiver |"
echo "|---|---|---|---|"
for k in "${counts[@]}"; do
  awk -v k="$k" -v b="$(col "before-$k-$heavy" 3)" -v a="$(col "after-$k-$heavy" 3)" -v a1="$(col "after-1-$heavy" 3)" \
    'BEGIN{printf "| %d | %s | %s | %.2fx |\n", k, b, a, a/a1}'
done
echo
echo "## Draw-to-visible latency at one receiver (800x600 patches, $latency_samples samples, p50 ms, median of $rounds runs)"
echo
echo "| before | now | now vs before |"
echo "|---|---|---|"
awk -v b="$(median <"$work/before-latency")" -v a="$(median <"$work/after-latency")" \
  'BEGIN{printf "| %s | %s | %.2fx |\n", b, a, a/b}'
