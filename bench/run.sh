#!/usr/bin/env bash
# The reading benchmarks: the Inbox walk and .msg export (inbox), a large attachment
# written to a file against cp and the .msg export of a message with a large attachment
# (attachment). Prints figures and the ratios measured in this run; asserts nothing.
#
#   bench/run.sh BUILD_DIR [inbox|attachment|handles|all]
#
# BUILD_DIR is a configured and built tree (target bench_tools). Settings, from the
# environment:
#   BENCH_DIR               where the MAPI homes, stores and files go
#                           (default BUILD_DIR/bench-run; the attachment's file and cp's
#                           copy are written there, on one filesystem)
#   BENCH_INBOX_SIZES       Inbox sizes walked, ascending (default "10000 100000"); the
#                           folder grows from one size to the next
#   BENCH_EXPORT_COUNT      messages exported as .msg, of the mixed kind and of the
#                           realistic Inbox (default 200)
#   BENCH_ATTACHMENT_MB     the attachment written to a file, MiB (default 1024)
#   BENCH_MSG_ATTACHMENT_MB the attachment of the exported message, MiB (default 100)
#   BENCH_JAVA_OPTS         extra JVM options
#   BENCH_KEEP              set: keep the stores and files afterwards
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [inbox|attachment|handles|all]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
what=${2:-all}
top=$(cd "$(dirname "$0")/.." && pwd)
env_file="$build/java/bench.env"
# shellcheck source=common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_require bench bench_tools "$build/bin/bench_populate" "$build/bin/bench_liveobjects" "$build/bin/tolvane-mapi" \
  "$build/lib/libtolvanemapi81_build001.so" "$env_file"
# JAVA and BENCH_CLASSPATH
# shellcheck source=/dev/null
. "$env_file"

bench_dir=${BENCH_DIR:-$build/bench-run}
sizes=${BENCH_INBOX_SIZES:-10000 100000}
export_count=${BENCH_EXPORT_COUNT:-200}
attachment_mb=${BENCH_ATTACHMENT_MB:-1024}
msg_attachment_mb=${BENCH_MSG_ATTACHMENT_MB:-100}
java_opts=${BENCH_JAVA_OPTS:-}
case "$(locale charmap 2>/dev/null || true)" in
  UTF-8 | utf8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac
mkdir -p "$bench_dir"
bench_dir=$(cd "$bench_dir" && pwd)

# A run takes long and the build tree may be rebuilt meanwhile: the run uses a copy of
# what it needs, taken now.
snap="$bench_dir/build"
bench_snapshot "$build" "$snap" "$BENCH_CLASSPATH" bench_populate tolvane-mapi
classpath=$bench_classpath
populate="$snap/bin/bench_populate"
tool="$snap/bin/tolvane-mapi"

now() { date +%s.%N; }
# result KEY FILE: the value of KEY= in the last RESULT line of FILE that has KEY
result() { grep "^RESULT.* $1=" "$2" | tail -1 | tr ' ' '\n' | sed -n "s/^$1=//p"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
run_java() {
  # shellcheck disable=SC2086
  "$JAVA" $java_opts -Djava.library.path="$snap/lib" -Djava.io.tmpdir="$TOLVANE_MAPI_HOME/tmp" \
    -cp "$classpath" "$@"
}
fresh_home() {
  rm -rf "$1"
  mkdir -p "$1/tmp"
  export TOLVANE_MAPI_HOME=$1
}
machine() {
  local head dirty
  head=$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)
  dirty=$(git -C "$top" status --porcelain --untracked-files=no 2>/dev/null | wc -l || true)
  echo "tree: $head, $dirty files changed and not committed"
  echo "machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo),"\
    "load average $(cut -d' ' -f1-3 /proc/loadavg); $bench_dir on $(df -h "$bench_dir" | awk 'NR == 2 {print $1 " (" $4 " free)"}')"
}

# ---- The Inbox walk and the .msg export -------------------------------------------------

