#!/usr/bin/env bash
# Pictures and text over a slow link, Telvane's gateway beside the VNC servers people use, in one
# run: a relay (bench/byte_relay.py) holds the link between sender and receiver to RATE_MBIT (20)
# each way and RTT_MS (50) round trip, and a timed transfer proves that it does before anything is
# measured. Peers, each taken in turn within every round (medians of RUNS rounds, 3):
# - telvane: telvane-server -> relay -> telvane-consent --accept-all -> the receiver's Xvfb (the
#   gateway road; the server's trace must say so); with BEFORE=OTHER_BUILD also that build's
#   telvane-server and telvane-consent, as "before";
# - x11vnc serving the window (-id) to xtightvncviewer with the encodings its users get;
# - x0vncserver (TigerVNC's scraping server) serving the window's area (-Geometry) to
#   xtigervncviewer with its defaults (it picks its encoding and quality from the link's speed).
# Workloads (WORKLOADS, default "photo document typing xclock scroll"):
# - photo: bench/pictures_bench puts 10 photo-like 800x600 pictures, one every 0.5 s, and reads
#   the receiver's copy after each change: when it first comes within THRESHOLD_DB (28) of the
#   picture put, how close it comes (PSNR), and when each one is exact; the bytes are counted
#   until the last picture showed as well as in all (an exact copy that follows is extra);
# - document: a text paged 20 times in `less`; typing 200 characters; xclock for 30 s; `seq 2000`
#   in an xterm (bench/lib.sh), each counted until the link falls quiet for a second.
# For each: the bytes towards the receiver, as the relay counts them, and the sender's processor
# time (telvane-server, x11vnc or X0tigervnc, user + system from /proc) from the first change
# until the link falls quiet. Every clock starts when the workload starts, after the link has
# been quiet; every peer starts fresh for each measurement. Markdown tables on standard output.
# Usage: bench/run-pictures.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
# A peer that is not installed (scripts/install-deps.sh --bench) is left out with a line saying so.
# QUICK=1: one round of two pictures, for `make test`; its figures mean nothing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${2:-3}"
source "$root/bench/lib.sh"
rate_mbit="${RATE_MBIT:-20}" rtt_ms="${RTT_MS:-50}" threshold_db="${THRESHOLD_DB:-28}"
workloads="${WORKLOADS:-photo document typing xclock scroll}"
pictures=10 interval_ms=500 last_ms=10000 typed=200 pages=20 clock_seconds="${CLOCK_SECONDS:-30}" quiet_ticks=10
check_bytes=5000000
if [ "$quick" = 1 ]; then
  pictures=2 last_ms=1000 typed=10 pages=2 clock_seconds=1 quiet_ticks=3 check_bytes=500000 runs=1 settle_limit=15
  workloads="${WORKLOADS:-photo}"
fi
rate=$((rate_mbit * 1000000 / 8))
relay_args=("$rate" --delay-ms "$(awk -v r="$rtt_ms" 'BEGIN{print r / 2}')")
tool="$build/bench/bytes_bench"
probe="$build/bench/pictures_bench"
before="${BEFORE:-}"

peers="telvane"
[ -n "$before" ] && peers="before telvane"
if command -v x11vnc >/dev/null && command -v xtightvncviewer >/dev/null; then peers+=" x11vnc"
else echo "bench: x11vnc or xtightvncviewer is not installed (scripts/install-deps.sh --bench): left out" >&2; fi
if command -v x0vncserver >/dev/null && command -v xtigervncviewer >/dev/null; then peers+=" x0vnc"
else echo "bench: x0vncserver or xtigervncviewer is not installed (scripts/install-deps.sh --bench): left out" >&2; fi
# Debian's x0vncserver is a wrapper that reads configuration files and starts the server itself,
# X0tigervnc, as a process of its own: that one is run here, so that its processor time is read.
x0=$(command -v X0tigervnc || command -v x0vncserver || true)
declare -A peer_name=([telvane]="Telvane gateway" [before]="Telvane gateway, before"
  [x11vnc]="x11vnc + xtightvncviewer" [x0vnc]="x0vncserver + xtigervncviewer")

