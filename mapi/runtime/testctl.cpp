// The test controls: fault plan, call journal, live counts and settings.
//
// While no fault is planned and the journal is off, g_testControlsActive is
// false and every MAPI entry point pays one relaxed atomic load. The flag is
// recomputed under the state mutex each time the plan or the journal changes,
// so it is true exactly while there is something to do.
#include "runtime/testctl_internal.h"

#include <mapicode.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tmapi {

std::atomic<bool> g_testControlsActive{false};

namespace {

constexpr ULONG kDefaultSizeLimit = 4 * 1024 * 1024;

struct Fault {
  std::string method;
  unsigned nth = 1;
  HRESULT hr = S_OK;
  DWORD sysError = 0;
  bool sticky = false;
  unsigned calls = 0;  // calls of `method` since the fault was added
};

struct State {
  std::mutex mu;
  std::vector<Fault> faults;
  bool journalOn = false;
  std::vector<std::string> journal;
};

// Never destroyed: MAPI calls may still arrive from other static destructors.
State& state() {
  static State* s = new State;
  return *s;
}

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_liveBuffers{0};
std::atomic<ULONG> g_sizeLimit{kDefaultSizeLimit};
// How long a store connection waits for another process's lock.
const ULONG kDefaultLockWaitMs = 15000;
std::atomic<ULONG> g_lockWaitMs{kDefaultLockWaitMs};
// The system's double-byte code page (0: none).
std::atomic<unsigned> g_dbcsCodePage{0};

// Caller holds s.mu.
void refreshActive(const State& s) {
  g_testControlsActive.store(!s.faults.empty() || s.journalOn, std::memory_order_relaxed);
}

void plan(const std::string& method, unsigned nth, HRESULT hr, DWORD sysError, bool sticky) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  Fault f;
  f.method = method;
  f.nth = nth == 0 ? 1 : nth;  // calls are counted from 1
  f.hr = hr;
  f.sysError = sysError;
  f.sticky = sticky;
  s.faults.push_back(std::move(f));
  refreshActive(s);
}

std::string trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

// Parses a whole unsigned number (decimal, or hex with 0x); false when the
// text is empty, has trailing characters or does not fit in 32 bits.
bool parseNumber(const std::string& text, unsigned long& out) {
  std::string t = trim(text);
  if (t.empty() || t[0] == '-' || t[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(t.c_str(), &end, 0);
  if (errno != 0 || end == t.c_str() || *end != '\0' || v > 0xFFFFFFFFull) return false;
  out = static_cast<unsigned long>(v);
  return true;
}

// One fault entry: "Method#N=HRESULT[/errno]".
bool parseFaultEntry(const std::string& entry) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos) return false;
  std::string left = entry.substr(0, eq);
  std::string right = entry.substr(eq + 1);
  size_t hash = left.rfind('#');
  if (hash == std::string::npos) return false;
  std::string method = trim(left.substr(0, hash));
  unsigned long nth = 0, hr = 0, sysError = 0;
  if (method.empty() || !parseNumber(left.substr(hash + 1), nth) || nth == 0) return false;
  size_t slash = right.find('/');
  if (!parseNumber(right.substr(0, slash), hr)) return false;
  if (slash != std::string::npos && !parseNumber(right.substr(slash + 1), sysError)) return false;
  if (!FAILED(static_cast<HRESULT>(hr))) return false;  // a fault has to fail
  plan(method, static_cast<unsigned>(nth), static_cast<HRESULT>(hr), static_cast<DWORD>(sysError), false);
  return true;
}

void parseFaults(const char* value) {
  std::string all(value);
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t semi = all.find(';', pos);
    if (semi == std::string::npos) semi = all.size();
    std::string entry = trim(all.substr(pos, semi - pos));
    if (!entry.empty() && !parseFaultEntry(entry))
      fprintf(stderr, "tolvane-mapi: TOLVANE_MAPI_FAULTS: ignoring malformed entry \"%s\"\n", entry.c_str());
    pos = semi + 1;
  }
}

// Reads the controls that a test running us in another process sets.
struct EnvironmentControls {
  EnvironmentControls() {
    if (const char* faults = getenv("TOLVANE_MAPI_FAULTS")) parseFaults(faults);
    if (getenv("TOLVANE_MAPI_JOURNAL")) mapitest::startJournal();
    if (const char* limit = getenv("TOLVANE_MAPI_SIZE_LIMIT")) {
      unsigned long bytes = 0;
      if (parseNumber(limit, bytes))
        mapitest::setSizeLimit(static_cast<ULONG>(bytes));
      else
        fprintf(stderr, "tolvane-mapi: TOLVANE_MAPI_SIZE_LIMIT: ignoring malformed value \"%s\"\n", limit);
    }
    if (const char* cp = getenv("TOLVANE_MAPI_DBCS_CODEPAGE")) {
      unsigned long value = 0;
      if (parseNumber(cp, value))
        mapitest::setDBCSCodePage(static_cast<unsigned>(value));
      else
        fprintf(stderr, "tolvane-mapi: TOLVANE_MAPI_DBCS_CODEPAGE: ignoring malformed value \"%s\"\n", cp);
    }
    if (const char* wait = getenv("TOLVANE_MAPI_LOCK_WAIT_MS")) {
      unsigned long ms = 0;
      if (parseNumber(wait, ms))
        mapitest::setLockWait(static_cast<ULONG>(ms));
      else
        fprintf(stderr, "tolvane-mapi: TOLVANE_MAPI_LOCK_WAIT_MS: ignoring malformed value \"%s\"\n", wait);
    }
  }
};
const EnvironmentControls g_environmentControls;

}  // namespace

