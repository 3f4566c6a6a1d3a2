#!/usr/bin/env bash
# A Java program whose background spooler is waiting on an SMTP server that accepted
# the connection and says nothing exits at once on System.exit(0): the spooler stops
# within seconds and the message stays queued, with the reason, for the next run.
#
#   exiting_sender_test.sh TOOL JAVA CLASSPATH LIBDIR SCRATCH
set -u
tool=$1 java=$2 classpath=$3 libdir=$4 scratch=$5
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/exiting-sender-XXXXXX")
cleanup() {
  [ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null
  [ -n "${server:-}" ] && kill "$server" 2>/dev/null
  exec 3>&- 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; cat "$work/out" 2>/dev/null; exit 1; }
export TOLVANE_MAPI_HOME=$work/home
mkdir -p "$work/tmp"

# The silent server: accepts, notes each connection, never answers.
python3 - "$work" <<'PY' &
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
open(sys.argv[1] + "/port.tmp", "w").write(str(s.getsockname()[1]))
import os; os.rename(sys.argv[1] + "/port.tmp", sys.argv[1] + "/port")
held = []
while True:
    c, _ = s.accept()
    held.append(c)
    open(sys.argv[1] + "/accepted", "a").write("x\n")
PY
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the silent server did not start"

"$tool" profile create sender --address sender@example.com >/dev/null || fail "profile create"
"$tool" profile set sender --transport "smtp://127.0.0.1:$(cat "$work/port")" >/dev/null || fail "profile set"
mkfifo "$work/in"
"$java" -Djava.library.path="$libdir" -cp "$classpath" SendAndHang sender "$work/tmp" \
  receiver@example.org "sent as the program exits" exit <"$work/in" >"$work/out" 2>&1 &
pid=$!
exec 3>"$work/in"
for _ in $(seq 300); do
  grep -q '^sent$' "$work/out" && [ -s "$work/accepted" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^sent$' "$work/out" || fail "the sender did not report sending"
[ -s "$work/accepted" ] || fail "the background spooler did not connect to the server"

start=$(date +%s%N)
echo exit >&3
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the program had not exited 30 s after System.exit"
wait "$pid"
rc=$?
pid=
ms=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 0 ] || fail "the program exited with $rc"
[ "$ms" -lt 5000 ] || fail "the program took $ms ms to exit"

queued=$("$tool" spool list sender | grep -c '^queue' || true)
[ "$queued" = 1 ] || fail "$queued messages queued after the exit, wanted 1: $("$tool" spool list sender)"
echo "ok: the program exited in $ms ms with the server silent; the message stays queued"
