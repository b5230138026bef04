#!/usr/bin/env bash
# `cmake --install` of the build tree into a scratch DESTDIR under /usr holds every file a user
# needs: the programs, the app-defaults file, the message catalog where the C library looks,
# the man pages, the example books in the public folder, the desktop entry and the user units.
# Usage: install_tree_test.sh BUILD_DIR
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
want=(
  usr/bin/telvane usr/bin/telvane-server usr/bin/telvane-consent usr/bin/telvane-request
  usr/bin/telvane-whiteboard
  etc/X11/app-defaults/Telvane
  usr/share/locale/C/LC_MESSAGES/Telvane
  usr/share/man/man1/telvane.1 usr/share/man/man1/telvane-server.1 usr/share/man/man1/telvane-consent.1
  usr/share/man/man1/telvane-request.1 usr/share/man/man1/telvane-whiteboard.1
  usr/lib/X11/Telvane/address_books/Examples usr/lib/X11/Telvane/address_books/Team
  usr/share/applications/telvane.desktop
  usr/lib/systemd/user/telvane-server@.service usr/lib/systemd/user/telvane-consent.service
)
status=0
for f in "${want[@]}"; do
  [ -e "$dest/$f" ] || { echo "missing: /$f"; status=1; }
done
for p in telvane telvane-server telvane-consent telvane-request telvane-whiteboard; do
  [ -x "$dest/usr/bin/$p" ] || { echo "not executable: /usr/bin/$p"; status=1; }
done
# The units name the installed programs, not the build tree.
grep -q '^ExecStart=/usr/bin/telvane-server :%i' "$dest/usr/lib/systemd/user/telvane-server@.service" ||
  { echo "telvane-server@.service does not start /usr/bin/telvane-server"; status=1; }
# The catalog is one that catopen reads: its first message comes out.
NLSPATH="$dest/usr/share/locale/%L/LC_MESSAGES/%N" LANG=C \
  python3 -c 'import ctypes,sys; c=ctypes.CDLL(None); c.catopen.restype=ctypes.c_void_p; d=c.catopen(b"Telvane",0); sys.exit(0 if d not in (None, 2**64-1) else 1)' ||
  { echo "the installed catalog does not open"; status=1; }
exit "$status"
