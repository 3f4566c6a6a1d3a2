#!/usr/bin/env bash
# The natives against the tools Java mail code uses today, on the same generated mail:
#
#   walks     JavaMail parsing the .eml files, JavaMail over IMAP on a private Dovecot, the
#             natives on a MAPI store, and JavaMail through this library's provider (protocol
#             mapi) on the same store; each in its own JVM, interleaved over rounds
#   delivery  one process per message, `tolvane-mapi deliver` against `dovecot-lda` into a
#             Maildir, interleaved over rounds; all the files in one deliver call against
#             one LMTP session into the same Maildir; and `tolvane-mapi lmtp` against
#             Dovecot's LMTP with 4 and 8 connections at once (lmtp_load.py), with the
#             latency from the end of DATA to the reply
#
# Prints one table of medians and ratios. Figures, not tests: it asserts no time, but a
# walk whose counts do not match the corpus's manifest (or the other walks) is printed as
# FAILURE instead of a figure, and the script then exits 1.
#
#   bench/compare/run.sh BUILD_DIR
#
# BUILD_DIR is a configured and built tree (target bench_compare_tools). Needs Dovecot
# (dovecot-core, dovecot-imapd, dovecot-lmtpd: scripts/install-deps.sh bench) and root,
# to start Dovecot; the machine's own Dovecot service is neither used nor touched.
# Settings, from the environment (bench/README.md):
#   BENCH_DIR                    scratch folder (default BUILD_DIR/bench-run); this uses
#                                BENCH_DIR/compare
#   BENCH_COMPARE_SIZES          mailbox sizes, ascending (default "1000"); the mailboxes
#                                grow from one size to the next
#   BENCH_COMPARE_ROUNDS         rounds of the four walks (default 3)
#   BENCH_COMPARE_WARMUP         messages walked first and not timed (default 500; at
#                                most half the mailbox, in whole chunks)
#   BENCH_COMPARE_CHUNK          messages listed or fetched at a time (default 100)
#   BENCH_COMPARE_DELIVER_COUNT  messages of the delivery rows (default 300)
#   BENCH_COMPARE_DELIVER_ROUNDS rounds of the delivery rows (default 3)
#   BENCH_COMPARE_DELIVERY       0: no delivery rows (default 1)
#   BENCH_COMPARE_PARTS          where attachments are written (default a new folder in
#                                /dev/shm when it is a tmpfs, else in the scratch folder)
#   BENCH_JAVA_OPTS              extra JVM options
#   BENCH_KEEP                   set: keep the scratch folder afterwards
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
env_file="$build/java/compare.env"
# shellcheck source=../common.sh
. "$here/../common.sh"
bench_require compare bench_compare_tools "$build/bin/tolvane-mapi" "$build/lib/libtolvanemapi81_build001.so" \
  "$env_file"
# JAVA and COMPARE_CLASSPATH
# shellcheck source=/dev/null
. "$env_file"
for cmd in dovecot doveconf /usr/lib/dovecot/dovecot-lda python3; do
  if ! command -v "$cmd" >/dev/null; then
    echo "compare: $cmd is missing (bash scripts/install-deps.sh bench installs Dovecot)" >&2
    exit 1
  fi
done
if [ "$(id -u)" -ne 0 ]; then
  echo "compare: starting the private Dovecot needs root" >&2
  exit 1
fi

read -r -a sizes <<<"${BENCH_COMPARE_SIZES:-1000}"
rounds=${BENCH_COMPARE_ROUNDS:-3}
warmup=${BENCH_COMPARE_WARMUP:-500}
chunk=${BENCH_COMPARE_CHUNK:-100}
deliver_count=${BENCH_COMPARE_DELIVER_COUNT:-300}
deliver_rounds=${BENCH_COMPARE_DELIVER_ROUNDS:-3}
delivery=${BENCH_COMPARE_DELIVERY:-1}
read -r -a java_opts <<<"${BENCH_JAVA_OPTS:-}"
prev=0
for s in "${sizes[@]}"; do
  if ! [[ "$s" =~ ^[0-9]+$ ]] || [ "$s" -le "$prev" ]; then
    echo "compare: BENCH_COMPARE_SIZES must be ascending whole numbers: ${sizes[*]}" >&2
    exit 2
  fi
  prev=$s
