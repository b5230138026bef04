# Shared by the benchmark scripts: a scratch folder and process list cleaned up on exit, and
# private X displays on free numbers. Source it after `set -euo pipefail`.
work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_display() {  # first display number from $1 with no lock file and no socket
  local n=$1
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}
wait_display() {  # until a client can connect to $1 (bounded)
  for _ in $(seq 1 200); do xdpyinfo -display "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "display $1 did not come up" >&2; return 1
}