# The receiver host: .1 this build's telvane-consent, .2 the relay in front of its link port;
# .5 and .6 the same for BEFORE's.
private_net 1 2 5 6
start_display 3500 Xvfb :N -ac -noreset -nolisten tcp -screen 0 1280x1024x24
sender=$started
start_display $((sender + 1)) Xvfb :N -ac -noreset -nolisten tcp -screen 0 1280x1024x24
rx=$started
declare -A via=() server_pid=() trace=() link=() service=()
for kind in $peers; do
  case "$kind" in telvane) from="$build" n=1 ;; before) from="$before" n=5 ;; *) continue ;; esac
  mkdir -p "$work/sender-$kind"
  start_display $((rx + 1)) env HOME="$work/sender-$kind" XAUTHORITY="$work/sender-$kind/.Xauthority" \
    "$from/server/telvane-server" :N --upstream ":$sender" -ac -nolisten tcp --trace "$work/trace.$kind"
  via[$kind]=$started server_pid[$kind]=${pids[-1]} trace[$kind]="$work/trace.$kind"
  start_consent "$from/consent/telvane-consent" "$net.$n" "$work/receiver-$kind" "$work/consent-$kind.log"
  service[$kind]=$net.$n link[$kind]=$net.$((n + 1))
done
# The VNC viewers keep their settings in a HOME of the run's own.
mkdir -p "$work/home"

hz=$(getconf CLK_TCK)

# The link as the relay emulates it, measured before anything else: a relay that does not hold
# the rate or the delay would make every figure below meaningless.
sink=$(free_port) front=$(free_port)
start_relay "127.0.0.1:$front" "127.0.0.1:$sink" "${relay_args[@]}"
link_line=$(bounded python3 "$root/bench/link_check.py" "127.0.0.1:$front" "127.0.0.1:$sink" "$check_bytes" || true)
stop "$relay"
link_rtt=$(field rtt_ms <<<"$link_line") link_to=$(field to_mbit <<<"$link_line") link_back=$(field back_mbit <<<"$link_line")
if ! awk -v r="$rate_mbit" -v t="$rtt_ms" -v rtt="${link_rtt:-0}" -v a="${link_to:-0}" -v b="${link_back:-0}" \
    'BEGIN{exit !(rtt >= t && rtt <= t + 25 && a >= 0.85 * r && a <= 1.1 * r && b >= 0.85 * r && b <= 1.1 * r)}'; then
  echo "bench: the relay does not hold $rate_mbit Mbit/s and $rtt_ms ms: ${link_line:-no measurement}" >&2
  exit 1
fi

area() {  # DISPLAY WINDOW -> WxH+X+Y, the window's place on its screen
  xwininfo -display "$1" -id "$2" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
    /^ *Width:/{w=$NF} /^ *Height:/{h=$NF} END{print w "x" h "+" x "+" y}'
}
# Peer $1's VNC server for window $2 of the sender, the relay in front of it and the viewer on
# the receiver; sets $server (whose processor time counts) and $peer_pids.
start_vnc() {  # PEER WINDOW
  local port relay_port viewer
  if [ "$1" = x11vnc ]; then
    start_x11vnc ":$sender" "$2"
    server=$vnc port=${vnc_port:-0}
  else
    port=$(free_port)
    "$x0" -display ":$sender" -rfbport "$port" -localhost -SecurityTypes None -Geometry "$(area ":$sender" "$2")" \
      >"$work/x0vncserver.log" 2>&1 &
    server=$!
    pids+=("$server")
    for _ in $(seq 1 200); do answers 127.0.0.1 "$port" && break; sleep 0.05; done
  fi
  relay_port=$(free_port)
  start_relay "127.0.0.1:$relay_port" "127.0.0.1:$port" "${relay_args[@]}"
  if [ "$1" = x11vnc ]; then
    start_tight_viewer ":$rx" "$relay_port"
  else
    HOME="$work/home" xtigervncviewer -display ":$rx" "localhost::$relay_port" >"$work/viewer.log" 2>&1 &
    viewer=$!
    pids+=("$viewer")
  fi
  peer_pids=("$viewer" "$server" "$relay")
}
# The relay in front of Telvane peer $1's receiver service; sets $name (the receiver to share
# to), $server and $peer_pids.
start_telvane() {  # PEER
  start_relay "${link[$1]}:34591" "${service[$1]}:34591" "${relay_args[@]}"
  name="${link[$1]}:$rx.0" server=${server_pid[$1]}
  peer_pids=("$relay")
}
is_telvane() { [ "$1" = telvane ] || [ "$1" = before ]; }

