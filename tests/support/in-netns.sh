#!/bin/sh
# Runs a command in a private user, network and mount namespace: a loopback of its own and an
# empty /tmp. Tests that need display 0 or the consent service's fixed port run this way, so
# they never meet the machine's own display 0, its X sockets or its services.
exec unshare -rnm /bin/sh -c 'ip link set lo up && mount -t tmpfs tmpfs /tmp && exec "$@"' in-netns "$@"