bench_inbox() {
  local home="$bench_dir/inbox-home" have=0 first_size="" last_size="" size log
  fresh_home "$home"
  echo "== Inbox walk ($sizes messages) =="
  machine
  "$tool" profile create inbox --address bench@example.org --display-name "Bench User" >/dev/null
  for size in $sizes; do
    if [ "$size" -gt "$have" ]; then
      echo "populating the Inbox: messages $have to $((size - 1))"
      local t0 t1
      t0=$(now)
      "$populate" inbox inbox "$have" "$((size - have))"
      t1=$(now)
      echo "  $(calc '%.0f' "($size - $have) / ($t1 - $t0)") messages/s stored;" \
        "store $(du -h "$home/stores/inbox.db" | cut -f1)"
      have=$size
    fi
    log="$bench_dir/inbox-$size.log"
    echo "walking $size messages"
    local exp=0
    [ -z "$first_size" ] && exp=$export_count
    run_java com.plimo.mail.mapi.bench.InboxWalk inbox "$home/tmp" "$exp" | tee "$log" | grep -v '^RESULT'
    [ -z "$first_size" ] && first_size=$size
    last_size=$size
  done

  echo "populating $export_count messages of mixed sizes (attachments, attached messages)"
  "$tool" profile create mixed >/dev/null
  "$populate" mixed mixed "$export_count" | tail -1
  run_java com.plimo.mail.mapi.bench.MessageExport mixed "$home/tmp" | tee "$bench_dir/export-mixed.log" | grep -v '^RESULT'

  echo
  echo "== Inbox summary =="
  local a="$bench_dir/inbox-$first_size.log" b="$bench_dir/inbox-$last_size.log"
  for size in $sizes; do
    local l="$bench_dir/inbox-$size.log"
    echo "  $size messages: getFolderMessages + walk $(calc '%.0f' "1e6 / $(result total_us "$l")") messages/s" \
      "($(result total_us "$l") us/message; list $(calc '%.1f' "$(result list_s "$l") * 1e6 / $size") us," \
      "walk $(result walk_us "$l") us; CPU: list $(result list_cpu_us "$l") us, walk $(result walk_cpu_us "$l") us);" \
      "RSS for the list $(calc '%.0f' "($(result rss_list "$l") - $(result rss_open "$l")) / $size") bytes/message," \
      "after the walk $(calc '%.0f' "($(result rss_walk "$l") - $(result rss_open "$l")) / $size") bytes/message," \
      "peak $(calc '%.1f' "$(result hwm "$l") / 1048576") MiB;" \
      "heap for the list $(calc '%.0f' "($(result heap_list "$l") - $(result heap_open "$l")) / $size") bytes/message"
  done
  if [ "$first_size" != "$last_size" ]; then
    echo "  per-message cost, $last_size over $first_size messages:" \
      "list + walk $(calc '%.2f' "$(result total_us "$b") / $(result total_us "$a")")," \
      "walk $(calc '%.2f' "$(result walk_us "$b") / $(result walk_us "$a")")," \
      "list $(calc '%.2f' "$(result list_s "$b") / $last_size / ($(result list_s "$a") / $first_size)");" \
      "CPU: list $(calc '%.2f' "$(result list_cpu_us "$b") / $(result list_cpu_us "$a")")," \
      "walk $(calc '%.2f' "$(result walk_cpu_us "$b") / $(result walk_cpu_us "$a")")"
  fi
  echo "  in the $last_size folder, last tenth over first tenth of the walk:" \
    "$(calc '%.2f' "$(result last_tenth_us "$b") / $(result first_tenth_us "$b")")" \
    "(CPU $(calc '%.2f' "$(result last_tenth_cpu_us "$b") / $(result first_tenth_cpu_us "$b")"))"
  for l in "$a" "$bench_dir/export-mixed.log"; do
    grep '^RESULT export=' "$l" | tail -1 | sed 's/^RESULT /  getMessageFile: /'
  done
}

# ---- A large attachment to a file, against cp; the .msg of a large message -------------

# timed_cp SRC DST: "elapsed user system" seconds of cp (the target removed and the
# disk flushed first)
timed_cp() {
  rm -f "$2"
  sync
  local TIMEFORMAT='%3R %3U %3S'
  { time cp "$1" "$2"; } 2>&1
}

