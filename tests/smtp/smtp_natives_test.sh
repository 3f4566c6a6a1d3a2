#!/usr/bin/env bash
# Starts the test's Postfix (postfix.sh) as root, runs the JNI test binary
# as the owner of its MAPI home (nobody: the owner Postfix's pipe runs
# `tolvane-mapi deliver` as) and stops Postfix at the end. When nobody cannot
# reach the build (a clone under /root), the binary, its Java class path and
# the libraries are copied into the test's folder under /tmp first.
#
#   smtp_natives_test.sh TOOL TEST_BINARY SCRATCH_DIR CLASSPATH LIBDIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/postfix.sh"
tool=$1
binary=$2
classpath=$4
libdir=$5
work=$(pf_workdir "$3" smtp-natives) || exit 1
pf=$work/postfix
trap 'pf_stop "$pf"; pf_cleanup_workdir "$work"' EXIT
mkdir -p "$work/home" "$work/temp"
chmod 755 "$work"
chown nobody:nogroup "$work/home" "$work/temp"
chmod 700 "$work/home" "$work/temp"
receiver=$(pf_reachable_tool "$work" "$tool") || exit 1
staged=()
if ! pf_as_nobody_can test -x "$binary"; then
  java=$work/stage/java
  mkdir -p "$java" "$work/stage/bin"
  cp "$binary" "$work/stage/bin/" || exit 1
  binary=$work/stage/bin/$(basename "$binary")
  copied=""
  IFS=: read -ra entries <<<"$classpath"
  for i in "${!entries[@]}"; do
    [ -e "${entries[$i]}" ] || continue
    cp -a "${entries[$i]}" "$java/$i-$(basename "${entries[$i]}")" || exit 1
    copied="$copied${copied:+:}$java/$i-$(basename "${entries[$i]}")"
  done
  [ -d "$work/stage/lib" ] || { mkdir -p "$work/stage/lib" && cp -a "$libdir/." "$work/stage/lib/"; } || exit 1
  chmod -R a+rX "$work/stage"
  staged=(TOLVANE_TEST_CLASSPATH="$copied" TOLVANE_TEST_LIBDIR="$work/stage/lib" LD_LIBRARY_PATH="$work/stage/lib")
fi
plain=$(pf_free_port)
pf_setup "$pf" "$receiver" "$work/home" "$plain" "$(pf_free_port)" "$(pf_free_port)" || exit 1
pf_start "$pf" || exit 1
cd "$work/temp"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env HOME="$work/temp" TOLVANE_MAPI_HOME="$work/home" TEMP="$work/temp" TMPDIR="$work/temp" \
  TOLVANE_SMTP_TEST_PORT="$plain" \
  "${staged[@]}" "$binary"
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "--- the end of the test Postfix's log ($pf/maillog)" >&2
  tail -n 30 "$pf/maillog" >&2
fi
exit "$rc"
