#!/usr/bin/env bash
# The Debian package as a user gets it: built from the build tree, installed with apt (which
# brings what it depends on), its telvane-server and telvane run once against a private Xvfb
# with no NLSPATH, so that the installed catalog must be found, then removed again.
# Usage: scripts/test-deb.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

work=$(mktemp -d)
pids=()
installed=0
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$installed" -eq 1 ] && $SUDO dpkg -r telvane >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/telvane_*.deb)
echo "deb: $(basename "$deb"): depends on $(dpkg-deb -f "$deb" Depends)"
if dpkg-query -W -f='${Status}' telvane 2>/dev/null | grep -q 'install ok installed'; then
  echo "deb: a telvane package is installed on this machine already; the package test leaves it alone and is skipped" >&2
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
installed=1

free_display() {
  local n=$1
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}
wait_display() {
  for _ in $(seq 1 200); do xdpyinfo -display "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "deb: display $1 did not come up" >&2; return 1
}
up=$(free_display 3500)
Xvfb ":$up" -nolisten tcp -noreset -screen 0 800x600x24 >/dev/null 2>&1 &
pids+=($!)
wait_display ":$up"
tv=$(free_display $((up + 1)))
/usr/bin/telvane-server ":$tv" --upstream ":$up" -ac 2>"$work/server.err" &
pids+=($!)
wait_display ":$tv"
mkdir -p "$work/home/.Telvane"
printf '1 1 0 4 3 5 ' >"$work/home/.Telvane/.setup"
env -u NLSPATH -u LANG -u LC_ALL DISPLAY=":$tv" HOME="$work/home" /usr/bin/telvane >"$work/telvane.out" 2>&1 &
pid=$!
pids+=("$pid")
log="$work/home/.Telvane/.logfile"
for _ in $(seq 1 400); do
  grep -q "Telepointer started" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q "Telepointer started" "$log" 2>/dev/null; then
  echo "deb: the installed telvane did not start" >&2
  cat "$work/telvane.out" "$log" "$work/server.err" >&2 2>/dev/null || true
  exit 1
fi
if grep -q "Could not open Message Catalog" "$log"; then
  echo "deb: the installed telvane did not find its catalog" >&2
  exit 1
fi
# The catalog where the C library finds it with no environment at all, as telvane opens it:
# catopen("Telvane", 0), then again under LANG=C.
env -i python3 -c '
import ctypes, os, sys
c = ctypes.CDLL(None)
c.catopen.restype = ctypes.c_void_p
d = c.catopen(b"Telvane", 0)
if d in (None, 2**64 - 1):
    os.environ["LANG"] = "C"
    d = c.catopen(b"Telvane", 0)
sys.exit(0 if d not in (None, 2**64 - 1) else 1)' || { echo "deb: catopen does not find the catalog" >&2; exit 1; }
for f in /usr/share/man/man1/telvane.1 /usr/lib/X11/Telvane/address_books/Examples /etc/X11/app-defaults/Telvane; do
  [ -e "$f" ] || { echo "deb: $f is missing" >&2; exit 1; }
done
echo "deb: installed, telvane ran on telvane-server with its catalog, removed again"
