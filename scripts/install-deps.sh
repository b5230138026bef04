#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Telvane needs.
# Safe to run again: it only calls apt when something is missing. With --bench it also installs
# what bench/run-replication.sh compares against, with --coverage what `make coverage` reports with.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake g++ pkg-config libc-bin
  libgtest-dev googletest
  # the client
  libx11-dev libx11-xcb-dev libxt-dev libmotif-dev libxmu-dev libxext-dev
  # the whiteboard saves PNG and XPM pictures
  libpng-dev libxpm-dev
  # the server
  libxcb1-dev libxcb-composite0-dev libxcb-damage0-dev libxcb-shm0-dev
  libxcb-xtest0-dev libxcb-res0-dev libxcb-xfixes0-dev libxcb-xinput-dev libxau-dev
  # display links to receivers: TLS and compression; pictures sent lossily, and the regions
  # that track which parts of a mirror are still inexact
  libssl-dev libzstd-dev libturbojpeg0-dev libwebp-dev libpixman-1-dev
  # tests of clients that pass descriptors: raw xcb (MIT-SHM, Present, SYNC), Qt 5 and GTK 3
  libxcb-present-dev libxcb-sync-dev python3-pyqt5 python3-gi python3-gi-cairo gir1.2-gtk-3.0
  # running and testing
  xvfb xfonts-base xfonts-75dpi xauth x11-utils x11-apps xterm socat procps iproute2 imagemagick
  # window managers on the test displays: twm reparents plainly, openbox and icewm as current
  # desktops do
  twm openbox icewm
  # the pass-through benchmark compares against a parsing proxy
  xtrace
  # the fuzz targets: clang's libFuzzer with its sanitizers
  clang libclang-rt-14-dev
  # packaging and its checks: the .deb (dpkg-shlibdeps, file), man pages, the desktop entry
  dpkg-dev file mandoc desktop-file-utils
)

# The replication benchmarks compare against VNC servers and viewers; only they need them.
for arg in "$@"; do
  case "$arg" in
    --bench) PACKAGES+=(x11vnc xtightvncviewer tigervnc-scraping-server tigervnc-viewer) ;;
    --coverage) PACKAGES+=(gcovr) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

# Unpacked and configured counts as there, also while a trigger of another package is still
# to run ("triggers-pending", "triggers-awaited"): apt would only wait for a lock to say so.
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -Eq '^install ok (installed|triggers-pending|triggers-awaited)$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