HRESULT testCall(const char* method, const std::string& details) {
  State& s = state();
  HRESULT result = S_OK;
  DWORD sysError = 0;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.journalOn) {
      std::string line(method);
      if (!details.empty()) {
        line += ' ';
        line += details;
      }
      s.journal.push_back(std::move(line));
    }
    bool spent = false;
    for (Fault& f : s.faults) {
      if (f.method != method) continue;
      ++f.calls;
      bool fires = f.sticky ? f.calls >= f.nth : f.calls == f.nth;
      if (!fires) continue;
      if (result == S_OK) {  // the first planned fault wins
        result = f.hr;
        sysError = f.sysError;
      }
      if (!f.sticky) {
        f.nth = 0;  // fired (or shadowed by an earlier one): removed below
        spent = true;
      }
    }
    if (spent) {
      std::vector<Fault> left;
      for (Fault& f : s.faults)
        if (f.nth != 0) left.push_back(std::move(f));
      s.faults.swap(left);
      refreshActive(s);
    }
  }
  if (FAILED(result) && sysError != 0) errno = static_cast<int>(sysError);
  return result;
}

void countObject(int delta) { g_liveObjects.fetch_add(delta, std::memory_order_relaxed); }
void countBuffer(int delta) { g_liveBuffers.fetch_add(delta, std::memory_order_relaxed); }

std::string faultText(const char* method, HRESULT hr) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return std::string(method) + " failed: injected fault " + buf;
}

}  // namespace tmapi

namespace mapitest {

using tmapi::state;

void addFault(const std::string& method, unsigned nth, HRESULT hr, DWORD sysError) {
  tmapi::plan(method, nth, hr, sysError, false);
}

void addStickyFault(const std::string& method, unsigned nth, HRESULT hr, DWORD sysError) {
  tmapi::plan(method, nth, hr, sysError, true);
}

void clearFaults() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.faults.clear();
  tmapi::refreshActive(s);
}

void startJournal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.journalOn = true;
  tmapi::refreshActive(s);
}

void stopJournal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.journalOn = false;
  tmapi::refreshActive(s);
}

void clearJournal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.journal.clear();
}

std::vector<std::string> journal() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.journal;
}

size_t journalCount(const std::string& method) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  size_t n = 0;
  for (const std::string& line : s.journal)
    if (line.compare(0, line.find(' '), method) == 0) ++n;
  return n;
}

long liveObjects() { return tmapi::g_liveObjects.load(std::memory_order_relaxed); }
long liveBuffers() { return tmapi::g_liveBuffers.load(std::memory_order_relaxed); }

void setSizeLimit(ULONG bytes) {
  tmapi::g_sizeLimit.store(bytes == 0 ? tmapi::kDefaultSizeLimit : bytes, std::memory_order_relaxed);
}

ULONG sizeLimit() { return tmapi::g_sizeLimit.load(std::memory_order_relaxed); }

void setLockWait(ULONG milliseconds) {
  tmapi::g_lockWaitMs.store(milliseconds == 0 ? tmapi::kDefaultLockWaitMs : milliseconds, std::memory_order_relaxed);
}

ULONG lockWait() { return tmapi::g_lockWaitMs.load(std::memory_order_relaxed); }

void setDBCSCodePage(unsigned codePage) { tmapi::g_dbcsCodePage.store(codePage, std::memory_order_relaxed); }

unsigned dbcsCodePage() { return tmapi::g_dbcsCodePage.load(std::memory_order_relaxed); }

void reset() {
  auto& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.faults.clear();
    s.journalOn = false;
    s.journal.clear();
    tmapi::refreshActive(s);
  }
  setSizeLimit(0);
  setLockWait(0);
  setDBCSCodePage(0);
}

}  // namespace mapitest

// The lead-byte ranges of the double-byte code pages Windows knows.
extern "C" BOOL IsDBCSLeadByte(BYTE TestChar) {
  switch (tmapi::g_dbcsCodePage.load(std::memory_order_relaxed)) {
    case 932:  // Shift JIS
      return (TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul
    case 950:  // Big5
      return TestChar >= 0x81 && TestChar <= 0xFE;
    default:
      return FALSE;
  }
}
