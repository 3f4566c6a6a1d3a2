// Test controls of the Linux MAPI subsystem: the fault plan, the call
// journal, counts of live objects and unfreed buffers, and settings.
//
// Not part of the Windows SDK: only tests, benchmarks and the tolvane-mapi
// tool include this header. Everything here is off by default and costs one
// flag test per MAPI call while off.
//
// The same controls can be set from the environment before the first MAPI
// call of a process (for tests that run in another process):
//   TOLVANE_MAPI_FAULTS   "Method#N=HRESULT[/errno][;...]", e.g.
//                         "IMAPISession::OpenMsgStore#1=0x80040111"
//   TOLVANE_MAPI_JOURNAL  set: the journal records from the start
//   TOLVANE_MAPI_SIZE_LIMIT  bytes: the single-read limit of string and
//                         binary property values (default 4 MiB)
//   TOLVANE_MAPI_LOCK_WAIT_MS  how long a store waits for another
//                         process's lock (default 15000)
//   TOLVANE_MAPI_DBCS_CODEPAGE  the system's double-byte code page (932,
//                         936, 949 or 950) that IsDBCSLeadByte answers for
//   TOLVANE_MAPI_SPOOLER  "off": no background spooler (tolvane/spool.h)
//                         (default: none, as with a UTF-8 locale)
#ifndef TOLVANE_MAPITEST_H
#define TOLVANE_MAPITEST_H

#include <mapidefs.h>

#include <string>
#include <vector>

namespace mapitest {

// Makes the nth call (1-based, counted from now) of method fail with hr. The
// method is named "Interface::Method" ("IMAPISession::OpenMsgStore",
// "IMAPITable::QueryRows") or by its function name ("MAPIInitialize",
// "MAPILogonEx", "MAPIAllocateBuffer", "HrGetOneProp"). When sysError is not
// 0, the thread's last system error is set to it as the call fails. The fault
// fires once.
void addFault(const std::string& method, unsigned nth, HRESULT hr, DWORD sysError = 0);

// Makes every call of method from the nth on fail (until clearFaults).
void addStickyFault(const std::string& method, unsigned nth, HRESULT hr, DWORD sysError = 0);

void clearFaults();

// The journal: one line per MAPI call made while it records, in order,
// "Method key=value ...".
void startJournal();
void stopJournal();
void clearJournal();
std::vector<std::string> journal();
// Number of journal lines that name method (the first word of the line).
size_t journalCount(const std::string& method);

// MAPI objects (interfaces) that exist now, and MAPIAllocateBuffer buffers
// not yet freed.
long liveObjects();
long liveBuffers();

// Settings.
void setSizeLimit(ULONG bytes);  // 0 restores the default
ULONG sizeLimit();
// How long a store connection opened from now on waits for another
// process's lock before the call fails with MAPI_E_BUSY (default 15 s).
void setLockWait(ULONG milliseconds);  // 0 restores the default
ULONG lockWait();
// The system code page that IsDBCSLeadByte answers for: 932 (Shift JIS),
// 936 (GBK), 949 (Unified Hangul) or 950 (Big5); 0 (the default) or any
// other value: a code page without lead bytes.
void setDBCSCodePage(unsigned codePage);
unsigned dbcsCodePage();

// Whether a logged-on session starts the background spooler of its profile
// at its first SubmitMessage (default: yes, unless TOLVANE_MAPI_SPOOLER is
// "off"), so that a test can look at the queue and run the spooler itself
// (mapispool::run). Spoolers already running go on. reset() leaves it.
void setBackgroundSpooler(bool on);
bool backgroundSpooler();

// Everything back to the default: faults, journal, settings. Counts stay.
void reset();

}  // namespace mapitest

#endif  // TOLVANE_MAPITEST_H