done
largest=${sizes[-1]}
case "$(locale charmap 2>/dev/null || true)" in
  UTF-8 | utf8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac

bench_dir=${BENCH_DIR:-$build/bench-run}
scratch="$bench_dir/compare"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
if [ -n "${BENCH_COMPARE_PARTS:-}" ]; then
  parts=$BENCH_COMPARE_PARTS
elif [ "$(stat -f -c %T /dev/shm 2>/dev/null || true)" = tmpfs ]; then
  parts=/dev/shm/tolvane-compare-$$
else
  parts=$scratch/parts
fi

dovecot_pid=""
dc_made=""
cleanup() {
  if [ -n "$dovecot_pid" ] && kill -0 "$dovecot_pid" 2>/dev/null; then
    kill "$dovecot_pid" 2>/dev/null || true
    wait "$dovecot_pid" 2>/dev/null || true
  fi
  rm -rf "$parts"
  [ -z "$dc_made" ] || pf_cleanup_workdir "$dc_made"
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The run takes minutes and the build tree may be rebuilt meanwhile: it uses a copy of
# what it needs, taken now.
snap="$scratch/build"
bench_snapshot "$build" "$snap" "$COMPARE_CLASSPATH" tolvane-mapi
classpath=$bench_classpath
tool="$snap/bin/tolvane-mapi"
lda=/usr/lib/dovecot/dovecot-lda

now_ns() { date +%s%N; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

echo "== comparison: natives, the JavaMail provider, JavaMail on files, JavaMail IMAP on Dovecot =="
echo "tree $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?')" \
  "$(git -C "$top" status --porcelain 2>/dev/null | grep -q . && echo '(with uncommitted changes)')," \
  "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), scratch $scratch, attachments to $parts"

# ---- The corpus: the largest size once; a smaller mailbox is its prefix ----------------
corpus="$scratch/corpus"
have=0
[ -f "$corpus/manifest.tsv" ] && have=$(($(wc -l <"$corpus/manifest.tsv") - 1))
if [ "$have" -lt "$largest" ]; then
  echo "generating $largest messages (gen_corpus.py)"
  rm -rf "$corpus"
  python3 "$top/bench/corpus/gen_corpus.py" "$largest" "$corpus" >/dev/null
fi

# ---- The private Dovecot ----------------------------------------------------------------
# Its own configuration, base_dir, state and mail (Maildir) under the scratch folder, a
# passwd-file with the two users (the IMAP mailbox and the delivery rows), plaintext
# logins on loopback only. The mail belongs to nobody: Dovecot does not keep mail as root.
# nobody must reach it: when the scratch folder lies under a folder nobody cannot enter
# (a clone in /root), Dovecot's folder is a private one in /tmp instead (pf_workdir of
# tests/smtp/postfix.sh), removed at the end.
# shellcheck source=../../tests/smtp/postfix.sh
. "$top/tests/smtp/postfix.sh"
dc=$(pf_workdir "$scratch" dovecot) || { echo "compare: no folder for Dovecot" >&2; exit 1; }
dc_made=$dc
mkdir -p "$dc/run" "$dc/state" "$dc/mail/imap" "$dc/mail/lda"
mail_uid=$(id -u nobody)
mail_gid=$(id -g nobody)
chown -R "$mail_uid:$mail_gid" "$dc/mail"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
password=bench-$$-$RANDOM
cat >"$dc/passwd" <<EOF
imap:{PLAIN}$password:$mail_uid:$mail_gid::$dc/mail/imap
lda:{PLAIN}$password:$mail_uid:$mail_gid::$dc/mail/lda
EOF
chmod 0644 "$dc/passwd"
cat >"$dc/dovecot.conf" <<EOF
# The benchmark's own Dovecot (bench/compare/run.sh); nothing from /etc/dovecot.
instance_name = tolvane-bench-$$
base_dir = $dc/run
state_dir = $dc/state
log_path = $dc/dovecot.log
protocols = imap lmtp
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
login_trusted_networks = 127.0.0.0/8
auth_mechanisms = plain login
mail_location = maildir:~/Maildir
first_valid_uid = $mail_uid
last_valid_uid = $mail_uid
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%n $dc/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%n $dc/passwd
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
service lmtp {
  unix_listener lmtp {
    mode = 0600
  }
}
protocol lmtp {
  postmaster_address = postmaster@example.org
}
protocol lda {
  postmaster_address = postmaster@example.org
}
EOF
dovecot -F -c "$dc/dovecot.conf" &
dovecot_pid=$!
for _ in $(seq 100); do
  [ -S "$dc/run/lmtp" ] && python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" 2>/dev/null &&
    break
  kill -0 "$dovecot_pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$dovecot_pid" 2>/dev/null || [ ! -S "$dc/run/lmtp" ]; then
  echo "compare: Dovecot did not start; its log ($dc/dovecot.log):" >&2
  tail -n 20 "$dc/dovecot.log" >&2 || true
  exit 1
fi
echo "Dovecot $(dovecot --version | cut -d' ' -f1) (pid $dovecot_pid) on 127.0.0.1:$port"

# ---- The MAPI store ---------------------------------------------------------------------
mapi_home="$scratch/mapi-home"
rm -rf "$mapi_home"
mkdir -p "$mapi_home/tmp"
TOLVANE_MAPI_HOME=$mapi_home "$tool" profile create compare --address compare@example.org >/dev/null

# deliver FIRST LAST: corpus messages FIRST to LAST into both mailboxes, in file order.
deliver_both() {
  local first=$1 last=$2 start end
  start=$(now_ns)
  (cd "$corpus" && seq -f '%06g.eml' "$first" "$last" |
    TOLVANE_MAPI_HOME=$mapi_home xargs -r -n 2000 "$tool" deliver compare >/dev/null)
  end=$(now_ns)
  echo "  delivered $first-$last into the MAPI store (one deliver call per 2,000 files):" \
    "$(calc '%.0f' "($last - $first + 1) / (($end - $start) / 1e9)") messages/s"
  start=$(now_ns)
  python3 "$here/lmtp_deliver.py" "$dc/run/lmtp" imap "$corpus" "$first" "$last" >/dev/null
  end=$(now_ns)
  echo "  delivered $first-$last into Dovecot (one LMTP session):" \
    "$(calc '%.0f' "($last - $first + 1) / (($end - $start) / 1e9)") messages/s"
}

# walk NAME COUNT ROUND: one walk in its own JVM; its summary line, or FAILED
walk() {
  local name=$1 count=$2 round=$3 out records log status=0
  out="$parts/$name"
  rm -rf "$out"
  mkdir -p "$out"
  records="$scratch/walks/$count-$round-$name.tsv"
  log="$scratch/walks/$count-$round-$name.log"
  rm -f "$records"
  case "$name" in
    files)
      "$JAVA" "${java_opts[@]}" -Dfile.encoding=UTF-8 -cp "$classpath" \
        com.plimo.mail.mapi.bench.compare.FilesWalk "$corpus" "$count" "$out" "$records" "$warmup" "$chunk" \
        >"$log" 2>&1 || status=$?
      ;;
    imap)
      "$JAVA" "${java_opts[@]}" -Dfile.encoding=UTF-8 -cp "$classpath" \
        com.plimo.mail.mapi.bench.compare.ImapWalk 127.0.0.1 "$port" imap "$password" "$count" "$out" "$records" \
        "$warmup" "$chunk" >"$log" 2>&1 || status=$?
      ;;
    natives)
      TOLVANE_MAPI_HOME=$mapi_home "$JAVA" "${java_opts[@]}" -Djava.library.path="$snap/lib" \
        -Djava.io.tmpdir="$mapi_home/tmp" -Dfile.encoding=UTF-8 -cp "$classpath" \
        com.plimo.mail.mapi.bench.compare.NativesWalk compare "$mapi_home/tmp" "$count" "$out" "$records" \
        "$warmup" "$chunk" >"$log" 2>&1 || status=$?
      ;;
    provider)
      # The provider keeps the .msg file of an attached message whose data it hands out, in a
      # folder of java.io.tmpdir: on the filesystem the attachments are written to.
      mkdir -p "$out.tmp"
      TOLVANE_MAPI_HOME=$mapi_home "$JAVA" "${java_opts[@]}" -Djava.library.path="$snap/lib" \
        -Djava.io.tmpdir="$out.tmp" -Dfile.encoding=UTF-8 -cp "$classpath" \
        com.plimo.mail.mapi.bench.compare.ProviderWalk compare "$mapi_home/tmp" "$count" "$out" "$records" \
        "$warmup" "$chunk" >"$log" 2>&1 || status=$?
      ;;
  esac
  rm -rf "$out" "$out.tmp"
  if [ "$status" -ne 0 ] || ! grep -q '^WALK ' "$log"; then
    echo "FAILED (exit $status; $log)"
    return
  fi
  grep '^WALK ' "$log"
}

