#!/usr/bin/env bash
# Runs Telvane: on $DISPLAY when there is one, else on a private headless display that this
# script starts and stops. telvane-server, once built, stands in front of the display so that
# the display offers sharing.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
export NLSPATH="$build/resources/%N.cat${NLSPATH:+:$NLSPATH}"
# The Tools menu starts $VIEWER; the whiteboard built here unless the user chose another.
if [ -z "${VIEWER:-}" ] && [ -x "$build/whiteboard/telvane-whiteboard" ]; then
  export VIEWER="$build/whiteboard/telvane-whiteboard"
fi

# The public address books: where TELVANE_PUBLIC_DIR points, else the installed ones, else
# (nothing installed) the example books of this tree, so that the address book is not empty.
if [ -z "${TELVANE_PUBLIC_DIR:-}" ]; then
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
  if [ ! -d /usr/lib/X11/Telvane/address_books ] && [ ! -d "${prefix:-/usr/local}/lib/X11/Telvane/address_books" ]; then
    export TELVANE_PUBLIC_DIR
    TELVANE_PUBLIC_DIR="$(cd "$(dirname "$0")/.." && pwd)/resources"
    echo "run: public address books from $TELVANE_PUBLIC_DIR/address_books"
  fi
fi

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# A display number with no lock file and no socket, from $1 upwards.
free_display() {
  local n=$1
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}

# Starts an X server that reports its display number on fd 3 once it is ready.
start_ready() {
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  "$@" 3>"$fifo" &
  pids+=($!)
  local got
  read -r got <"$fifo" || true
  rm -f "$fifo"
  [ -n "$got" ] || { echo "run: $1 did not start" >&2; exit 1; }
}

if [ -z "${DISPLAY:-}" ]; then
  n=$(free_display 50)
  start_ready Xvfb ":$n" -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset
  export DISPLAY=":$n"
  echo "run: started a private display $DISPLAY"
fi

if [ -x "$build/server/telvane-server" ]; then
  n=$(free_display 60)
  start_ready "$build/server/telvane-server" ":$n" --upstream "$DISPLAY" -displayfd 3
  export DISPLAY=":$n"
  echo "run: telvane-server offers sharing on $DISPLAY"
fi

# Scripts on this display may drive Telvane with telvane-request; TELVANE_REQUESTS=0 turns
# that off.
"$build/src/telvane" -xrm "Telvane.enableCommandLine: ${TELVANE_REQUESTS:-1}" || status=$?
exit "${status:-0}"
