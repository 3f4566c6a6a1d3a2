#!/usr/bin/env bash
# Two deliver processes and readers on one store at the same time (the
# list command, and a Java program reading the Inbox through the natives
# when JAVA, CLASSPATH and the library's folder are given): every message is
# stored once and whole, and the readers never fail.
#   deliver_concurrent_test.sh TOOL SCRATCH [JAVA CLASSPATH LIBDIR]
set -u
tool=$1
scratch=$2
java=${3:-}
classpath=${4:-}
libdir=${5:-}
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/deliver-concurrent-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home
unset TOLVANE_MAPI_FAULTS
"$tool" profile create alice >/dev/null || { echo "FAIL: profile create"; exit 1; }

per=60
for w in a b; do
  mkdir -p "$work/$w"
  for i in $(seq 1 $per); do
    {
      printf 'From: sender-%s@example.com\nTo: alice@example.com\nSubject: %s-%03d\n' "$w" "$w" "$i"
      printf 'MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="x"\n\n--x\nContent-Type: text/plain\n\n'
      printf 'Message %s %d\n--x\nContent-Type: application/octet-stream; name="%s%d.bin"\n' "$w" "$i" "$w" "$i"
      printf 'Content-Transfer-Encoding: base64\n\n'
      head -c $((2000 + i * 97)) /dev/urandom | base64
      printf -- '--x--\n'
    } > "$work/$w/$i.eml"
  done
done

failures=0
if [ -n "$java" ]; then
  mkdir -p "$work/jtmp"
  "$java" -Djava.library.path="$libdir" -cp "$classpath" ConcurrentInboxReader alice "$work/jtmp" "$work/stop" \
    > "$work/java.out" 2>&1 &
  pj=$!
fi
# Writer a: one process per message (as a mail server calls it); writer b:
# one process for half its messages, then one per message.
( for i in $(seq 1 $per); do "$tool" deliver alice "$work/a/$i.eml" || echo "FAIL a $i: $?"; done ) > "$work/a.out" 2>&1 &
pa=$!
( "$tool" deliver alice $(for i in $(seq 1 $((per / 2))); do echo "$work/b/$i.eml"; done) || echo "FAIL b batch: $?"
  for i in $(seq $((per / 2 + 1)) $per); do "$tool" deliver alice "$work/b/$i.eml" || echo "FAIL b $i: $?"; done ) > "$work/b.out" 2>&1 &
pb=$!
# The reader lists the Inbox while the writers run.
reads=0
while kill -0 $pa 2>/dev/null || kill -0 $pb 2>/dev/null; do
  if ! "$tool" list alice > "$work/list.out" 2> "$work/list.err"; then
    echo "FAIL: list during delivery: $(cat "$work/list.err")"
    failures=$((failures + 1))
  fi
  reads=$((reads + 1))
done
wait $pa
wait $pb
if [ -n "$java" ]; then
  touch "$work/stop"
  if ! wait $pj; then
    echo "FAIL: the Java reader"
    failures=$((failures + 1))
  fi
  cat "$work/java.out"
  if ! grep -q "messages at the end" "$work/java.out" || ! grep -q " $((2 * per)) messages at the end" "$work/java.out"; then
    echo "FAIL: the Java reader did not see all $((2 * per)) messages at the end"
    failures=$((failures + 1))
  fi
fi
cat "$work/a.out" "$work/b.out"
if grep -q FAIL "$work/a.out" "$work/b.out"; then failures=$((failures + 1)); fi

"$tool" list alice > "$work/final.out"
total=$(wc -l < "$work/final.out")
unique=$(cut -f3 "$work/final.out" | sort -u | wc -l)
whole=$(awk -F'\t' '$5 == 1' "$work/final.out" | wc -l)
echo "reader passes: $reads; messages: $total; distinct subjects: $unique; with their attachment: $whole"
[ "$total" = $((2 * per)) ] || { echo "FAIL: $total messages (wanted $((2 * per)))"; failures=$((failures + 1)); }
[ "$unique" = $((2 * per)) ] || { echo "FAIL: $unique distinct subjects"; failures=$((failures + 1)); }
[ "$whole" = $((2 * per)) ] || { echo "FAIL: $whole messages with their attachment"; failures=$((failures + 1)); }
echo "$failures failure(s)"
[ $failures = 0 ]
