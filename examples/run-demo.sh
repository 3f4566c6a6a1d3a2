#!/usr/bin/env bash
# Runs the Java demo against a build: a fresh MAPI home with one profile, then a logon
# through the native library from Java.
#
#   examples/run-demo.sh BUILD_DIR
#
# BUILD_DIR is a configured and built tree (bin/tolvane-mapi, lib/, java/*.jar).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)

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

home="$build/demo-home"
rm -rf "$home"
mkdir -p "$home/tmp"
export TOLVANE_MAPI_HOME="$home"
echo "run-demo: MAPI home $home"

"$tool" profile create demo --address demo@example.org --display-name "Demo User"
echo "run-demo: profile 'demo' created"

exec "$JAVA" -Djava.library.path="$libdir" -cp "$DEMO_CLASSPATH" \
  com.plimo.mail.mapi.demo.Demo demo "$home/tmp"