probe_said() {  # PREFIX SECONDS: until the probe has written a line starting with PREFIX
  local i
  for i in $(seq 1 $(($2 * 20))); do
    grep -q "^$1" "$work/probe.out" 2>/dev/null && return 0
    running "$probe_pid" || { grep -q "^$1" "$work/probe.out"; return; }
    sleep 0.05
  done
  return 1
}
# The photo-like pictures with peer $1: appends "bytes cpu_ms_a_picture" and the probe's summary
# to $work/photo.$1.
photo_once() {  # PEER
  local peer=$1 display=$sender col=2 share=() b0=0 c0=0 summary="" shown_bytes=-1
  if is_telvane "$peer"; then
    start_telvane "$peer"
    display=${via[$peer]} col=1 share=(share "$name")
  fi
  # The probe's answers go to a file and its go comes through a pipe of the run's own.
  rm -f "$work/probe.out" "$work/probe.in"
  mkfifo "$work/probe.in"
  "${limited[@]}" "$probe" photo ":$display" ":$rx" "$pictures" "$interval_ms" "$threshold_db" "$last_ms" \
    "${share[@]}" <"$work/probe.in" >"$work/probe.out" &
  local probe_pid=$! to_probe
  pids+=("$probe_pid")
  exec {to_probe}>"$work/probe.in"
  if probe_said window= 60; then
    is_telvane "$peer" || start_vnc "$peer" "$(sed -n 's/^window=//p' "$work/probe.out")"
    if probe_said ready 90; then
      is_telvane "$peer" && check_road gateway "${trace[$peer]}" "$name"
      quiet_or_wait "$col" photo
      b0=$(count "$col") c0=$(cpu_ticks "$server")
      echo go >&"$to_probe"
      # The relay writes its count every 100 ms; an exact copy comes a second after the last change.
      probe_said last_shown "$run_limit" && sleep 0.3 && shown_bytes=$(( $(count "$col") - b0 ))
      probe_said pictures= "$run_limit" && summary="$(grep '^pictures=' "$work/probe.out") shown_bytes=$shown_bytes"
      quiet_or_wait "$col" photo
    fi
  fi
  exec {to_probe}>&-
  if [ -n "$summary" ]; then
    echo "$(( $(count "$col") - b0 )) $(awk -v c=$(( $(cpu_ticks "$server") - c0 )) -v hz="$hz" -v n="$pictures" \
      'BEGIN{printf "%.2f", 1000 * c / hz / n}') $summary" >>"$work/photo.$peer"
  else
    echo "bench: the pictures did not reach the receiver with ${peer_name[$peer]}" >&2
    touch "$work/failed"
  fi
  stop "$probe_pid" "${peer_pids[@]}"
}

# Workload $2 of bench/lib.sh with peer $1: appends "bytes seconds_until_quiet cpu_ms" to
# $work/text.$1.$2; for Telvane's `seq 2000` also how long after the xterm's last drawing its
# mirror was exact, to $work/exact.$1.
text_once() {  # PEER WORKLOAD
  local peer=$1 workload=$2 display=$sender col=2 b0 c0 t0 share="" line="" settle=""
  rm -f "$work/go"
  if is_telvane "$peer"; then
    start_telvane "$peer"
    display=${via[$peer]} col=1
    share_app "$workload" ":$display" "$name"
    check_road gateway "${trace[$peer]}" "$name"
  else
    start_app "$workload" ":$sender"
    start_vnc "$peer" "$app_window"
    sleep 2
  fi
  quiet_or_wait "$col" "$workload"
  if is_telvane "$peer" && [ "$workload" = scroll ]; then
    rm -f "$work/settle.out"
    "${limited[@]}" "$tool" settle ":$display" "$app_window" ":$rx" >"$work/settle.out" &
    settle=$!
    pids+=("$settle")
    for _ in $(seq 1 200); do grep -qs '^ready' "$work/settle.out" && break; sleep 0.05; done
  fi
  b0=$(count "$col") c0=$(cpu_ticks "$server") t0=$(date +%s.%N)
  run_workload "$workload" ":$display"
  quiet_or_wait "$col" "$workload"
  echo "$(( $(count "$col") - b0 )) $(awk -v a="$settled_at" -v b="$t0" -v c=$(( $(cpu_ticks "$server") - c0 )) \
    -v hz="$hz" 'BEGIN{printf "%.2f %.1f", a - b, 1000 * c / hz}')" >>"$work/text.$peer.$workload"
  if [ -n "$settle" ]; then
    wait "$settle" || true
    line=$(sed -n 's/^exact_ms=//p' "$work/settle.out")
    echo "${line:--1}" >>"$work/exact.$peer"
  fi
  stop "$app_pid" $share "${peer_pids[@]}"
}

