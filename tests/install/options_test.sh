#!/usr/bin/env bash
# Every program answers --help and --version with status 0, its --help names every option that
# its man page documents, and every man page lints clean. A mistake in the command line still
# ends with status 2.
# Usage: options_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
status=0
fail() { echo "$*"; status=1; }
check() {  # program, its man page, the options --help must name
  local program=$1 page=$2
  shift 2
  local help
  help=$("$program" --help) || fail "$program --help: status $?"
  "$program" --version | grep -q '2\.4' || fail "$program --version names no version"
  for option in "$@"; do
    grep -qF -e "$option" <<<"$help" || fail "$program --help does not name $option"
    grep -qF -e "${option//-/\\-}" "$page" || fail "$page does not name $option"
  done
  mandoc -T lint -W warning "$page" || fail "$page does not lint clean"
}
check "$build/server/telvane-server" "$src/server/telvane-server.1" \
  --upstream -ac "-listen tcp" "-nolisten tcp" -displayfd --trace --connect-timeout --receiver-timeout --help --version
check "$build/consent/telvane-consent" "$src/consent/telvane-consent.1" \
  --listen --timeout --read-timeout --accept-all --refuse-all -display --help --version
check "$build/whiteboard/telvane-whiteboard" "$src/whiteboard/telvane-whiteboard.1" -grab --help --version
check "$build/request/telvane-request" "$src/request/telvane-request.1" --display --timeout --wait-for-user --json --help --version
mandoc -T lint -W warning "$src/src/telvane.1" || fail "telvane.1 does not lint clean"
for program in "$build/server/telvane-server --no-such-option" "$build/consent/telvane-consent --no-such-option"; do
  set +e
  $program >/dev/null 2>&1
  code=$?
  set -e
  [ "$code" -eq 2 ] || fail "$program: status $code, not 2"
done
desktop-file-validate "$src/resources/telvane.desktop" || fail "the desktop entry does not validate"
exit "$status"
