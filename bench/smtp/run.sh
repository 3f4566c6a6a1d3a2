#!/usr/bin/env bash
# Sending through SMTP: COUNT messages, each with one attached file of random bytes, to a
# private Postfix on loopback, three ways in the same run, in interleaved rounds:
#
#   natives         composed and sent through the JNI natives; the library's background
#                   spooler sends them to the profile's SMTP transport (smtp://127.0.0.1);
#                   the clock stops when the submission queue is empty (every message
#                   accepted by Postfix and filed in the sender's Sent Items)
#   javamail-send   JavaMail MimeMessages, Transport.send for each (a connection each)
#   javamail-reuse  the same MimeMessages through one connected Transport
#
# Prints one table of medians: messages per second, and the natives' rate over each
# JavaMail row's. Figures, not tests: no time is asserted, but a variant whose messages
# Postfix did not all accept (its log counts them), or whose Sent Items do not hold them
# all, is printed as FAILURE instead of a figure, and the script then exits 1.
#
#   bench/smtp/run.sh BUILD_DIR
#
# BUILD_DIR is a configured and built tree (target bench_smtp_tools). Needs root (the
# private Postfix of tests/smtp/postfix.sh; the machine's own mail system is not used)
# and the packages of `scripts/install-deps.sh bench` (postfix, sasl2-bin, libmail-java).
# Settings, from the environment:
#   BENCH_DIR             scratch folder (default BUILD_DIR/bench-run); this uses BENCH_DIR/smtp
#   BENCH_SMTP_COUNT      messages per variant and round (default 1000)
#   BENCH_SMTP_ATTACH_KB  the attachment, KB (default 50)
#   BENCH_SMTP_ROUNDS     rounds (default 3)
#   BENCH_SMTP_TLS        starttls (default): Postfix offers STARTTLS and both sides use it,
#                         as the natives do by default; none: Postfix offers no TLS
#   BENCH_JAVA_OPTS       extra JVM options
#   BENCH_KEEP            set: keep the scratch folder afterwards
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
env_file="$build/java/smtp-bench.env"
# shellcheck source=../common.sh
. "$here/../common.sh"
bench_require "smtp bench" bench_smtp_tools "$build/bin/tolvane-mapi" "$build/lib/libtolvanemapi81_build001.so" \
  "$env_file"
# JAVA and SMTP_BENCH_CLASSPATH
# shellcheck source=/dev/null
. "$env_file"
if [ "$(id -u)" -ne 0 ]; then
  echo "smtp bench: starting the private Postfix needs root" >&2
  exit 1
fi

count=${BENCH_SMTP_COUNT:-1000}
attach_kb=${BENCH_SMTP_ATTACH_KB:-50}
rounds=${BENCH_SMTP_ROUNDS:-3}
tls=${BENCH_SMTP_TLS:-starttls}
read -r -a java_opts <<<"${BENCH_JAVA_OPTS:-}"
for v in "$count" "$attach_kb" "$rounds"; do
  if ! [[ "$v" =~ ^[1-9][0-9]*$ ]]; then
    echo "smtp bench: BENCH_SMTP_COUNT, BENCH_SMTP_ATTACH_KB and BENCH_SMTP_ROUNDS must be whole numbers above 0" >&2
    exit 2
  fi
done
case "$tls" in starttls | none) ;; *)
  echo "smtp bench: BENCH_SMTP_TLS is starttls or none, not '$tls'" >&2
  exit 2
  ;;
esac
case "$(locale charmap 2>/dev/null || true)" in UTF-8 | utf8) ;; *) export LC_ALL=C.UTF-8 ;; esac

# shellcheck source=/dev/null
. "$top/tests/smtp/postfix.sh"

bench_dir=${BENCH_DIR:-$build/bench-run}
scratch="$bench_dir/smtp"
rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
# Postfix's daemons run as the user postfix and must enter its folder: under the scratch
# folder when they can reach it, else (a tree in a folder of mode 700) under /tmp.
if setpriv --reuid=postfix --regid=postfix --clear-groups test -x "$scratch" 2>/dev/null; then
  pf_base=$scratch
else
  pf_base=$(TMPDIR=/tmp mktemp -d /tmp/tolvane-smtp-bench-XXXXXX)
  chmod 755 "$pf_base"
