# Shared by the scripts of tests/sanitize and tests/fuzz (sourced, not run).
#
# A missing tool (clang, libFuzzer) fails the test when CI is set or when the test command
# runs it (TOLVANE_REQUIRE_ALL_TOOLS=1, exported by scripts/run-tests.sh); otherwise the
# test is skipped with a loud note (exit 77, the SKIP_RETURN_CODE of these tests).

flag_set() {
  local v=${!1:-}
  [ -n "$v" ] && [ "$v" != 0 ] && [ "$v" != false ]
}

# missing_tool TEST WHY: fails or skips the test, as the environment says.
missing_tool() {
  if flag_set CI || flag_set TOLVANE_REQUIRE_ALL_TOOLS; then
    echo "$1: FAILED: a tool this test needs is missing: $2" \
      "(missing tools fail under CI or the test command; TOLVANE_REQUIRE_ALL_TOOLS)" >&2
    exit 1
  fi
  cat >&2 <<NOTE

************************************************************************
* SKIPPED $1
* a tool it needs is missing: $2
* (under CI or the test command this test fails instead)
************************************************************************

NOTE
  exit 77
}

# require_clang TEST: clang, clang++ and libFuzzer's runtime are installed.
require_clang() {
  local hint="bash scripts/install-deps.sh test installs it"
  command -v clang >/dev/null && command -v clang++ >/dev/null ||
    missing_tool "$1" "clang is not installed (Debian package clang; $hint)"
  local fuzzer
  fuzzer=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
  [ -f "$fuzzer" ] ||
    missing_tool "$1" "clang's libFuzzer is not installed (Debian package libclang-rt-14-dev; $hint)"
}

# sanitizer_env SOURCE_DIR [fuzz]: how the sanitized programs run and report.
#   ASan:  leak detection on (LeakSanitizer), with the suppressions of
#          tests/sanitize/lsan.supp (third-party libraries only); a report ends the
#          process with exit code 1 and the stack. The stacks of allocations are unwound
#          without frame pointers (12 frames), because GLib and GMime have none: with
#          the fast unwinder a leak of memory that GLib allocated shows no more than
#          g_malloc, whoever leaked it, and no suppression can tell GMime's own from ours.
#   UBSan: every report ends the process with its stack (the code is built with
#          -fno-sanitize-recover=undefined as well).
#   GLib:  G_SLICE=always-malloc, so that GLib's objects (GMime's among them) are
#          allocated with malloc, where ASan sees a use after free or an overflow,
#          instead of in GLib's slice allocator, where it sees nothing.
# `fuzz`: the settings of the fuzz runs, where speed counts: allocation stacks unwound
# fast, no detection of stack use after return (libFuzzer checks leaks itself).
sanitizer_env() {
  if [ "${2:-}" = fuzz ]; then
    export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:symbolize=1"
  else
    export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=12:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:symbolize=1"
  fi
  export LSAN_OPTIONS="suppressions=$1/tests/sanitize/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:report_error_type=1"
  export G_SLICE=always-malloc
  local symbolizer
  symbolizer=$(command -v llvm-symbolizer || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | head -n 1 || true)
  [ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"
  return 0
}
