#!/usr/bin/env bash
# Runs the 32-bit Windows DLL under Wine: builds it with mingw-w64 (in
# BINARY_DIR/win32, with the test program and the stand-in MAPI provider),
# makes a private Wine prefix under the build folder, names the provider as
# the default mail client's extended MAPI there, runs each scenario of
# wine_jni_test.exe in a process of its own, and stops the prefix's
# wineserver at the end, also when something failed or timed out.
#
# usage: run_wine_tests.sh SOURCE_DIR BINARY_DIR [CMAKE [GENERATOR]]
#
# Wine missing fails the test when CI or TOLVANE_REQUIRE_ALL_TOOLS is set (as
# under the test command); run by hand, it is skipped (exit 77) with a note.

set -uo pipefail

if [ $# -lt 2 ]; then
  sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi

SRC=$(cd "$1" && pwd)
BIN=$(cd "$2" && pwd)
CMAKE=${3:-cmake}
GENERATOR=${4:-}
TRIPLET=i686-w64-mingw32
WINBUILD=$BIN/win32
RUN=$WINBUILD/wine-run
SCENARIOS=(exports lifecycle init-fails logon-fails no-stores store-fails inbox compose large-inbox jvm-failures)
start=$SECONDS

flag_set() {
  local v=${!1:-}
  [ -n "$v" ] && [ "$v" != 0 ] && [ "$v" != false ]
}

missing_tool() {
  if flag_set CI || flag_set TOLVANE_REQUIRE_ALL_TOOLS; then
    echo "FAIL: a tool this test needs is missing: $1" \
      "(missing tools fail under CI or the test command; TOLVANE_REQUIRE_ALL_TOOLS)" >&2
    exit 1
  fi
  cat >&2 <<NOTE

************************************************************************
* SKIPPED win32_wine
* a tool it needs is missing: $1
* (under CI or the test command this test fails instead)
************************************************************************

NOTE
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# --- tools ------------------------------------------------------------------------
hint="bash scripts/install-deps.sh test installs it"
for tool in $TRIPLET-gcc $TRIPLET-g++ $TRIPLET-dlltool; do
  command -v "$tool" >/dev/null 2>&1 || missing_tool "$tool (Debian packages g++-mingw-w64-i686, binutils-mingw-w64-i686; $hint)"
done
command -v wine >/dev/null 2>&1 || missing_tool "wine (Debian packages wine and wine32:i386; $hint)"
WINESERVER=$(command -v wineserver || true)
[ -n "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
[ -x "$WINESERVER" ] || missing_tool "wineserver (Debian package wine; $hint)"
# Debian's wine runs 32-bit programs with wine32's loader.
if [ -d /usr/lib/wine ] && [ ! -x /usr/lib/wine/wine ]; then
  missing_tool "wine32:i386, Wine's 32-bit loader (/usr/lib/wine/wine; $hint)"
fi

# --- the Windows build ------------------------------------------------------------
mkdir -p "$WINBUILD"
echo "== building the DLL, the test program and the stand-in provider in $WINBUILD"
config=(-S "$SRC" -B "$WINBUILD" -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchain-$TRIPLET.cmake"
        -DCMAKE_BUILD_TYPE=Release)
if [ -n "$GENERATOR" ] && [ ! -f "$WINBUILD/CMakeCache.txt" ]; then
  config+=(-G "$GENERATOR")
fi
if ! "$CMAKE" "${config[@]}" >"$WINBUILD/wine-configure.log" 2>&1; then
  cat "$WINBUILD/wine-configure.log" >&2
  fail "configuring the Windows build failed"
fi
if ! "$CMAKE" --build "$WINBUILD" -j "$(nproc 2>/dev/null || echo 2)" \
     --target tolvanemapi81_build001 standin_mapi wine_jni_test >"$WINBUILD/wine-build.log" 2>&1; then
  cat "$WINBUILD/wine-build.log" >&2
  fail "building for Windows failed (log above)"
fi
DLL=$WINBUILD/lib/tolvanemapi81_build001.dll
PROVIDER=$WINBUILD/wine-test/standin_mapi.dll
EXE=$WINBUILD/wine-test/wine_jni_test.exe
for f in "$DLL" "$PROVIDER" "$EXE"; do [ -f "$f" ] || fail "the build made no $f"; done
echo "   built in $((SECONDS - start)) s"

# --- the prefix -------------------------------------------------------------------
# Wine maps the whole file system as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export WINEPREFIX=$RUN/prefix
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko installers, no desktop window.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
export HOME=${HOME:-$RUN}

stop_wineserver() {
  if [ -d "$WINEPREFIX" ]; then
    timeout -k 5 30 "$WINESERVER" -k >/dev/null 2>&1 || true
    timeout -k 5 30 "$WINESERVER" -w >/dev/null 2>&1 || true
    # The server's socket folder is always under /tmp (/tmp/.wine-UID/server-DEV-INODE
    # of the prefix, in hex); nothing of the run stays there.
    local dev ino
    dev=$(stat -c %d "$WINEPREFIX") ino=$(stat -c %i "$WINEPREFIX")
    rm -rf "/tmp/.wine-$(id -u)/server-$(printf '%x-%x' "$dev" "$ino")"
    rmdir "/tmp/.wine-$(id -u)" 2>/dev/null || true
  fi
}
trap stop_wineserver EXIT

stop_wineserver
rm -rf "$RUN"
mkdir -p "$RUN"
prefix_start=$SECONDS
if ! timeout -k 10 180 wine wineboot -i >"$RUN/wineboot.log" 2>&1; then
  cat "$RUN/wineboot.log" >&2
  fail "wineboot could not make the prefix $WINEPREFIX (log above)"
fi
# The stand-in is the default mail client's extended MAPI.
provider_win=$(winpath "$PROVIDER")
cat >"$RUN/standin.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Clients\\Mail]
@="Tolvane Stand-in MAPI"

[HKEY_LOCAL_MACHINE\\Software\\Clients\\Mail\\Tolvane Stand-in MAPI]
"DLLPathEx"="${provider_win//\\/\\\\}"
REG
if ! timeout -k 10 60 wine regedit /S "$(winpath "$RUN/standin.reg")" >"$RUN/regedit.log" 2>&1; then
  cat "$RUN/regedit.log" >&2
  fail "regedit could not register the stand-in provider"
fi
echo "== Wine prefix $WINEPREFIX made in $((SECONDS - prefix_start)) s ($(wine --version 2>/dev/null))"

# --- the scenarios ----------------------------------------------------------------
passed=0
failed=0
failed_names=()
for scenario in "${SCENARIOS[@]}"; do
  tmp=$RUN/tmp-$scenario
  mkdir -p "$tmp"
  out=$RUN/$scenario.log
  t0=$SECONDS
  timeout -k 5 90 wine "$EXE" "$scenario" "$(winpath "$tmp")" "$(winpath "$DLL")" "$provider_win" \
    >"$out" 2>&1
  rc=$?
  checks=$(grep -c '^ok: ' "$out" || true)
  if [ "$rc" -eq 0 ] && ! grep -q '^FAIL' "$out" && grep -q "^$scenario: [0-9]* passed, 0 failed" "$out"; then
    passed=$((passed + 1))
    echo "ok: $scenario ($checks checks, $((SECONDS - t0)) s)"
  else
    failed=$((failed + 1))
    failed_names+=("$scenario")
    case $rc in
      124|137) why="timed out" ;;
      90) why="the library called a MAPI method the stand-in does not serve" ;;
      4) why="the library called a JNI function the test JVM does not fill" ;;
      *) why="exit code $rc" ;;
    esac
    echo "FAIL: $scenario ($why); its output:"
    grep -v '^ok: ' "$out" | sed 's/^/    /' | head -n 200
  fi
done

echo "== the run under Wine took $((SECONDS - start)) s"
if [ "$failed" -gt 0 ]; then
  echo "failed scenarios: ${failed_names[*]} (full output in $RUN/<scenario>.log)"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
