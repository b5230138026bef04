# Shared by the benchmark scripts: a scratch folder, the processes they start (every one stopped
# with a time limit, however the script ends), private X displays on free numbers, and a time
# limit on every measuring program. Source it after `set -euo pipefail`.
# QUICK=1 asks a script for the smallest workloads that still go through all of it and print
# every table: a check that it runs to its end (what `make test` does), whose figures mean nothing.
work="$(mktemp -d)"
pids=()
claims=()
quick="${QUICK:-0}"
run_limit="${RUN_LIMIT:-900}"   # seconds that one run of a measuring program may take

running() {  # whether process $1 is a child of this shell that has not ended; a number that
  # the system gave to another process since is not
  local state ppid
  read -r state ppid _ < <(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  [ "$ppid" = "$BASHPID" ] && [ "$state" != Z ] && [ "$state" != X ]
}
stop() {  # stops the processes "$@": TERM, then KILL for any still there 3 s later; forgets them
  local p q keep=() live=()
  for p in "$@"; do running "$p" && live+=("$p"); done
  for p in "${live[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for _ in $(seq 1 30); do
    q=""
    for p in "${live[@]}"; do running "$p" && q=1; done
    [ -z "$q" ] && break
    sleep 0.1
  done
  for p in "$@"; do
    if running "$p"; then
      echo "bench: process $p ($(cat "/proc/$p/comm" 2>/dev/null)) ignored TERM; killed" >&2
      kill -KILL "$p" 2>/dev/null || true
    fi
    wait "$p" 2>/dev/null || true
  done
  for q in "${pids[@]}"; do
    case " $* " in *" $q "*) ;; *) keep+=("$q") ;; esac
  done
  pids=("${keep[@]}")
}
cleanup() {
  local failed=""
  [ -e "$work/failed" ] && failed=1
  stop "${pids[@]}"
  rm -rf "$work" "${claims[@]}"
  if [ -n "$failed" ]; then exit 1; fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# A measuring program run as `"${limited[@]}" PROGRAM ...` ends within $run_limit seconds; `exec`
# it so in a coproc, so that the coproc's process is the one that stop() signals.
limited=(timeout -k 5 "$run_limit")
bounded() {  # runs "$@" for at most $run_limit seconds; a failure fails the script at its end
  local rc=0
  "${limited[@]}" "$@" || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "bench: $(basename "$1") ended with status $rc$([ "$rc" -eq 124 ] && echo ' (time limit)')" >&2
    touch "$work/failed"
  fi
  return "$rc"
}

# Builds telvane-server at git revision $1 in the scratch folder, for tables of before and now;
# sets $before. The worktree goes when the script ends.
build_before() {  # REV
  trap 'git -C "$root" worktree remove --force "$work/base" >/dev/null 2>&1 || true; cleanup' EXIT
  echo "building telvane-server at $1 for comparison ..." >&2
  git -C "$root" worktree add --detach "$work/base" "$1" >/dev/null 2>&1
  cmake -S "$work/base" -B "$work/base-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  make -C "$work/base-build" -j"$(nproc)" telvane-server >/dev/null
  before="$work/base-build/server/telvane-server"
}

free_display() {  # first display number from $1 with no lock file and no socket
  local n=$1
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}
wait_display() {  # until a client can connect to $1 (bounded)
  for _ in $(seq 1 200); do xdpyinfo -display "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "display $1 did not come up" >&2; return 1
}
# Starts an X server (COMMAND..., with ":N" for its display) on the first free number from FROM
# and sets $started to it once it answers. Only a display whose lock file names the process
# started here counts: when another program takes the number first, the next one is tried, so
# that no display started by someone else is ever used.
start_display() {  # FROM COMMAND...
  local n=$1 pid a args
  shift
  for _ in 1 2 3 4 5; do
    n=$(free_display "$n")
    args=()
    for a in "$@"; do args+=("${a/#:N/:$n}"); done
    "${args[@]}" >/dev/null 2>&1 &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 1 200); do
      running "$pid" || break
      if [ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$n-lock")" = "$pid" ] && xdpyinfo -display ":$n" >/dev/null 2>&1; then
        started=$n
        return 0
      fi
      sleep 0.05
    done
    stop "$pid"
    n=$((n + 1))
  done
  echo "bench: $1 did not come up on a free display" >&2
  return 1
}
claim() {  # takes the lock of the first free display number from $1, as an X server does, for a
  # program that stands in for a display without taking its lock (a relay); sets $claimed and
  # adds the lock to $claims, which cleanup() removes
  claimed=$(free_display "$1")
  until (set -o noclobber; printf '%10d\n' $$ >"/tmp/.X$claimed-lock") 2>/dev/null; do
    claimed=$(free_display $((claimed + 1)))
  done
  claims+=("/tmp/.X$claimed-lock")
}