mkdir -p "$scratch/walks" "$parts"
failures=0
delivered=0
declare -A result
walks=(natives provider files imap)
for size in "${sizes[@]}"; do
  echo "== mailbox of $size messages =="
  deliver_both $((delivered + 1)) "$size"
  delivered=$size
  declare -A times=()
  declare -A failed=()
  for round in $(seq "$rounds"); do
    # Interleaved: each round starts with the next walk, so that none always runs first.
    order=()
    for i in "${!walks[@]}"; do order+=("${walks[$(((round - 1 + i) % ${#walks[@]}))]}"); done
    args=()
    for name in "${order[@]}"; do
      line=$(walk "$name" "$size" "$round")
      echo "  round $round $name: $line"
      if [[ "$line" == FAILED* ]]; then
        failed[$name]=1
      else
        times[$name]="${times[$name]:-} $(field us_per_message <<<"$line")"
      fi
      args+=("$name=$scratch/walks/$size-$round-$name.tsv")
    done
    # The counts of every walk, against the manifest and each other.
    status=0
    check=$(python3 "$here/check_walks.py" "$corpus/manifest.tsv" "$size" "${args[@]}" 2>&1) || status=$?
    named=0
    while read -r tag what verdict rest; do
      [ "$tag" = CHECK ] || continue
      [ "$verdict" = ok ] && continue
      echo "  round $round: $what FAILURE $rest"
      named=1
      case "$what" in
        files=imap) failed[files]=1 failed[imap]=1 ;;
        files=natives) failed[natives]=1 ;;
        files=provider | natives=provider) failed[provider]=1 ;;
        *) failed[$what]=1 ;;
      esac
    done <<<"$check"
    if [ "$status" -ne 0 ] && [ "$named" -eq 0 ]; then
      # The check itself failed: no walk counts as checked.
      echo "  round $round: the check failed: $check"
      for name in "${walks[@]}"; do failed[$name]=1; done
    fi
  done
  for name in "${walks[@]}"; do
    if [ -n "${failed[$name]:-}" ]; then
      result[$size,$name]=FAILURE
      failures=$((failures + 1))
    else
      result[$size,$name]=$(median <<<"${times[$name]}")
    fi
  done
  unset times failed
