#!/usr/bin/env bash
# Configures and builds the sanitizer tree: the whole project built by clang with
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's instrumentation
# (cmake/sanitize.cmake), of which only the C++ tests, what they run (the command, the JNI
# library, the Java classes) and the fuzz targets are built (target sanitize_targets).
# Java programs of the tests run with TREE/java-asan, a java launcher that preloads the
# sanitizer runtime.
#
#   tests/sanitize/build.sh SOURCE_DIR TREE [JOBS]
#
# The tree counts as configured when CMake's generated Makefile is there (as in
# scripts/configure.sh): a failed configuration leaves none and the next run configures
# again. Later runs build what changed.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 SOURCE_DIR TREE [JOBS]" >&2
  exit 2
fi
src=$(cd "$1" && pwd)
tree=$2
jobs=${3:-$(nproc)}
. "$src/tests/sanitize/common.sh"
require_clang sanitize_build
# The build runs the test binaries to list their tests (gtest_discover_tests).
sanitizer_env "$src"

start=$SECONDS
mkdir -p "$tree"
# The tests that start a JVM with the java launcher (which has no sanitizer runtime of its
# own) get this one: it preloads clang's shared ASan runtime (UBSan's handlers are in it),
# so the sanitized JNI library loads. LeakSanitizer cannot scan the JVM's memory and the
# JVM handles SIGSEGV itself: neither is asked of ASan there.
java=$(command -v java || true)
[ -n "${JAVA_HOME:-}" ] && [ -x "$JAVA_HOME/bin/java" ] && java=$JAVA_HOME/bin/java
[ -n "$java" ] || missing_tool sanitize_build "java is not installed (Debian package openjdk-17-jdk-headless)"
cat >"$tree/java-asan" <<JAVA
#!/bin/sh
# java with the ASan runtime preloaded (written by tests/sanitize/build.sh)
export LD_PRELOAD="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)\${LD_PRELOAD:+:\$LD_PRELOAD}"
export ASAN_OPTIONS="\${ASAN_OPTIONS:+\$ASAN_OPTIONS:}detect_leaks=0:handle_segv=0"
exec "$(readlink -f "$java")" "\$@"
JAVA
chmod +x "$tree/java-asan"

if [ ! -f "$tree/Makefile" ]; then
  status=0
  cmake -S "$src" -B "$tree" \
    -DCMAKE_C_COMPILER="$(command -v clang)" -DCMAKE_CXX_COMPILER="$(command -v clang++)" \
    -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_TESTS=ON \
    -DTOLVANE_SANITIZE=address,undefined -DTOLVANE_FUZZ=ON \
    -DJava_JAVA_EXECUTABLE="$tree/java-asan" >"$tree/configure.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || [ ! -f "$tree/Makefile" ]; then
    rm -f "$tree/Makefile"
    tail -n 40 "$tree/configure.log" >&2
    echo "sanitize_build: configuring $tree failed (the whole output: $tree/configure.log)" >&2
    exit 1
  fi
fi
# The compiler's output only when the build fails: the make log is long.
log="$tree/build.log"
if ! cmake --build "$tree" -j "$jobs" --target sanitize_targets >"$log" 2>&1; then
  grep -E -B2 -A12 'error:|Error [0-9]|undefined reference|ERROR: ' "$log" | head -n 200 >&2 || tail -n 80 "$log" >&2
  echo "sanitize_build: building $tree failed (the whole output: $log)" >&2
  exit 1
fi
warnings=$(grep -c 'warning:' "$log" || true)
echo "sanitize_build: $tree built in $((SECONDS - start)) s ($warnings compiler warnings; $log)"
