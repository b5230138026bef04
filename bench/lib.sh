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