done

# ---- Delivery, one process per message --------------------------------------------------
dfailed=""
n=$deliver_count
if [ "$delivery" != 0 ]; then
  if [ "$n" -gt "$largest" ]; then
    echo "generating $n messages for the delivery rows"
    rm -rf "$scratch/deliver-corpus"
    python3 "$top/bench/corpus/gen_corpus.py" "$n" "$scratch/deliver-corpus" >/dev/null
    dcorpus="$scratch/deliver-corpus"
  else
    dcorpus=$corpus
  fi
  mapfile -t dfiles < <(seq -f "$dcorpus/%06g.eml" 1 "$n")
  echo "== delivery of $n messages: one process per message, and all in one call or session =="
  declare -A dtimes=()
  # Latencies of the LMTP runs with several connections, per round: "p50/p99" in ms.
  declare -A dlatency=()
  fresh_mapi() {
    rm -rf "$scratch/deliver-home"
    mkdir -p "$scratch/deliver-home/tmp"
    TOLVANE_MAPI_HOME=$scratch/deliver-home "$tool" profile create deliver --address deliver@example.org >/dev/null
  }
  fresh_maildir() {
    rm -rf "$dc/mail/lda"
    mkdir -p "$dc/mail/lda"
    chown "$mail_uid:$mail_gid" "$dc/mail/lda"
  }
  maildir_count() { find "$dc/mail/lda/Maildir/new" "$dc/mail/lda/Maildir/cur" -type f 2>/dev/null | wc -l; }
  # verify_store ROUND WHAT: the fresh store holds the N messages, each as the manifest says
  # (a walk through the natives, not timed).
  verify_store() {
    local status=0 records="$scratch/walks/deliver-$1-$2.tsv" log="$scratch/walks/deliver-$1-$2.log"
    rm -rf "$parts/deliver"
    mkdir -p "$parts/deliver"
    TOLVANE_MAPI_HOME=$scratch/deliver-home "$JAVA" "${java_opts[@]}" -Djava.library.path="$snap/lib" \
      -Dfile.encoding=UTF-8 -cp "$classpath" com.plimo.mail.mapi.bench.compare.NativesWalk deliver \
      "$scratch/deliver-home/tmp" "$n" "$parts/deliver" "$records" 0 "$chunk" >"$log" 2>&1 || status=$?
    rm -rf "$parts/deliver"
    if [ "$status" -ne 0 ]; then
      echo "  round $1 $2: the store does not hold the $n messages ($log)"
      return 1
    fi
    local order=()
    # Over several connections the messages arrive in any order.
    [[ "$2" == tlmtp* ]] && order=(--any-order)
    if ! python3 "$here/check_walks.py" "${order[@]}" "$dcorpus/manifest.tsv" "$n" "natives=$records" >>"$log"; then
      echo "  round $1 $2: the messages in the store do not match the corpus ($log)"
      return 1
    fi
  }
  for round in $(seq "$deliver_rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
      order=(mapi lda one lmtp tlmtp4 dlmtp4 tlmtp8 dlmtp8)
    else
      order=(dlmtp8 tlmtp8 dlmtp4 tlmtp4 lda lmtp one mapi)
    fi
    for what in "${order[@]}"; do
      status=0
      case "$what" in
        mapi)
          fresh_mapi
          start=$(now_ns)
          for f in "${dfiles[@]}"; do
            TOLVANE_MAPI_HOME=$scratch/deliver-home "$tool" deliver deliver <"$f" >/dev/null || { status=$?; break; }
          done
          end=$(now_ns)
          ;;
        lda)
          fresh_maildir
          start=$(now_ns)
          for f in "${dfiles[@]}"; do
            "$lda" -c "$dc/dovecot.conf" -d lda -f sender@example.org <"$f" || { status=$?; break; }
          done
          end=$(now_ns)
          got=$(maildir_count)
          if [ "$status" -eq 0 ] && [ "$got" -ne "$n" ]; then
            echo "  dovecot-lda: $got messages in the Maildir, $n delivered"
            status=1
          fi
          ;;
        lmtp)
          fresh_maildir
          start=$(now_ns)
          python3 "$here/lmtp_deliver.py" "$dc/run/lmtp" lda "$dcorpus" 1 "$n" >/dev/null || status=$?
          end=$(now_ns)
          got=$(maildir_count)
          if [ "$status" -eq 0 ] && [ "$got" -ne "$n" ]; then
            echo "  LMTP: $got messages in the Maildir, $n delivered"
            status=1
          fi
          ;;
        one)
          fresh_mapi
          start=$(now_ns)
          TOLVANE_MAPI_HOME=$scratch/deliver-home "$tool" deliver deliver "${dfiles[@]}" >/dev/null || status=$?
          end=$(now_ns)
          ;;
        tlmtp*)
          # tolvane-mapi's LMTP server, C connections at once into one mailbox.
          fresh_mapi
          sock=$scratch/tolvane-lmtp.sock
          rm -f "$sock"
          TOLVANE_MAPI_HOME=$scratch/deliver-home "$tool" lmtp --listen "unix:$sock" 2>"$scratch/tolvane-lmtp.log" &
          lmtp_pid=$!
          for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done
          start=$(now_ns)
          out=$(python3 "$here/lmtp_load.py" "$sock" deliver@example.org "$dcorpus" 1 "$n" "${what#tlmtp}") || status=$?
          end=$(now_ns)
          kill -TERM "$lmtp_pid" 2>/dev/null
          wait "$lmtp_pid" 2>/dev/null
          dlatency[$what]="${dlatency[$what]:-} $(sed -n 's/.*p50_ms=\([0-9.]*\) p99_ms=\([0-9.]*\).*/\1\/\2/p' <<<"$out")"
          ;;
        dlmtp*)
          # Dovecot's LMTP, the same.
          fresh_maildir
          start=$(now_ns)
          out=$(python3 "$here/lmtp_load.py" "$dc/run/lmtp" lda "$dcorpus" 1 "$n" "${what#dlmtp}") || status=$?
          end=$(now_ns)
          got=$(maildir_count)
          if [ "$status" -eq 0 ] && [ "$got" -ne "$n" ]; then
            echo "  Dovecot LMTP: $got messages in the Maildir, $n delivered"
            status=1
          fi
          dlatency[$what]="${dlatency[$what]:-} $(sed -n 's/.*p50_ms=\([0-9.]*\) p99_ms=\([0-9.]*\).*/\1\/\2/p' <<<"$out")"
          ;;
      esac
      if [ "$status" -eq 0 ] && { [ "$what" = mapi ] || [ "$what" = one ] || [[ "$what" == tlmtp* ]]; }; then
        verify_store "$round" "$what" || status=1
      fi
      if [ "$status" -ne 0 ]; then
        echo "  round $round $what: FAILED (exit $status)"
        [[ " $dfailed " == *" $what "* ]] || dfailed="$dfailed $what"
        continue
      fi
      ms=$(calc '%.2f' "($end - $start) / 1e6 / $n")
      echo "  round $round $what: $ms ms/message"
      dtimes[$what]="${dtimes[$what]:-} $ms"
    done
  done
