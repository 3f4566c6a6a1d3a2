// What the fuzz targets share: a private scratch folder per process, a check
// that ends the run with a report when a promise of the code is broken, and
// the MAPI home that the targets with a store use.
//
// A fuzz target reports a bug in one of two ways: a sanitizer report (a
// crash, a leak, undefined behaviour) or a failed FUZZ_CHECK, which prints
// what was expected and aborts, so that libFuzzer keeps the input.
#ifndef TOLVANE_TESTS_FUZZ_SUPPORT_H
#define TOLVANE_TESTS_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

[[noreturn]] void failed(const char* file, int line, const char* what, const std::string& detail);

#define FUZZ_CHECK(cond, detail)                                                     \
  do {                                                                               \
    if (!(cond)) ::fuzzsupport::failed(__FILE__, __LINE__, #cond, (detail));         \
  } while (0)

// A new folder private to this process, removed with everything in it when
// the process exits. In memory (/dev/shm) where the machine has it, so that
// the store's syncs cost nothing; else under $TMPDIR or /tmp.
const std::string& scratchDir();

// Points TOLVANE_MAPI_HOME at a home in the scratch folder, switches the
// background spooler off and creates the profile `name` (address
// name@example.org) with its store. Aborts when that fails.
void makeHome(const std::string& name);

// Starts GMime (mapimime::initMime) with LeakSanitizer looking away: GMime
// 3.2.13 drops the type buckets that the reader's own registrations replace
// (tests/sanitize/lsan.supp says more), and the fuzz runs unwind the stacks
// of allocations fast, which stops in GLib before a suppression could match.
void initMime();

// Makes every GLib or GMime critical warning or warning (a g_return_if_fail
// that failed: a caller broke a library's precondition) end the run like a
// failed FUZZ_CHECK. A message that contains one of `knownOpen` is only
// counted: a bug found and reported, not fixed yet (its reproducer is in
// tests/fuzz/crashes/; the entry goes once the bug is fixed). A critical of
// g_object_unref right after a known one is taken as part of it.
void failOnGLibCriticals(const char* const* knownOpen);
// How many known messages were seen.
unsigned knownCriticals();

// Whether bytes are valid UTF-8 (no surrogates, no overlong forms).
bool validUtf8(const std::string& bytes);

// The bytes as a printable excerpt for a report.
std::string excerpt(const std::string& bytes, size_t max = 200);

}  // namespace fuzzsupport

#endif