# The counting relay (bench/byte_relay.py) from LISTEN to TARGET (each a port on 127.0.0.1 or
# ADDR:PORT), with the relay's further arguments (a rate, --delay-ms ...), once it listens; sets
# $relay. count N reads its Nth count: 1 towards the target, 2 back.
start_relay() {  # LISTEN TARGET [ARGS...]
  rm -f "$work/count"
  python3 "$root/bench/byte_relay.py" "$1" "$2" "$work/count" "${@:3}" &
  relay=$!
  pids+=("$relay")
  for _ in $(seq 1 200); do [ -e "$work/count" ] && return 0; running "$relay" || break; sleep 0.05; done
  echo "bench: the relay did not start on $1" >&2
  touch "$work/failed"
}
count() { cut -d' ' -f"$1" "$work/count" 2>/dev/null || echo 0; }

# x11vnc serving window $2 of display $1 (more x11vnc arguments after them); it takes the first
# free port from 5900 + the display's number and names it, since a VNC server already on a port is
# someone else's. Sets $vnc and $vnc_port (empty, and the run failed, when it did not start).
start_x11vnc() {  # DISPLAY WINDOW [ARGS...]
  local n=${1#:}
  x11vnc -display "$1" -id "$2" -autoport $((5900 + n % 1000)) -localhost -nopw -forever -shared -quiet "${@:3}" \
    >"$work/x11vnc.log" 2>&1 &
  vnc=$!
  pids+=("$vnc")
  vnc_port=""
  for _ in $(seq 1 200); do
    vnc_port=$(sed -n 's/^PORT=//p' "$work/x11vnc.log" 2>/dev/null)
    [ -n "$vnc_port" ] && break
    sleep 0.05
  done
  [ -n "$vnc_port" ] || { echo "bench: x11vnc did not start" >&2; touch "$work/failed"; }
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# xtightvncviewer on display $1 showing the VNC server at localhost port $2, with the encodings
# its users get. Given none, it sees the server on the same machine and asks for raw pixels
# ("Same machine: preferring raw encoding"), which no one across a network gets. Sets $viewer.
start_tight_viewer() {  # DISPLAY PORT
  xtightvncviewer -display "$1" -encodings "copyrect tight hextile zlib corre rre raw" "localhost::$2" >/dev/null 2>&1 &
  viewer=$!
  pids+=("$viewer")
}

answers() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }  # whether something listens on $1:$2
# A receiver host of this run's own: a few addresses of 127.0.0.0/8 where nothing answers on the
# display link's ports, so that no telvane-consent of someone else's is ever reached. Sets $net
# to the first three parts; the addresses are $net.SUFFIX for the SUFFIXES given.
private_net() {  # SUFFIX...
  local i n try s taken
  net=""
  for i in $(seq 0 19); do
    n=$(( ($$ + i * 7919) % 32000 ))
    try="127.$((64 + n / 250)).$((n % 250 + 1))"
    taken=""
    for s in "$@"; do
      if answers "$try.$s" 34591 || answers "$try.$s" 34590; then taken=1; break; fi
    done
    [ -z "$taken" ] && { net=$try; return 0; }
  done
  echo "bench: port 34591 answers on every loopback address tried" >&2
  return 1
}
# telvane-consent ($1, a binary) taking links at address $2, HOME in folder $3, logging to $4;
# `--accept-all`, as a receiver that said yes. Returns once it listens; sets $service_pid.
start_consent() {  # BINARY ADDRESS HOME LOG
  mkdir -p "$3"
  env HOME="$3" XAUTHORITY="$3/.Xauthority" "$1" --listen "$2:34590" --link-listen "$2:34591" --accept-all \
    >"$4" 2>&1 &
  service_pid=$!
  pids+=("$service_pid")
  for _ in $(seq 1 200); do grep -qs "links on" "$4" && return 0; sleep 0.05; done
  cat "$4" >&2
  echo "bench: telvane-consent did not start" >&2
  return 1
}

# Whether the last share to receiver $3 went road $1 (gateway: the encrypted link to a
# telvane-consent; direct: plain X11), as telvane-server's trace $2 says; a share that went the
# other road fails the run. (The plain road's line says "not encrypted", so the gateway's is
# known by the receiver key it names.)
check_road() {  # ROAD TRACE NAME
  local line want="encrypted, receiver key"
  [ "$1" = direct ] && want="plain X11"
  line=$(grep "receiver $3 reached:" "$2" | tail -n 1 || true)
  case "$line" in
    *"$want"*) ;;
    *) echo "bench: the share to $3 did not go the $1 road: ${line:-no trace}" >&2; touch "$work/failed" ;;
  esac
}

