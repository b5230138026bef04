#!/usr/bin/env bash
# Both roads from telvane-server to a receiver, in one run: the gateway (an encrypted, compressed
# link to the receiver host's telvane-consent, which relays to its Xvfb through the unix socket)
# and the direct road (X11 over TCP to the receiver's Xvfb). Measures, each the median of RUNS
# runs with the roads taken in turn: draw-to-visible p50 on loopback and through the byte relay
# holding each direction DELAY_MS (25) back; bytes on the wire for the four workloads of
# run-bytes.sh, with x11vnc beside them; processor time per frame of telvane-server and of the
# receiver's telvane-consent under continuous 800x600 redraw; the time from Share to the mirror
# shown. Markdown tables on standard output.
# Usage: bench/run-gateway.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
# PARTS picks what runs (default "latency bytes cpu share memory"), WORKLOADS the byte workloads
# (default "typing scroll xclock noise"); VNC=0 leaves x11vnc out. The receiver host is a few
# addresses of 127.0.0.0/8 of this run's own; nothing may listen on port 34591 of every address
# (a telvane-consent with its default --link-listen), or the direct road would find it.
# QUICK=1: a few samples, seconds. BEFORE=OTHER_BUILD adds a third road in the same run: the
# gateway of another build's telvane-server and telvane-consent, side by side with this build's,
# and a table of before and after.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${2:-3}"
source "$root/bench/lib.sh"
parts="${PARTS:-latency bytes cpu share memory}"
workloads="${WORKLOADS:-typing scroll xclock noise}"
delay_ms="${DELAY_MS:-25}"
clock_seconds="${CLOCK_SECONDS:-30}"
samples=300 far_samples=100 typed=200 quiet_ticks=10 fps_seconds=10 load_seconds=10 links=32
[ "$quick" = 1 ] && samples=5 far_samples=3 typed=20 quiet_ticks=3 fps_seconds=1 clock_seconds=1 load_seconds=1
rtt_ms=$((2 * delay_ms))
server="$build/server/telvane-server"
consent="${CONSENT:-$build/consent/telvane-consent}"   # CONSENT: another build's, for a before and after
tool="$build/bench/bytes_bench"
probe="$build/bench/replication_bench"
hz=$(getconf CLK_TCK)

# The receiver host's addresses: .1 its telvane-consent, .2 the relay in front of its link port,
# .3 where only its X server answers (nothing on 34591, so the server goes the plain road), .4 a
# telvane-consent of its own for the memory part, which many senders reach from .10 on; .5 the
# other build's telvane-consent and .6 the relay in front of it.
private_net 1 2 3 4 5 6
addr_c=$net.1 addr_g=$net.2 addr_d=$net.3 addr_b=$net.5
before="${BEFORE:-}"

start_display 3400 Xvfb :N -ac -noreset -nolisten tcp -screen 0 1280x1024x24
sender=$started
start_display $((sender + 1)) Xvfb :N -ac -noreset -listen tcp -screen 0 1280x1024x24
rx=$started
claim $((rx + 1))   # the direct road's relay stands in for this display
relay_display=$claimed
mkdir -p "$work/sender"
start_display $((relay_display + 1)) env HOME="$work/sender" XAUTHORITY="$work/sender/.Xauthority" \
  "$server" :N --upstream ":$sender" -ac -nolisten tcp --trace "$work/trace"
tv=$started
server_pid=${pids[-1]}
start_consent "$consent" "$addr_c" "$work/receiver" "$work/consent.log"
consent_pid=$service_pid
roads="direct gateway"
if [ -n "$before" ]; then
  roads="direct gateway before"
  mkdir -p "$work/sender-before"
  start_display $((tv + 1)) env HOME="$work/sender-before" XAUTHORITY="$work/sender-before/.Xauthority" \
    "$before/server/telvane-server" :N --upstream ":$sender" -ac -nolisten tcp --trace "$work/trace.before"
  tv_before=$started
  server_before_pid=${pids[-1]}
  start_consent "$before/consent/telvane-consent" "$addr_b" "$work/receiver-before" "$work/consent-before.log"
  consent_before_pid=$service_pid
