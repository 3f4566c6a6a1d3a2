#!/usr/bin/env bash
# Starts the test's Postfix (postfix.sh) as root, runs the JNI test binary
# as the owner of its MAPI home (nobody: the owner Postfix's pipe runs
# `tolvane-mapi deliver` as) and stops Postfix at the end.
#
#   smtp_natives_test.sh TOOL TEST_BINARY SCRATCH_DIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/postfix.sh"
tool=$1
binary=$2
work=$3/smtp-natives
pf=$work/postfix
trap 'pf_stop "$pf"' EXIT
rm -rf "$work"
mkdir -p "$work/home" "$work/temp"
chmod 755 "$work"
chown nobody:nogroup "$work/home" "$work/temp"
chmod 700 "$work/home" "$work/temp"
plain=$(pf_free_port)
pf_setup "$pf" "$tool" "$work/home" "$plain" "$(pf_free_port)" "$(pf_free_port)" || exit 1
pf_start "$pf" || exit 1
cd "$work/temp"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env HOME="$work/temp" TOLVANE_MAPI_HOME="$work/home" TEMP="$work/temp" TOLVANE_SMTP_TEST_PORT="$plain" \
  "$binary"
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "--- the end of the test Postfix's log ($pf/maillog)" >&2
  tail -n 30 "$pf/maillog" >&2
fi
exit "$rc"
