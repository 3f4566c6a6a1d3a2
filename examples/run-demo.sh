#!/usr/bin/env bash
# The reading demo: a fresh MAPI home with a profile "demo", the sample messages of
# examples/mail delivered into its Inbox with `tolvane-mapi deliver`, then the Java demo,
# which reads the Inbox through the native library and saves attachments and .msg files.
#
#   examples/run-demo.sh BUILD_DIR
#
# BUILD_DIR is a configured and built tree (bin/tolvane-mapi, lib/, java/*.jar). Everything
# the demo makes goes under it: BUILD_DIR/demo-home (the MAPI home, started afresh) and
# BUILD_DIR/demo-output (attachments and .msg files, emptied first).
#
# DEMO_STORE=postgresql (root, PostgreSQL 15 installed: `make demo DEMO_STORE=postgresql`
# installs it) keeps the two mailboxes on a private PostgreSQL server started for the demo
# (tests/pg/pgserver.sh) instead of in store files; the server and its data go at the end.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
mail_dir="$examples/mail"
store_of=()
case "${DEMO_STORE:-sqlite}" in
  sqlite) ;;
  postgresql)
    if [ -z "${TOLVANE_TEST_PG:-}" ]; then
      echo "run-demo: starting a private PostgreSQL server for the demo's mailboxes"
      exec bash "$examples/../tests/pg/pgserver.sh" run bash "$0" "$build"
    fi
    store_of=(--store "$TOLVANE_TEST_PG mailbox=")
    ;;
  *)
    echo "run-demo: DEMO_STORE is sqlite (the default) or postgresql, not '$DEMO_STORE'" >&2
    exit 2
    ;;
esac
# The --store option of profile NAME: none for store files.
store() { [ ${#store_of[@]} -eq 0 ] || printf '%s\n' "${store_of[0]}" "${store_of[1]}$1"; }

tool="$build/bin/tolvane-mapi"
libdir="$build/lib"
env_file="$build/java/demo.env"
for needed in "$tool" "$env_file"; do
  if [ ! -e "$needed" ]; then
    echo "run-demo: $needed is missing; build the tree first" >&2
    exit 1
  fi
done
# JAVA and DEMO_CLASSPATH, as the build found and made them
# shellcheck source=/dev/null
. "$env_file"

shopt -s nullglob
samples=("$mail_dir"/*.eml)
shopt -u nullglob
if [ ${#samples[@]} -eq 0 ]; then
  echo "run-demo: no sample messages (*.eml) in $mail_dir" >&2
  exit 1
fi
# `deliver` is how mail reaches a store; without it there is nothing to read.
usage=$("$tool" 2>&1 || true)
if ! grep -q '^ *tolvane-mapi deliver ' <<<"$usage"; then
  echo "run-demo: $tool has no 'deliver' command; it is needed to put the sample messages into the store" >&2
  exit 1
fi

# Subjects, names and bodies are not all ASCII: the native side converts text through the
# locale's code page and Java names files and prints through it, so run in UTF-8.
case "$(locale charmap 2>/dev/null || true)" in
  UTF-8 | utf8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac

home="$build/demo-home"
output="$build/demo-output"
rm -rf "$home" "$output"
mkdir -p "$home/tmp"
export TOLVANE_MAPI_HOME="$home"
echo "run-demo: MAPI home $home"

mapfile -t demo_store < <(store demo)
"$tool" profile create demo --address demo@example.org --display-name "Demo User" "${demo_store[@]}"
echo "run-demo: profile 'demo' created"

echo "run-demo: delivering ${#samples[@]} sample message(s) from $mail_dir"
status=0
"$tool" deliver demo "${samples[@]}" || status=$?
if [ "$status" -ne 0 ]; then
  echo "run-demo: tolvane-mapi deliver failed (exit $status)" >&2
  exit 1
fi

echo "run-demo: reading the Inbox from Java"
echo
status=0
# java.io.tmpdir: the body parts keep their data in temporary files; keep them in the home too.
"$JAVA" -XX:-UsePerfData -Djava.library.path="$libdir" -Djava.io.tmpdir="$home/tmp" -cp "$DEMO_CLASSPATH" \
  com.plimo.mail.mapi.demo.Demo demo "$home/tmp" "$output" || status=$?
echo
if [ "$status" -ne 0 ]; then
  echo "run-demo: the Java demo failed (exit $status)" >&2
  exit "$status"
fi
echo "run-demo: sending from 'demo' to a second profile 'colleague' of the same home"
mapfile -t colleague_store < <(store colleague)
"$tool" profile create colleague --address colleague@example.org --display-name "Colleague" "${colleague_store[@]}"
status=0
"$JAVA" -XX:-UsePerfData -Djava.library.path="$libdir" -Djava.io.tmpdir="$home/tmp" -cp "$DEMO_CLASSPATH" \
  com.plimo.mail.mapi.demo.SendDemo demo colleague@example.org colleague "$home/tmp" || status=$?
echo
if [ "$status" -ne 0 ]; then
  echo "run-demo: the sending demo failed (exit $status)" >&2
  exit "$status"
fi
echo "run-demo: MAPI home (profiles 'demo' and 'colleague', stores): $home"
echo "run-demo: attachments and .msg files:       $output"