fi

# Sets up road $1 (gateway, direct, before) over $2: loopback (nothing between), relay (the
# counting relay) or delayed (the relay holding each direction $delay_ms back). Sets $name, the
# receiver to share to, $via, the display of the telvane-server that shares, and $relay ("" on
# loopback).
open_road() {
  local opts=()
  relay=""
  via=$tv
  [ "$1" = before ] && via=$tv_before
  [ "$2" = delayed ] && opts=(--delay-ms "$delay_ms")
  case "$1/$2" in
    gateway/loopback) name="$addr_c:$rx.0" ;;
    before/loopback) name="$addr_b:$rx.0" ;;
    direct/loopback) name="$addr_d:$rx.0" ;;
    gateway/*) start_relay "$addr_g:34591" "$addr_c:34591" "${opts[@]}"; name="$addr_g:$rx.0" ;;
    before/*) start_relay "$net.6:34591" "$addr_b:34591" "${opts[@]}"; name="$net.6:$rx.0" ;;
    direct/*) start_relay "$addr_d:$((6000 + relay_display))" "127.0.0.1:$((6000 + rx))" "${opts[@]}"
      name="$addr_d:$relay_display.0" ;;
  esac
}
close_road() { [ -z "$relay" ] || stop "$relay"; }
# Whether the last share to $name went road $1: a figure of the wrong road fails the run.
went() {
  if [ "$1" = before ]; then check_road gateway "$work/trace.before" "$name"; else check_road "$1" "$work/trace" "$name"; fi
}

# --- draw-to-visible ---------------------------------------------------------------------------
if [[ " $parts " == *" latency "* ]]; then
  echo "## Draw-to-visible p50, gateway vs direct (ms, median of $runs runs; $samples samples a run on loopback, $far_samples at ${rtt_ms} ms)"
  echo
  echo "| patch | network | direct | gateway | gateway - direct | gateway / direct | target | met |"
  echo "|---|---|---|---|---|---|---|---|"
  for net_kind in loopback delayed; do
    n=$samples
    [ "$net_kind" = delayed ] && n=$far_samples
    for size in "64 64" "800 600"; do
      read -r w h <<<"$size"
      rm -f "$work"/p50.*
      for _ in $(seq 1 "$runs"); do
        for road in $roads; do
          open_road "$road" "$net_kind"
          bounded "$probe" latency ":$via" ":$rx" "$w" "$h" "$n" share "$name" | field p50_ms >>"$work/p50.$road" || true
          went "$road"
          close_road
        done
      done
      d=$(median <"$work/p50.direct")
      g=$(median <"$work/p50.gateway")
      [ -n "$before" ] && echo "draw-to-visible p50, ${w}x$h, $net_kind (ms)|$(median <"$work/p50.before")|$g|$([ "$net_kind" = loopback ] && echo +0.1 || echo -)|$net_kind" >>"$work/versus"
      awk -v s="${w}x$h" -v k="$net_kind" -v d="$d" -v g="$g" -v r="$rtt_ms" 'BEGIN{
        if (k == "loopback") { net = "loopback"; tgt = "<= direct + 0.5"; ok = g <= d + 0.5 }
        else { net = r " ms round trip"; tgt = "<= 1.05x direct"; ok = g <= 1.05 * d }
        printf "| %s | %s | %.3f | %.3f | %+.3f | %.3f | %s | %s |\n", s, net, d, g, g - d, (d > 0 ? g / d : 0), tgt, (ok ? "yes" : "no")}'
    done
  done
  echo
fi

# --- bytes on the wire --------------------------------------------------------------------------
settle() {  # until the relay's count stops growing for a second (at most a minute); a ticking
  # clock never falls quiet, so it is cut at a time
  local last now quiet=0
  if [ "$1" = xclock ]; then sleep 2; return; fi
  last=$(cat "$work/count" 2>/dev/null || true)
  for _ in $(seq 1 600); do
    sleep 0.1
    now=$(cat "$work/count" 2>/dev/null || true)
    if [ "$now" = "$last" ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -ge "$quiet_ticks" ] && return 0
    else
      quiet=0
      last=$now
    fi
  done
}
# One workload $2 on road $1 (gateway, direct, x11vnc): appends "towards the receiver, back" to
# $work/bytes.$1, counted from the start of the workload until its link falls quiet.
bytes_once() {
  local road=$1 workload=$2 share vnc="" viewer="" t0 b0 to back
  rm -f "$work/go"
  if [ "$road" = x11vnc ]; then
    start_app "$workload" ":$sender"
    # The relay listens on a port that the kernel found free.
    start_x11vnc ":$sender" "$app_window"
    local free
    free=$(free_port)
    start_relay "127.0.0.1:$free" "127.0.0.1:${vnc_port:-0}"
    start_tight_viewer ":$rx" "$free"
    sleep 2
    to=2 back=1   # the VNC server is the relay's target
  else
    open_road "$road" relay
    share_app "$workload" ":$via" "$name"
    went "$road"
    to=1 back=2
  fi
  settle "$workload"
  t0=$(count "$to") b0=$(count "$back")
  run_workload "$workload" ":$([ "$road" = x11vnc ] && echo "$sender" || echo "$via")"
  settle "$workload"
  echo "$(( $(count "$to") - t0 )) $(( $(count "$back") - b0 ))" >>"$work/bytes.$road"
  if [ "$road" = x11vnc ]; then stop "$app_pid" "$viewer" "$vnc" "$relay"; else stop "$app_pid" "$share" "$relay"; fi
}
if [[ " $parts " == *" bytes "* ]]; then
  have_vnc=""
  [ "${VNC:-1}" = 1 ] && command -v x11vnc >/dev/null && command -v xtightvncviewer >/dev/null && have_vnc=1
  echo "## Bytes on the wire per workload (median of $runs runs)"
  echo
  echo "Towards the receiver, TLS records included; in brackets, both directions."
  echo
  echo "| workload | direct | gateway | gateway / direct | x11vnc + xtightvncviewer | target | met |"
  echo "|---|---|---|---|---|---|---|"
  for workload in $workloads; do
    rm -f "$work"/bytes.*
    for _ in $(seq 1 "$runs"); do
      for road in $roads ${have_vnc:+x11vnc}; do bytes_once "$road" "$workload"; done
    done
    declare -A towards=() both=()
    for road in direct gateway before x11vnc; do
      touch "$work/bytes.$road"   # none for x11vnc when it is left out: n/a
      towards[$road]=$(awk '{print $1}' "$work/bytes.$road" | median)
      both[$road]=$(awk '{print $1 + $2}' "$work/bytes.$road" | median)
    done
    what=$(workload_text "$workload")
    awk -v what="$what" -v k="$workload" -v d="${towards[direct]}" -v g="${towards[gateway]}" -v v="${towards[x11vnc]}" \
      -v db="${both[direct]}" -v gb="${both[gateway]}" -v vb="${both[x11vnc]}" -v typed="$typed" 'BEGIN{
        tgt = "-"; ok = "-"
        if (k == "typing") { tgt = "<= 50 a character"; ok = (g / typed <= 50 ? "yes" : "no") ", " sprintf("%.1f", g / typed) " (direct " sprintf("%.1f", d / typed) ")" }
        if (k == "xclock") { tgt = "<= 0.5x direct"; ok = (g <= 0.5 * d ? "yes" : "no") }
        if (k == "noise") { tgt = "<= 1.02x direct"; ok = (g <= 1.02 * d ? "yes" : "no") }
        printf "| %s | %s (%s) | %s (%s) | %.3f | %s (%s) | %s | %s |\n", what, d, db, g, gb, (d > 0 ? g / d : 0), v, vb, tgt, ok}'
    [ -n "$before" ] && echo "bytes towards the receiver, $what|${towards[before]}|${towards[gateway]}|1.0x|bytes" >>"$work/versus"
  done
  echo
fi

# --- processor time per frame -------------------------------------------------------------------
if [[ " $parts " == *" cpu "* ]]; then
  echo "## Processor time per frame, 800x600 redrawn continuously for $fps_seconds s on loopback (median of $runs runs)"
  echo
  echo "User + system time over the run divided by the frames drawn, in ms; the receiver's"
  echo "telvane-consent has nothing to do on the direct road."
  echo
  echo "| frames | road | frames shown a second | telvane-server ms a frame | telvane-consent ms a frame | sender vs direct | target | met |"
  echo "|---|---|---|---|---|---|---|---|"
  for kind in fps fps-noise; do
    rm -f "$work"/cpu.*
    for _ in $(seq 1 "$runs"); do
      for road in $roads; do
        open_road "$road" loopback
        sp=$server_pid cp=$consent_pid
        [ "$road" = before ] && sp=$server_before_pid cp=$consent_before_pid
        s0=$(cpu_ticks "$sp") c0=$(cpu_ticks "$cp")
        line=$(bounded "$probe" "$kind" ":$via" ":$rx" "$fps_seconds" share "$name" | tail -n 1 || true)
        s1=$(cpu_ticks "$sp") c1=$(cpu_ticks "$cp")
        went "$road"
        drawn=$(field drawn <<<"$line")
        fps=$(field fps <<<"$line")
        [ -n "$drawn" ] && [ "$drawn" -gt 0 ] || { touch "$work/failed"; drawn=1; fps=0; }
        awk -v s=$((s1 - s0)) -v c=$((c1 - c0)) -v n="$drawn" -v hz="$hz" -v f="$fps" \
          'BEGIN{printf "%.4f %.4f %s\n", 1000 * s / hz / n, 1000 * c / hz / n, f}' >>"$work/cpu.$road"
      done
    done
    what="one colour"
    [ "$kind" = fps-noise ] && what="random pixels"
    ds=$(awk '{print $1}' "$work/cpu.direct" | median)
    if [ -n "$before" ]; then
      echo "telvane-consent ms a frame, $what|$(awk '{print $2}' "$work/cpu.before" | median)|$(awk '{print $2}' "$work/cpu.gateway" | median)|$([ "$kind" = fps-noise ] && echo 1.1x || echo -)|cpu" >>"$work/versus"
      echo "telvane-server ms a frame, $what|$(awk '{print $1}' "$work/cpu.before" | median)|$(awk '{print $1}' "$work/cpu.gateway" | median)|-|cpu" >>"$work/versus"
    fi
    for road in direct gateway; do
      s=$(awk '{print $1}' "$work/cpu.$road" | median)
      c=$(awk '{print $2}' "$work/cpu.$road" | median)
      f=$(awk '{print $3}' "$work/cpu.$road" | median)
      awk -v what="$what" -v r="$road" -v s="$s" -v c="$c" -v f="$f" -v d="$ds" 'BEGIN{
        ratio = (d > 0 ? sprintf("%.2fx", s / d) : "n/a")
        tgt = (r == "gateway" ? "<= 1.5x direct" : "-")
        ok = (r == "gateway" ? (d > 0 && s <= 1.5 * d ? "yes" : "no") : "-")
        printf "| %s | %s | %s | %.3f | %s | %s | %s | %s |\n", what, r, f, s, (r == "direct" ? "-" : sprintf("%.3f", c)), ratio, tgt, ok}'
    done
  done
  echo
fi

# --- Share to the mirror shown ------------------------------------------------------------------
if [[ " $parts " == *" share "* ]]; then
  echo "## From Share to the mirror shown (ms, median of $runs runs)"
  echo
  echo "| network | direct | gateway | gateway - direct | in round trips | target | met |"
  echo "|---|---|---|---|---|---|---|"
  for net_kind in loopback delayed; do
    rm -f "$work/shown.direct" "$work/shown.gateway"
    for _ in $(seq 1 "$runs"); do
      for road in direct gateway; do
        open_road "$road" "$net_kind"
        bounded "$probe" hold ":$tv" ":$rx" 0 share "$name" | field shown_ms >>"$work/shown.$road" || true
        went "$road"
        close_road
      done
    done
    d=$(median <"$work/shown.direct")
    g=$(median <"$work/shown.gateway")
    awk -v k="$net_kind" -v d="$d" -v g="$g" -v r="$rtt_ms" 'BEGIN{
      if (k == "loopback") { net = "loopback"; trips = "-"; tgt = "-"; ok = "-" }
      else { net = r " ms round trip"; trips = sprintf("%.2f", (g - d) / r); tgt = "<= direct + 2 round trips"; ok = (g <= d + 2 * r ? "yes" : "no") }
      printf "| %s | %.1f | %.1f | %+.1f | %s | %s | %s |\n", net, d, g, g - d, trips, tgt, ok}'
  done
  echo
fi

# --- the receiver's service under many links -----------------------------------------------------
kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
if [[ " $parts " == *" memory "* ]]; then
  echo "## telvane-consent's memory, $links links streaming random 800x600 pictures at once for $load_seconds s (MB, median of $runs runs)"
  echo
  echo "Each run a fresh service: its resident memory idle, at its peak, and once every link has ended."
  echo
  echo "| idle | peak | after | peak target | after target | met |"
  echo "|---|---|---|---|---|---|"
  rm -f "$work/mem"
  for _ in $(seq 1 "$runs"); do
    start_consent "$consent" "$net.4" "$work/receiver" "$work/mem.log"
    mem_pid=$service_pid
    idle=$(kb "$mem_pid" VmRSS)
    HOME="$work/sender" bounded "$build/bench/link_load" "$net.4:34591" "$rx" "$links" "$load_seconds" "$net.10" 4 >/dev/null
    for _ in $(seq 1 200); do [ "$(grep -c " ended" "$work/mem.log")" -ge "$links" ] && break; sleep 0.05; done
    echo "$idle $(kb "$mem_pid" VmHWM) $(kb "$mem_pid" VmRSS)" >>"$work/mem"
    stop "$mem_pid"
  done
  i=$(awk '{print $1}' "$work/mem" | median) p=$(awk '{print $2}' "$work/mem" | median) a=$(awk '{print $3}' "$work/mem" | median)
  awk -v i="$i" -v p="$p" -v a="$a" 'BEGIN{
    ok = (p <= 256 * 1024 && a <= i + 16 * 1024)
    printf "| %.1f | %.1f | %.1f | <= 256 | <= idle + 16 | %s |\n", i / 1024, p / 1024, a / 1024, (ok ? "yes" : "no")}'
  echo
fi

# --- before and after -----------------------------------------------------------------------------
if [ -n "$before" ] && [ -s "$work/versus" ]; then
  echo "## This build's gateway against $before's, in the same runs (medians of $runs)"
  echo
  echo "| figure | before | after | after - before | after / before | target | met |"
  echo "|---|---|---|---|---|---|---|"
  while IFS='|' read -r what b a target kind; do
    awk -v w="$what" -v b="$b" -v a="$a" -v t="$target" 'BEGIN{
      if (t == "+0.1") { tgt = "<= before + 0.1"; ok = (a <= b + 0.1 ? "yes" : "no") }
      else if (t == "1.1x") { tgt = "<= 1.1x before"; ok = (a <= 1.1 * b ? "yes" : "no") }
      else if (t == "1.0x") { tgt = "unchanged (within 2%)"; ok = (a <= 1.02 * b && a >= 0.98 * b ? "yes" : "no") }
      else { tgt = "-"; ok = "-" }
      printf "| %s | %s | %s | %+.3f | %.3f | %s | %s |\n", w, b, a, a - b, (b > 0 ? a / b : 0), tgt, ok}'
  done <"$work/versus"
  echo
fi
