#!/bin/sh
# Runs a command in a private user, network and mount namespace with its own loopback and an
# empty /tmp, so that tests of display 0 or the consent service's fixed port never meet the
# machine's own. A working directory or command under /tmp is bound back into the empty one
# from the old /tmp, which is kept aside over /var/tmp inside the namespace only.
exec unshare -rnm /bin/sh -c '
  set -e
  ip link set lo up
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