# Rounds of every workload with every peer in turn.
for _ in $(seq 1 "$runs"); do
  for workload in $workloads; do
    for peer in $peers; do
      if [ "$workload" = photo ]; then photo_once "$peer"; else text_once "$peer" "$workload"; fi
    done
  done
done

# --- tables -------------------------------------------------------------------------------------
column() { touch "$2"; awk -v c="$1" '{print $c}' "$2" | median; }   # median of column C of FILE
summary() { touch "$2"; sed -n "s/.* $1=\([^ ]*\).*/\1/p" "$2" | median; }   # of the probe's KEY over the rounds
header() {
  local p line="| $1 |" rule="|---|"
  for p in $peers; do line+=" ${peer_name[$p]} |"; rule+="---|"; done
  echo "$line"
  echo "$rule"
}
row() {  # TEXT COMMAND...: one cell a peer, what COMMAND... PEER prints
  local p line="| $1 |"
  shift
  for p in $peers; do line+=" $("$@" "$p") |"; done
  echo "$line"
}
echo "The link through the relay, measured: $link_rtt ms round trip, $link_to Mbit/s towards the receiver, $link_back back (asked: $rtt_ms ms, $rate_mbit Mbit/s)."
echo
if [[ " $workloads " == *" photo "* ]]; then
  photo_mb() { awk -v b="$(column 1 "$work/photo.$1")" 'BEGIN{if (b == "n/a") print b; else printf "%.2f", b / 1e6}'; }
  photo_cpu() { column 2 "$work/photo.$1"; }
  photo_shown_mb() { awk -v b="$(summary shown_bytes "$work/photo.$1")" 'BEGIN{if (b == "n/a" || b < 0) print "n/a"; else printf "%.2f", b / 1e6}'; }
  photo_of() { summary "$1" "$work/photo.$2"; }
  echo "## $pictures photo-like 800x600 pictures, one every $interval_ms ms, at $rate_mbit Mbit/s and $rtt_ms ms round trip (median of $runs rounds)"
  echo
  header figure
  row "MB towards the receiver" photo_mb
  row "of them until the last picture showed" photo_shown_mb
  row "sender processor time a picture (ms)" photo_cpu
  row "pictures shown within $threshold_db dB (of $pictures)" photo_of shown
  row "of them within $interval_ms ms of their change" photo_of in_time
  row "slowest picture shown (ms after its change)" photo_of shown_ms_max
  row "median picture shown (ms)" photo_of shown_ms_median
  row "PSNR, median picture (dB; the best its copy reached, 99 exact)" photo_of psnr_db_median
  row "PSNR, worst picture (dB)" photo_of psnr_db_min
  row "pictures exact at some point (of $pictures)" photo_of exact
  row "last picture exact (ms after its change; -1 not within $last_ms ms)" photo_of last_exact_ms
  echo
fi
texts=""
for workload in $workloads; do [ "$workload" = photo ] || texts+=" $workload"; done
if [ -n "$texts" ]; then
  echo "## Text and a clock at $rate_mbit Mbit/s and $rtt_ms ms round trip (median of $runs rounds)"
  echo
  echo "Bytes towards the receiver; in brackets, seconds from the start of the workload until the link fell quiet"
  echo "(xclock is cut 2 s after its run, so it has none) and the sender's processor time in ms."
  echo
  text_cell() {
    local f="$work/text.$2.$1"
    echo "$(column 1 "$f") ($([ "$1" = xclock ] && echo - || echo "$(column 2 "$f") s"), $(column 3 "$f") ms)"
  }
  header workload
  for workload in $texts; do row "$(workload_text "$workload")" text_cell "$workload"; done
  echo
  [ -s "$work/exact.telvane" ] && echo "Telvane's mirror of \`seq 2000\` was exact $(median <"$work/exact.telvane") ms after the xterm last drew (median; -1: not within a minute)." && echo