fi
# ---- The table ---------------------------------------------------------------------------
ratio() {
  # ratio A B: B / A, how many times faster A is than B (both in time per message)
  if [[ "$1" =~ ^[0-9.]+$ ]] && [[ "$2" =~ ^[0-9.]+$ ]]; then calc '%.2f' "$2 / $1"; else echo "-"; fi
}
overhead() {
  # overhead A B: how much longer B takes than A, in percent of A
  if [[ "$1" =~ ^[0-9.]+$ ]] && [[ "$2" =~ ^[0-9.]+$ ]]; then calc '%+.1f %%' "($2 - $1) / $1 * 100"; else echo "-"; fi
}
echo
echo "== results: medians of $rounds rounds, us per message (warm-up not counted); speed ratios > 1: the first is faster =="
head='%-12s | %14s | %15s | %21s | %21s | %20s | %19s | %20s | %18s\n'
# shellcheck disable=SC2059
printf "$head" "mailbox size" "natives us/msg" "provider us/msg" "provider over natives" "JavaMail files us/msg" \
  "JavaMail IMAP us/msg" "natives/files speed" "provider/files speed" "natives/IMAP speed"
for size in "${sizes[@]}"; do
  nat=${result[$size,natives]} prv=${result[$size,provider]} fil=${result[$size,files]} imp=${result[$size,imap]}
  # shellcheck disable=SC2059
  printf "$head" "$size" "$nat" "$prv" "$(overhead "$nat" "$prv")" "$fil" "$imp" "$(ratio "$nat" "$fil")" \
    "$(ratio "$prv" "$fil")" "$(ratio "$nat" "$imp")"
