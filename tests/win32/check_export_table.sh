#!/usr/bin/env bash
# Builds the 32-bit Windows DLL with mingw-w64 and checks its export and
# import tables against what Java and the Linux library say:
#
#  (a) the export directory names the module tolvanemapi81_build001.dll;
#  (b) the exported names are exactly "_<JNI name>@<bytes>" for every static
#      native declared in MAPINative.java and MAPINativeAttached.java (every
#      one must be implemented by the Linux library too),
#      the bytes counted from the Java parameter list (8 for JNIEnv* and
#      jclass, 8 per long/double, 4 per other parameter), plus _JNI_OnLoad@8
#      and _JNI_OnUnload@8 when the Linux library defines those: a native
#      missing, misnamed or mis-sized on Windows fails, and so does any
#      other export (an ordinal-only one included);
#  (c) MAPI is imported from MAPI32.dll under the names mapi32 exports (the
#      stdcall utilities with their @N), and no mingw runtime DLL is needed.
#
# usage: check_export_table.sh SOURCE_DIR BINARY_DIR LINUX_LIBRARY [CMAKE [GENERATOR]]
#   SOURCE_DIR     the source tree (its toolchain file and Java sources)
#   BINARY_DIR     the Linux build tree; the Windows build goes to BINARY_DIR/win32
#   LINUX_LIBRARY  the Linux libtolvanemapi81_build001.so

set -uo pipefail

