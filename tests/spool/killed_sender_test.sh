#!/usr/bin/env bash
# A Java process killed with SIGKILL right after sendMessage returned loses
# nothing: the next spooler run sends the message.
#
#   killed_sender_test.sh TOOL JAVA CLASSPATH LIBDIR SCRATCH
set -u
tool=$1 java=$2 classpath=$3 libdir=$4 scratch=$5
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/killed-sender-XXXXXX")
trap 'rm -rf "$work"; [ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null' EXIT
export TOLVANE_MAPI_HOME=$work/home
mkdir -p "$work/tmp"
"$tool" profile create sender --address sender@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }
"$tool" profile create receiver --address receiver@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }

# No spooler in the sender: the message is only queued when the process dies.
TOLVANE_MAPI_SPOOLER=off "$java" -Djava.library.path="$libdir" -cp "$classpath" SendAndHang sender "$work/tmp" \
  receiver@example.com "killed after sending" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 1 300); do
  grep -q '^sent$' "$work/out" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^sent$' "$work/out"; then
  echo "FAIL: the sender did not report sending:"; cat "$work/out"; exit 1
fi
kill -9 "$pid"
wait "$pid" 2>/dev/null
pid=

queued=$("$tool" spool list sender | grep -c '^queue' || true)
if [ "$queued" != 1 ]; then
  echo "FAIL: $queued messages queued after the kill, wanted 1:"; "$tool" spool list sender; exit 1
fi
"$tool" spool run sender >/dev/null || { echo "FAIL: spool run"; exit 1; }
if ! "$tool" list receiver | grep -q 'killed after sending'; then
  echo "FAIL: the message did not arrive:"; "$tool" list receiver; exit 1
fi
if "$tool" spool list sender | grep -q '^queue'; then
  echo "FAIL: the message is still queued"; exit 1
fi
echo "ok: the message queued by a killed sender was sent by the next spooler run"