settle() {  # until column $1 of the count stops growing for a second (at most $settle_limit
  # tenths of a second, a minute unless set); sets $settled_at to when it last grew (seconds since
  # the epoch, 0.1 s steps)
  local last now quiet=0
  last=$(count "$1")
  settled_at=$(date +%s.%N)
  for _ in $(seq 1 "${settle_limit:-600}"); do
    sleep 0.1
    now=$(count "$1")
    if [ "$now" = "$last" ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -ge "$quiet_ticks" ] && return 0
    else
      quiet=0
      settled_at=$(date +%s.%N)
      last=$now
    fi
  done
}
quiet_or_wait() {  # column workload: a ticking clock never falls quiet, so it is cut at a time;
  # $quiet_ticks tenths of a second without a byte count as quiet
  if [ "$2" = xclock ]; then
    sleep 2
    settled_at=$(date +%s.%N)
  else
    settle "$1"
  fi
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }   # user + system
median() { sort -g | awk '{v[NR] = $1} END {print NR ? v[int((NR + 1) / 2)] : "n/a"}'; }   # of the lines read
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }   # the value of KEY=VALUE in a result line

# The workloads of the byte counts, each an application on the sender titled "bench-app":
# typing into an xterm, a scrolling xterm, a ticking xclock, random pixels in a window, a
# document paged through in a larger xterm. They use $tool (bytes_bench), $typed, $clock_seconds
# and $pages, which the script sets.
window_id() { xwininfo -display "$1" -name "$2" 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p'; }
wait_window() {  # display title -> id
  local id=""
  for _ in $(seq 1 200); do id=$(window_id "$1" "$2"); [ -n "$id" ] && break; sleep 0.05; done
  echo "$id"
}
start_app() {  # workload display -> sets $app_pid and $app_window
  case "$1" in
    typing) xterm -display "$2" -T bench-app -geometry 80x24+0+0 -e sh -c 'stty -echoctl; exec cat >/dev/null' & ;;
    scroll) xterm -display "$2" -T bench-app -geometry 80x24+0+0 -e sh -c "while [ ! -e $work/go ]; do sleep 0.05; done; seq 2000; exec sleep 1000" & ;;
    xclock) xclock -display "$2" -title bench-app -update 1 -geometry 200x200+0+0 & ;;
    noise) xlogo -display "$2" -title bench-app -geometry 800x600+0+0 & ;;
    document)
      [ -e "$work/document.txt" ] || cat /usr/share/common-licenses/GPL-3 /usr/share/common-licenses/GPL-3 >"$work/document.txt"
      xterm -display "$2" -T bench-app -geometry 100x50+0+0 -e less "$work/document.txt" & ;;
  esac
  app_pid=$!
  pids+=("$app_pid")
  app_window=$(wait_window "$2" bench-app)
}
# Workload $1's application on display $2 (a telvane-server), shared with receiver $3 by $tool
# once it is up; returns when the server says the share is done (or after a minute). Sets
# $app_pid, $app_window and $share, the process that holds the share until it is stopped.
share_app() {  # WORKLOAD DISPLAY NAME
  start_app "$1" "$2"
  sleep 0.5
  coproc SHARE { exec "${limited[@]}" "$tool" share "$2" "$app_window" "$3"; }
  share=$SHARE_PID
  pids+=("$share")
  read -r -t 60 _ <&"${SHARE[0]}" || true
}
workload_text() {  # workload -> how its table row names it
  case "$1" in
    typing) echo "typing $typed characters into an xterm" ;;
    scroll) echo "\`seq 2000\` in an 80x24 xterm" ;;
    xclock) echo "xclock -update 1 for $clock_seconds s" ;;
    noise) echo "one 800x600 picture of random pixels" ;;
    document) echo "a document paged $pages times in a 100x50 xterm (\`less\`)" ;;
  esac
}
run_workload() {  # workload display; a failure fails the script at its end
  case "$1" in
    typing) bounded "$tool" type "$2" "$app_window" "$typed" || true ;;
    scroll) touch "$work/go" ;;
    xclock) sleep "$clock_seconds" ;;
    noise) bounded "$tool" noise "$2" "$app_window" || true ;;
    document) bounded "$tool" type "$2" "$app_window" "$pages" 0x20 300 || true ;;   # space: a page on
  esac
}

# Prints a table's header "| a | b |" and its rule, with a "before" column when BEFORE is set.
table_head() {
  local header="$1" rule
  rule=$(printf '%s' "$header" | sed 's/[^|]//g; s/|/---|/g; s/^---//')
  [ -n "${BEFORE:-}" ] && header+=" before |" && rule+="---|"
  echo "$header"
  echo "$rule"
}