if [ $# -lt 3 ]; then
  sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi

SRC=$(cd "$1" && pwd)
BIN=$(cd "$2" && pwd)
LINUX_LIB=$3
CMAKE=${4:-cmake}
GENERATOR=${5:-}
NAME=tolvanemapi81_build001
TRIPLET=i686-w64-mingw32
WINBUILD=$BIN/win32
JAVA_DIR=$SRC/java/src/com/plimo/mail/mapi
# The classes whose natives the library implements.
JAVA_SOURCES=("$JAVA_DIR/MAPINative.java" "$JAVA_DIR/MAPINativeAttached.java")
HERE=$(cd "$(dirname "$0")" && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# --- tools ----------------------------------------------------------------------
missing=()
for tool in $TRIPLET-gcc $TRIPLET-g++ $TRIPLET-objdump; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  fail "mingw-w64 is not installed (missing: ${missing[*]}); install g++-mingw-w64-i686 and binutils-mingw-w64-i686 (scripts/install-deps.sh does)"
fi
command -v python3 >/dev/null 2>&1 || fail "python3 is needed to read the Java declarations"
command -v nm >/dev/null 2>&1 || fail "nm (binutils) is needed to read the Linux library's exports"
[ -f "$LINUX_LIB" ] || fail "the Linux library $LINUX_LIB is not built (build the project first)"
for source in "${JAVA_SOURCES[@]}"; do
  [ -f "$source" ] || fail "$source not found"
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# --- the Windows build ----------------------------------------------------------
echo "== building the Windows DLL in $WINBUILD"
config=(-S "$SRC" -B "$WINBUILD"
        -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchain-$TRIPLET.cmake"
        -DCMAKE_BUILD_TYPE=Release)
if [ -n "$GENERATOR" ] && [ ! -f "$WINBUILD/CMakeCache.txt" ]; then
  config+=(-G "$GENERATOR")
fi
if ! "$CMAKE" "${config[@]}" >"$WORK/configure.log" 2>&1; then
  cat "$WORK/configure.log" >&2
  fail "configuring the Windows build failed"
fi
if ! "$CMAKE" --build "$WINBUILD" -j "$(nproc 2>/dev/null || echo 2)" >"$WORK/build.log" 2>&1; then
  cat "$WORK/build.log" >&2
  fail "building the Windows DLL failed (log above)"
fi
grep -iE "warning" "$WORK/build.log" || true

DLL=$WINBUILD/lib/$NAME.dll
[ -f "$DLL" ] || fail "the build made no $DLL"
$TRIPLET-objdump -p "$DLL" >"$WORK/dump.txt" || fail "objdump -p $DLL failed"

status=0

# --- (a) module name ------------------------------------------------------------
module=$(awk '/^The Export Tables/ { e = 1 } e && /^Name[ \t]/ { print $3; exit }' "$WORK/dump.txt")
if [ "$module" = "$NAME.dll" ]; then
  echo "ok: the export directory names the module $module"
else
  echo "FAIL: the export directory names the module '${module:-<none>}', expected '$NAME.dll'" >&2
  status=1
fi

# --- (b) exported names ---------------------------------------------------------
awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
     t && /^[ \t]*$/ { exit }
     t && /^[ \t]*\[/ { sub(/^[ \t]*\[[ \t]*[0-9]+\][ \t]+/, ""); print }' \
  "$WORK/dump.txt" | LC_ALL=C sort >"$WORK/actual.txt"
address_entries=$(awk '/^Export Address Table -- Ordinal Base/ { t = 1; next }
     t && /^[ \t]*$/ { exit }
     t && /^[ \t]*\[/ { n++ } END { print n + 0 }' "$WORK/dump.txt")

nm -D --defined-only "$LINUX_LIB" | awk '{ print $NF }' | LC_ALL=C sort -u >"$WORK/linux_all.txt"
grep '^Java_' "$WORK/linux_all.txt" >"$WORK/linux.txt" || true

: >"$WORK/java.txt"
for source in "${JAVA_SOURCES[@]}"; do
  python3 "$HERE/java_natives.py" "$source" >>"$WORK/java.txt" ||
    fail "could not read the native declarations of $source"
done

# Expected: the Java natives that Linux implements, decorated from the Java
# parameter list.
awk 'NR == FNR { linux[$1] = 1; next } ($1 in linux) { printf "_%s@%d\n", $1, $2 }' \
  "$WORK/linux.txt" "$WORK/java.txt" >"$WORK/expected.txt"
for hook in JNI_OnLoad JNI_OnUnload; do
  if grep -qx "$hook" "$WORK/linux_all.txt"; then echo "_$hook@8" >>"$WORK/expected.txt"; fi
done
LC_ALL=C sort -o "$WORK/expected.txt" "$WORK/expected.txt"

awk '{ print $1 }' "$WORK/java.txt" | LC_ALL=C sort >"$WORK/java_names.txt"
undeclared=$(LC_ALL=C comm -23 "$WORK/linux.txt" "$WORK/java_names.txt")
unimplemented=$(LC_ALL=C comm -13 "$WORK/linux.txt" "$WORK/java_names.txt" | wc -l)

echo "Java declares $(wc -l <"$WORK/java.txt") static natives; the Linux library implements" \
     "$(wc -l <"$WORK/linux.txt") Java_ functions"
if [ "$unimplemented" -ne 0 ]; then
  echo "FAIL: $unimplemented natives declared in the Java classes are not implemented by the Linux library:" >&2
  LC_ALL=C comm -13 "$WORK/linux.txt" "$WORK/java_names.txt" | sed 's/^/  /' >&2
  status=1
fi
if [ -n "$undeclared" ]; then
  echo "note: exported by the Linux library but not declared in the Java classes (a Windows export of" \
       "these counts as unexpected):" >&2
  echo "$undeclared" | sed 's/^/  /' >&2
fi

if [ ! -s "$WORK/expected.txt" ]; then
  echo "FAIL: no natives are expected: neither Java nor the Linux library names any" >&2
  status=1
fi
if diff -u --label expected --label "exported by $NAME.dll" "$WORK/expected.txt" "$WORK/actual.txt" \
     >"$WORK/diff.txt"; then
  echo "ok: $NAME.dll exports exactly the $(wc -l <"$WORK/actual.txt") expected names"
else
  echo "FAIL: the export table differs from the expected names (- missing or mis-sized, + unexpected):" >&2
  cat "$WORK/diff.txt" >&2
  status=1
fi
if [ "$address_entries" -ne "$(wc -l <"$WORK/actual.txt")" ]; then
  echo "FAIL: the export address table has $address_entries entries for $(wc -l <"$WORK/actual.txt")" \
       "names: some export has no name" >&2
  status=1
fi

# --- (c) imports ----------------------------------------------------------------
# Each imported DLL: "DLL Name: X", a "vma:" heading, its functions, a blank line.
awk 'tolower($0) ~ /dll name: / { dll = tolower($NF); next }
     /^[ \t]*$/ { dll = ""; next }
     dll != "" && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+[ \t]+/ { print dll, $3 }' \
  "$WORK/dump.txt" >"$WORK/imports.txt"
awk '{ print $1 }' "$WORK/imports.txt" | sort -u >"$WORK/import_dlls.txt"
mapi_imports=$(awk '$1 == "mapi32.dll" { print $2 }' "$WORK/imports.txt")
if echo "$mapi_imports" | grep -q '^MAPI'; then
  echo "ok: MAPI comes from MAPI32.dll ($(echo "$mapi_imports" | tr '\n' ' '))"
else
  echo "FAIL: the DLL imports no MAPI function from MAPI32.dll; it imports from: $(tr '\n' ' ' <"$WORK/import_dlls.txt")" >&2
  status=1
fi
# mapi32.dll exports its stdcall utilities only with their @N (FreeProws@4,
# HrGetOneProp@12, ...): an undecorated import of one of them makes Windows
# refuse to load the DLL. Every MAPI import carries its @N.
undecorated=$(echo "$mapi_imports" | grep -v '@' | grep . || true)
if [ -n "$undecorated" ]; then
  echo "FAIL: MAPI32.dll imports without their @N (mapi32 does not export these names): $(echo "$undecorated" | tr '\n' ' ')" >&2
  status=1
else
  echo "ok: every MAPI32.dll import is named as mapi32 exports it (with its @N)"
fi
runtime=$(grep -iE '^(libgcc|libstdc\+\+|libwinpthread|libssp)' "$WORK/import_dlls.txt" || true)
if [ -n "$runtime" ]; then
  echo "FAIL: the DLL needs mingw runtime DLLs beside it: $(echo "$runtime" | tr '\n' ' ')" >&2
  status=1
else
  echo "ok: imports only from $(tr '\n' ' ' <"$WORK/import_dlls.txt")"
fi

exit $status
