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
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
mail_dir="$examples/mail"

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

"$tool" profile create demo --address demo@example.org --display-name "Demo User"
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
"$tool" profile create colleague --address colleague@example.org --display-name "Colleague"
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
