#!/usr/bin/env bash
# Configures the build folder with CMake when it has no generated build system yet.
#
#   scripts/configure.sh BUILD_DIR demo|test
#
# The build folder counts as configured when CMake's generated Makefile is there: CMake
# writes it last, once the whole configuration succeeded. A failed or interrupted
# configuration leaves none (this script removes the old one first), so the next run
# configures again. `demo` configures a new folder without the tests (the demo's packages
# are enough); `test` also configures again a folder that was configured without them.
# When CMake fails, the Debian packages that provide what it missed are named.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR demo|test" >&2
  exit 2
fi
build=$1
mode=$2
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

tests_on() {
  grep -q '^TOLVANE_TESTS:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null
}

case "$mode" in
  demo)
    [ -f "$build/Makefile" ] && exit 0
    if [ -f "$build/CMakeCache.txt" ] && tests_on; then tests=ON; else tests=OFF; fi
    ;;
  test)
    [ -f "$build/Makefile" ] && tests_on && exit 0
    tests=ON
    ;;
  *)
    echo "usage: $0 BUILD_DIR demo|test" >&2
    exit 2
    ;;
esac

mkdir -p "$build"
rm -f "$build/Makefile"
log="$build/configure.log"
echo "configure: cmake -S . -B $build (tests and benchmarks: $tests)"
status=0
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_TESTS=$tests 2>&1 |
  tee "$log" || status=$?
if [ "$status" -eq 0 ] && [ -f "$build/Makefile" ]; then
  exit 0
fi
rm -f "$build/Makefile"

# What CMake could not find, and the Debian package behind it.
hints=()
hint() { grep -qE "$1" "$log" && hints+=("$2") || true; }
# The project's own messages name the package: "Debian package: NAME".
while read -r package; do
  hints+=("$package")
done < <(sed -n 's/^ *Debian package: \([^ ]*\)$/\1/p' "$log")
hint "No package 'sqlite3' found" libsqlite3-dev
hint "No package 'libgsf-1' found" libgsf-1-dev
hint "No package 'gmime-3.0' found" libgmime-3.0-dev
hint "No package 'libcurl' found" libcurl4-openssl-dev
hint "Could NOT find PkgConfig" pkg-config
hint "Could NOT find (JNI|Java)" openjdk-17-jdk-headless
hint "Could NOT find GTest" libgtest-dev
hint "provided by \"benchmark\"" libbenchmark-dev
hint "install libmail-java" libmail-java
hint "No CMAKE_CXX?_COMPILER could be found" g++
command -v cmake >/dev/null || hints+=(cmake)
if [ ${#hints[@]} -gt 0 ]; then
  mapfile -t hints < <(printf '%s\n' "${hints[@]}" | sort -u)
fi
echo >&2
echo "configure: CMake failed (its output: $log)." >&2
if [ ${#hints[@]} -gt 0 ]; then
  echo "configure: missing: ${hints[*]} (Debian packages);" \
    "bash scripts/install-deps.sh $mode installs them, or: apt-get install --no-install-recommends ${hints[*]}" >&2
fi
echo "configure: the next run configures again." >&2
exit 1
