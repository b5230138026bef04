#!/bin/sh
# Runs a command in a private user, network and mount namespace: a loopback of its own and an
# empty /tmp. Tests that need display 0 or the consent service's fixed port run this way, so
# they never meet the machine's own display 0, its X sockets or its services.
#
# A checkout or build folder that itself lies under /tmp (a fresh clone often does) stays
# reachable: the old /tmp is kept aside first (over /var/tmp, inside the namespace only), and the folders of the working directory and of
# the command are bound back into the empty one.
exec unshare -rnm /bin/sh -c '
  set -e
  ip link set lo up
  # Inside the namespace /var/tmp shows the old /tmp; nothing is left behind outside it.
  aside=/var/tmp
  mount --bind /tmp "$aside"
  mount -t tmpfs tmpfs /tmp
  for path in "$PWD" "$1"; do
    case "$path" in
      /tmp/*)
        top=${path#/tmp/}
        top=${top%%/*}
        if [ ! -d "/tmp/$top" ]; then
          mkdir -p "/tmp/$top"
          mount --bind "$aside/$top" "/tmp/$top"
        fi
        ;;
    esac
  done
  exec "$@"
' in-netns "$@"