fi
pf="$pf_base/postfix"

cleanup() {
  pf_stop "$pf" || true
  if [ -z "${BENCH_KEEP:-}" ]; then
    rm -rf "$scratch"
    [ "$pf_base" = "$scratch" ] || rm -rf "$pf_base"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The run takes minutes and the build tree may be rebuilt meanwhile: it uses a copy of
# what it needs, taken now.
snap="$scratch/build"
bench_snapshot "$build" "$snap" "$SMTP_BENCH_CLASSPATH" tolvane-mapi
# The natives' class path: the bench jar, the MAPI jar, javax.mail. JavaMail's: the same
# without the MAPI jar, as Java mail code runs today.
classpath=$bench_classpath
javamail_classpath=""
IFS=: read -r -a jars <<<"$classpath"
for jar in "${jars[@]}"; do
  [ "$(basename "$jar")" = tolvane-mapi.jar ] || javamail_classpath="${javamail_classpath:+$javamail_classpath:}$jar"
done
tool="$snap/bin/tolvane-mapi"

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# ---- The private Postfix ----------------------------------------------------------------
# bench.test is accepted and discarded; the receiving home of postfix.sh (for inbox.test,
# not used here) must merely exist and not belong to root.
mkdir -p "$pf_base/receiving-home"
chown nobody "$pf_base/receiving-home"
port=$(pf_free_port)
port_secure=$(pf_free_port)
port_smtps=$(pf_free_port)
pf_setup "$pf" "$tool" "$pf_base/receiving-home" "$port" "$port_secure" "$port_smtps"
if [ "$tls" = none ]; then
  postconf -c "$pf/etc" -e smtpd_tls_security_level=none
fi
pf_start "$pf"
maillog="$pf/maillog"

# Messages Postfix has delivered (discarded) so far: one `status=sent` line each, the
# messages having one recipient.
sent_lines() { grep -c 'status=sent' "$maillog" 2>/dev/null || true; }
# wait_logged EXPECTED: until the maillog counts EXPECTED, or no more come for 10 s.
wait_logged() {
  local want=$1 got last=-1 still=0
  pf_wait_empty "$pf" 300 || true
  while true; do
    got=$(sent_lines)
    [ "$got" -ge "$want" ] && break
    if [ "$got" -eq "$last" ]; then
      still=$((still + 1))
      [ "$still" -ge 100 ] && break
    else
      still=0
    fi
    last=$got
    sleep 0.1
  done
  echo "$got"
}

echo "== SMTP sending: $count messages with a $attach_kb KB attachment each, natives against JavaMail =="
echo "tree $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?')" \
  "$(git -C "$top" status --porcelain 2>/dev/null | grep -q . && echo '(with uncommitted changes)')," \
  "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Postfix $(postconf -c "$pf/etc" -h mail_version) on 127.0.0.1:$port, STARTTLS: $tls; scratch $scratch"

attachment="$scratch/attachment.bin"
head -c $((attach_kb * 1024)) /dev/urandom >"$attachment"

mkdir -p "$scratch/logs"
# run_variant NAME ROUND: one variant in its own JVM; prints its rate, or FAILED and why.
run_variant() {
  local name=$1 round=$2 log="$scratch/logs/$2-$1.log" status=0 before after accepted rate home
  local tag="r$round-$name" to="receiver-$round-$name@bench.test"
  before=$(sent_lines)
  case "$name" in
    natives)
      # A fresh home and store each round, so that Sent Items holds this round's messages only.
      home="$scratch/mapi-$round"
      rm -rf "$home"
      mkdir -p "$home/tmp"
      TOLVANE_MAPI_HOME=$home "$tool" profile create sender --address sender@bench.test \
        --display-name "Bench Sender" >/dev/null
      TOLVANE_MAPI_HOME=$home "$tool" profile set sender --transport "smtp://127.0.0.1:$port" \
        --starttls opportunistic >/dev/null
      TOLVANE_MAPI_HOME=$home "$JAVA" "${java_opts[@]}" -Djava.library.path="$snap/lib" \
        -Djava.io.tmpdir="$home/tmp" -Dfile.encoding=UTF-8 -cp "$classpath" \
        com.plimo.mail.mapi.bench.smtp.NativesSend sender "$home/tmp" "$tool" "$count" "$attachment" "$to" \
        "$tag" >"$log" 2>&1 || status=$?
      ;;
    javamail-send | javamail-reuse)
      "$JAVA" "${java_opts[@]}" -Dfile.encoding=UTF-8 -cp "$javamail_classpath" \
        com.plimo.mail.mapi.bench.smtp.JavaMailSend "${name#javamail-}" 127.0.0.1 "$port" "$count" "$attachment" \
        "$to" "$tag" >"$log" 2>&1 || status=$?
      ;;
  esac
  # Not timed: Postfix discards what it accepted before the next variant starts.
  after=$(wait_logged $((before + count)))
  accepted=$((after - before))
  if [ "$status" -ne 0 ] || ! grep -q '^RESULT ' "$log"; then
    echo "FAILED (exit $status; $log: $(grep -v '^RESULT' "$log" | tail -n 1))"
    return
  fi
  if [ "$accepted" -ne "$count" ]; then
    echo "FAILED (Postfix delivered $accepted messages, $count sent; $maillog)"
    return
  fi
  if [ "$name" = natives ]; then
    local filed queued
    filed=$(TOLVANE_MAPI_HOME=$home "$tool" list sender --folder "Sent Items" | wc -l)
    queued=$(TOLVANE_MAPI_HOME=$home "$tool" spool list sender | grep -c '^queue' || true)
    if [ "$filed" -ne "$count" ] || [ "$queued" -ne 0 ]; then
      echo "FAILED (Sent Items holds $filed messages, $count sent; $queued still queued)"
      return
    fi
    rm -rf "$home"
  fi
  rate=$(grep '^RESULT ' "$log" | tr ' ' '\n' | sed -n 's/^rate=//p')
  echo "$rate messages/s ($(grep -v '^RESULT' "$log" | tail -n 1 | sed 's/^[^:]*: //'); Postfix: $accepted)"
}