fi

# The goals of encoded pictures, each against the best VNC peer (fewest bytes) or BEFORE, all
# measured above; until Telvane encodes pictures, the photo-like ones are not met.
best=""
for p in x11vnc x0vnc; do
  [ -s "$work/photo.$p" ] || continue
  if [ -z "$best" ] || [ "$(column 1 "$work/photo.$p")" -lt "$(column 1 "$work/photo.$best")" ]; then best=$p; fi
done
if [ -s "$work/photo.telvane" ]; then
  echo "## Targets"
  echo
  echo "| target | measured | met |"
  echo "|---|---|---|"
  t() { summary "$1" "$work/photo.telvane"; }
  if [ -n "$best" ]; then
    awk -v b="$(column 1 "$work/photo.telvane")" -v pb="$(column 1 "$work/photo.$best")" -v q="$(t psnr_db_median)" \
      -v pq="$(summary psnr_db_median "$work/photo.$best")" -v who="${peer_name[$best]}" 'BEGIN{
      printf "| photo-like: bytes at most the best peer'"'"'s (%s), at a PSNR at least its | %.2f MB at %s dB against %.2f MB at %s dB | %s |\n",
        who, b / 1e6, q, pb / 1e6, pq, (b <= pb && q >= pq ? "yes" : "no")}'
    awk -v b="$(t shown_bytes)" -v pb="$(summary shown_bytes "$work/photo.$best")" -v q="$(t psnr_db_median)" \
      -v pq="$(summary psnr_db_median "$work/photo.$best")" 'BEGIN{
      printf "| photo-like: bytes until the last picture showed at most the best peer'"'"'s, at a PSNR at least its | %.2f MB at %s dB against %.2f MB at %s dB | %s |\n",
        b / 1e6, q, pb / 1e6, pq, (b >= 0 && b <= pb && q >= pq ? "yes" : "no")}'
  fi
  awk -v s="$(t shown)" -v i="$(t in_time)" -v n="$pictures" -v m="$(t shown_ms_max)" -v iv="$interval_ms" 'BEGIN{
    printf "| photo-like: every picture shown within %s ms of its change | %d of %d, slowest %s ms | %s |\n",
      iv, i, n, m, (i == n ? "yes" : "no")}'
  awk -v e="$(t last_exact_ms)" 'BEGIN{
    printf "| photo-like: the last picture exact within 1.5 s of the last change | %s | %s |\n",
      (e < 0 ? "not within the watch" : e " ms"), (e >= 0 && e <= 1500 ? "yes" : "no")}'
  if [ -s "$work/photo.before" ]; then
    awk -v a="$(column 2 "$work/photo.telvane")" -v b="$(column 2 "$work/photo.before")" 'BEGIN{
      printf "| sender processor time a photo-like picture at most 1.5x before'"'"'s | %s ms against %s ms | %s |\n",
        a, b, (a <= 1.5 * b ? "yes" : "no")}'
  fi
  for workload in $texts; do
    if [ "$workload" = scroll ]; then
      [ -s "$work/exact.telvane" ] && awk -v e="$(median <"$work/exact.telvane")" 'BEGIN{
        printf "| `seq 2000`: its last screen exact within 100 ms of the last line | %s ms | %s |\n", e, (e >= 0 && e <= 100 ? "yes" : "no")}'
      lowest=""
      for p in x11vnc x0vnc; do
        v=$(column 1 "$work/text.$p.scroll")
        [ "$v" = n/a ] || { [ -n "$lowest" ] && [ "$lowest" -le "$v" ]; } || lowest=$v
      done
      [ -n "$lowest" ] && awk -v a="$(column 1 "$work/text.telvane.scroll")" -v l="$lowest" 'BEGIN{
        printf "| `seq 2000`: bytes at most the best peer'"'"'s | %s against %s | %s |\n", a, l, (a <= l ? "yes" : "no")}'
    elif [ -s "$work/text.before.$workload" ]; then
      awk -v w="$(workload_text "$workload")" -v a="$(column 1 "$work/text.telvane.$workload")" \
        -v b="$(column 1 "$work/text.before.$workload")" 'BEGIN{
        printf "| %s: bytes no more than 5%% above before'"'"'s | %s against %s | %s |\n", w, a, b, (a <= 1.05 * b ? "yes" : "no")}'
    fi
  done
  echo
fi