done
if [ "$delivery" != 0 ]; then
  echo
  echo "== delivery of $n messages: medians of $deliver_rounds rounds =="
  dmed() {
    if [[ " $dfailed " == *" $1 "* ]]; then echo FAILURE; else median <<<"${dtimes[$1]:-}"; fi
  }
  mapi_ms=$(dmed mapi) lda_ms=$(dmed lda) one_ms=$(dmed one) lmtp_ms=$(dmed lmtp)
  rate() { if [[ "$1" =~ ^[0-9.]+$ ]]; then calc '%.0f' "1000 / $1"; else echo "$1"; fi; }
  # latency WHAT: the medians over the rounds of the runs' p50 and p99
  latency() {
    local v=${dlatency[$1]:-}
    echo "$(tr ' ' '\n' <<<"$v" | cut -s -d/ -f1 | tr '\n' ' ' | median)/$(tr ' ' '\n' <<<"$v" | cut -s -d/ -f2 | tr '\n' ' ' | median)"
  }
  printf '%-46s | %12s | %20s | %s\n' "delivery" "tolvane-mapi" "Dovecot" "speed ratio (> 1: tolvane-mapi faster)"
  printf '%-46s | %12s | %20s | %s\n' "one process per message, ms/message" "$mapi_ms" "$lda_ms (dovecot-lda)" \
    "$(ratio "$mapi_ms" "$lda_ms")"
  printf '%-46s | %12s | %20s | %s\n' "all $n in one call / one session, messages/s" "$(rate "$one_ms")" \
    "$(rate "$lmtp_ms") (LMTP)" "$(ratio "$one_ms" "$lmtp_ms")"
  for c in 4 8; do
    t=$(dmed "tlmtp$c") d=$(dmed "dlmtp$c")
    printf '%-46s | %12s | %20s | %s\n' "LMTP, $c connections at once, messages/s" "$(rate "$t")" "$(rate "$d") (LMTP)" \
      "$(ratio "$t" "$d")"
    printf '%-46s | %12s | %20s |\n' "  latency end of DATA to reply, p50/p99 ms" "$(latency "tlmtp$c")" \
      "$(latency "dlmtp$c")"
  done
  echo "(each side syncs before it replies: tolvane-mapi one fdatasync per group of messages that arrive together"
  echo " for one mailbox, Dovecot its Maildir files as its mail_fsync setting says)"
fi
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
for w in $dfailed; do failures=$((failures + 1)); done
if [ "$failures" -gt 0 ]; then
  echo "compare: $failures FAILURE(s): counts that do not match the corpus (logs in $scratch/walks)" >&2
  [ -n "${BENCH_KEEP:-}" ] || echo "compare: set BENCH_KEEP=1 to keep them" >&2
  exit 1
fi