variants=(natives javamail-send javamail-reuse)
declare -A rates=()
declare -A failed=()
for round in $(seq "$rounds"); do
  # Interleaved: each round starts with the next variant, so that none always runs first.
  for i in 0 1 2; do
    name=${variants[$(((round - 1 + i) % 3))]}
    line=$(run_variant "$name" "$round")
    echo "  round $round $name: $line"
    if [[ "$line" == FAILED* ]]; then
      failed[$name]=1
    else
      rates[$name]="${rates[$name]:-} ${line%% *}"
    fi
  done
done

echo
echo "== results: medians of $rounds rounds, $count messages of $attach_kb KB each; ratio > 1: the natives are faster =="
declare -A med=()
for name in "${variants[@]}"; do
  if [ -n "${failed[$name]:-}" ]; then med[$name]=FAILURE; else med[$name]=$(median <<<"${rates[$name]}"); fi
done
ratio() {
  if [[ "${med[natives]}" =~ ^[0-9.]+$ ]] && [[ "$1" =~ ^[0-9.]+$ ]]; then calc '%.2f' "${med[natives]} / $1"; else echo "-"; fi
}
fmt() { if [[ "$1" =~ ^[0-9.]+$ ]]; then calc '%.1f' "$1"; else echo "$1"; fi; }
printf '%-54s | %10s | %s\n' "variant" "messages/s" "ratio natives/JavaMail"
printf '%-54s | %10s | %s\n' "natives (background spooler, until the queue is empty)" "$(fmt "${med[natives]}")" "-"
printf '%-54s | %10s | %s\n' "JavaMail Transport.send (a connection per message)" "$(fmt "${med[javamail-send]}")" \
  "$(ratio "${med[javamail-send]}")"
printf '%-54s | %10s | %s\n' "JavaMail one connected Transport" "$(fmt "${med[javamail-reuse]}")" \
  "$(ratio "${med[javamail-reuse]}")"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ ${#failed[@]} -gt 0 ]; then
  echo "smtp bench: FAILURE: ${!failed[*]} (logs in $scratch/logs and $maillog)" >&2
  [ -n "${BENCH_KEEP:-}" ] || echo "smtp bench: set BENCH_KEEP=1 to keep them" >&2
  exit 1
fi
