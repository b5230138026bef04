#!/bin/sh
# Runs a command in a private user, network and mount namespace with its own loopback and an
# empty /tmp, so that tests of display 0 or the consent service's fixed port never meet the
# machine's own. A working directory or command under /tmp is bound back into the empty one
# from the old /tmp, which is kept aside over /var/tmp inside the namespace only.
exec unshare -rnm /bin/sh -c '
  set -e
  ip link set lo up
  mount --bind /tmp /var/tmp
  mount -t tmpfs tmpfs /tmp
  for path in "$PWD" "$1"; do
    rest=${path#/tmp/}
    top=${rest%%/*}
    if [ "$rest" != "$path" ] && [ ! -d "/tmp/$top" ]; then
      mkdir "/tmp/$top"
      mount --bind "/var/tmp/$top" "/tmp/$top"
    fi
  done
  exec "$@"
' in-netns "$@"
