#!/usr/bin/env bash
# The sending benchmark: addMessageAttachment of a large file against cp of the same
# file, in one run, and COUNT messages with an attachment each composed and sent through
# the natives to a second profile of the same home (the local transport). Prints figures
# and ratios; asserts nothing.
#
#   bench/send/run.sh BUILD_DIR
#
# Settings, from the environment:
#   BENCH_DIR              where the MAPI home and files go (default BUILD_DIR/bench-run)
#   BENCH_SEND_COUNT       messages sent (default 1000)
#   BENCH_SEND_ATTACH_KB   the attachment of each sent message, KB (default 50)
#   BENCH_ATTACH_MB        the file of the addMessageAttachment figure, MiB (default 100)
#   BENCH_ROUNDS           rounds of the attachment figure, interleaved with cp (default 3)
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
env_file="$build/java/bench.env"
for needed in "$build/bin/tolvane-mapi" "$build/lib/libtolvanemapi81_build001.so" "$env_file"; do
  [ -e "$needed" ] || { echo "bench: $needed is missing; build the target bench_tools first" >&2; exit 1; }
done
# shellcheck source=/dev/null
. "$env_file"
bench_dir=${BENCH_DIR:-$build/bench-run}
count=${BENCH_SEND_COUNT:-1000}
attach_kb=${BENCH_SEND_ATTACH_KB:-50}
attach_mb=${BENCH_ATTACH_MB:-100}
rounds=${BENCH_ROUNDS:-3}
case "$(locale charmap 2>/dev/null || true)" in UTF-8 | utf8) ;; *) export LC_ALL=C.UTF-8 ;; esac

home="$bench_dir/send-home"
rm -rf "$home"
mkdir -p "$home/tmp"
export TOLVANE_MAPI_HOME=$home
# Values being written are staged in TMPDIR: the same filesystem as cp's copy.
export TMPDIR=$home/tmp
tool="$build/bin/tolvane-mapi"
run_java() { "$JAVA" -Djava.library.path="$build/lib" -cp "$BENCH_CLASSPATH" com.plimo.mail.mapi.bench.SendBench "$@"; }
result() { grep "^RESULT.* $1=" "$2" | tail -1 | tr ' ' '\n' | sed -n "s/^$1=//p"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
now() { date +%s.%N; }

echo "== sending: addMessageAttachment of $attach_mb MiB against cp; $count messages of $attach_kb KB =="
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); $home on $(df -h "$home" | awk 'NR == 2 {print $1}')"
"$tool" profile create sender --address sender@bench.test --display-name "Bench Sender" >/dev/null
"$tool" profile create receiver --address receiver@bench.test --display-name "Bench Receiver" >/dev/null

big="$home/big.bin"
head -c $((attach_mb * 1024 * 1024)) /dev/urandom >"$big"
ours_best="" cp_best=""
for r in $(seq 1 "$rounds"); do
  log="$home/attach-$r.log"
  run_java attach sender "$home/tmp" "$big" | tee "$log" | grep -v '^RESULT'
  s=$(result seconds "$log")
  t0=$(now)
  cp "$big" "$home/tmp/cp-copy.bin"
  t1=$(now)
  rm -f "$home/tmp/cp-copy.bin"
  c=$(calc '%.6f' "$t1 - $t0")
  echo "cp of the same file: $c s"
  if [ -z "$ours_best" ] || awk "BEGIN { exit !($s < $ours_best) }"; then ours_best=$s; fi
  if [ -z "$cp_best" ] || awk "BEGIN { exit !($c < $cp_best) }"; then cp_best=$c; fi
done
echo "best of $rounds: addMessageAttachment $ours_best s, cp $cp_best s;" \
  "throughput against cp: $(calc '%.2f' "$cp_best / $ours_best") (goal 0.5 or more)"

small="$home/small.bin"
head -c $((attach_kb * 1024)) /dev/urandom >"$small"
log="$home/send.log"
run_java send sender "$home/tmp" "$count" "$small" receiver@bench.test receiver | tee "$log" | grep -v '^RESULT'
echo "store sizes: sender $(du -sh "$home/stores/sender.db" | cut -f1), receiver $(du -sh "$home/stores/receiver.db" | cut -f1)"
[ -n "${BENCH_KEEP:-}" ] || rm -rf "$home"