bench_attachment() {
  local home="$bench_dir/attachment-home" files="$bench_dir/files"
  local bytes=$((attachment_mb * 1048576)) msg_bytes=$((msg_attachment_mb * 1048576))
  echo "== Attachment of $attachment_mb MiB to a file, against cp =="
  machine
  # the store, cp's source, cp's copy and the written file; then the smaller message's
  local need_kb=$(((4 * bytes + 3 * msg_bytes) / 1024 + 1048576))
  local free_kb
  free_kb=$(df -Pk "$bench_dir" | awk 'NR == 2 {print $4}')
  if [ "$free_kb" -lt "$need_kb" ]; then
    echo "bench: $bench_dir has $((free_kb / 1024)) MiB free, $((need_kb / 1024)) MiB are needed" >&2
    return 1
  fi
  fresh_home "$home"
  rm -rf "$files"
  mkdir -p "$files"
  "$tool" profile create large >/dev/null
  echo "storing the attachment (generated, streamed into the store)"
  "$populate" attachment large "$bytes"
  echo "writing the same bytes to a file for cp"
  "$populate" file "$files/source.bin" "$bytes"
  # Both sources read once, so that each is read from the page cache.
  cat "$files/source.bin" "$home/stores/large.db" >/dev/null

  local cp1 cp1u cp1s cp2 cp2u cp2s log="$bench_dir/attachment-write.log"
  read -r cp1 cp1u cp1s <<<"$(timed_cp "$files/source.bin" "$files/cp-copy.bin")"
  echo "cp: $cp1 s, $(calc '%.1f' "$bytes / $cp1 / 1e6") MB/s (CPU $(calc '%.3f' "$cp1u + $cp1s") s)"
  rm -f "$files/java-copy.bin" "$files/java-copy.link"
  sync
  run_java com.plimo.mail.mapi.bench.AttachmentWrite large "$home/tmp" write "$files/java-copy.bin" \
    "$files/java-copy.link" | tee "$log" | grep -v '^RESULT'
  read -r cp2 cp2u cp2s <<<"$(timed_cp "$files/source.bin" "$files/cp-copy.bin")"
  echo "cp: $cp2 s, $(calc '%.1f' "$bytes / $cp2 / 1e6") MB/s (CPU $(calc '%.3f' "$cp2u + $cp2s") s)"
  local same="identical to"
  cmp -s "$files/source.bin" "$files/java-copy.link" || same="DIFFERENT from"
  echo "the written file is $same cp's source"
  rm -f "$files/cp-copy.bin" "$files/java-copy.link" "$files/source.bin"

  echo "== .msg export of a message with a $msg_attachment_mb MiB attachment =="
  "$tool" profile create msg >/dev/null
  "$populate" attachment msg "$msg_bytes"
  "$populate" file "$files/source.bin" "$msg_bytes"
  cat "$files/source.bin" "$home/stores/msg.db" >/dev/null
  local cp3 cp3u cp3s mlog="$bench_dir/attachment-msg.log"
  sync
  run_java com.plimo.mail.mapi.bench.AttachmentWrite msg "$home/tmp" msg | tee "$mlog" | grep -v '^RESULT'
  read -r cp3 cp3u cp3s <<<"$(timed_cp "$files/source.bin" "$files/cp-copy.bin")"
  echo "cp of $msg_attachment_mb MiB: $cp3 s, $(calc '%.1f' "$msg_bytes / $cp3 / 1e6") MB/s" \
    "(CPU $(calc '%.3f' "$cp3u + $cp3s") s)"
  rm -f "$files/cp-copy.bin" "$files/source.bin"

  echo
  echo "== Attachment summary =="
  local wb ws wc cpm cpc
  wb=$(result write_bytes "$log")
  ws=$(result write_s "$log")
  wc=$(result write_cpu_s "$log")
  cpm=$(calc '%.6f' "($cp1 + $cp2) / 2")
  cpc=$(calc '%.6f' "($cp1u + $cp1s + $cp2u + $cp2s) / 2")
  cpc=$(calc '%.6f' "($cpc > 0 ? $cpc : 0.001)")
  echo "  writeBodypartToFile $(calc '%.1f' "$wb / $ws / 1e6") MB/s, cp $(calc '%.1f' "$bytes / $cpm / 1e6") MB/s" \
    "(mean of two): ratio $(calc '%.2f' "($wb / $ws) / ($bytes / $cpm)") (goal >= 0.5);" \
    "per CPU second: $(calc '%.1f' "$wb / $wc / 1e6") MB against cp's $(calc '%.1f' "$bytes / $cpc / 1e6") MB," \
    "ratio $(calc '%.2f' "($wb / $wc) / ($bytes / $cpc)");" \
    "peak resident growth $(calc '%.1f' "$(result growth "$log") / 1048576") MiB (goal < 32 MiB)"
  local mb ms mc
  mb=$(result msg_bytes "$mlog")
  ms=$(result msg_s "$mlog")
  mc=$(result msg_cpu_s "$mlog")
  echo "  getMessageFile of the $msg_attachment_mb MiB message: $(calc '%.1f' "$mb / 1e6") MB of .msg in" \
    "$(calc '%.2f' "$ms") s, $(calc '%.1f' "$mb / $ms / 1e6") MB/s, $(calc '%.2f' "($mb / $ms) / ($msg_bytes / $cp3)")" \
    "of cp (per CPU second $(calc '%.2f' "($mb / $mc) / ($msg_bytes / ($cp3u + $cp3s > 0 ? $cp3u + $cp3s : 0.001))") of cp);" \
    "peak resident growth $(calc '%.1f' "$(result growth "$mlog") / 1048576") MiB"
}

# The table of live native objects that every native checks its handle against: the
# cost of a look-up and of an object's entry and leave, against a walk's time per message.
bench_handles() {
  echo "== handle checks (bench_liveobjects) =="
  "$build/bin/bench_liveobjects" --benchmark_format=console 2>/dev/null | grep '^BM_'
}

case "$what" in
  inbox) bench_inbox ;;
  attachment) bench_attachment ;;
  handles) bench_handles ;;
  all)
    bench_handles
    echo
    bench_inbox
    echo
    bench_attachment
    ;;
  *)
    echo "usage: $0 BUILD_DIR [inbox|attachment|handles|all]" >&2
    exit 2
    ;;
esac
if [ -z "${BENCH_KEEP:-}" ]; then
  rm -rf "$bench_dir/inbox-home" "$bench_dir/attachment-home" "$bench_dir/files" "$snap"
  echo "(stores and files removed; the logs stay in $bench_dir)"
fi
