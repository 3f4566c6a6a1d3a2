// Hooks of the test controls inside the MAPI subsystem.
#ifndef TOLVANE_MAPI_TESTCTL_INTERNAL_H
#define TOLVANE_MAPI_TESTCTL_INTERNAL_H

#include <tolvane/mapitest.h>

#include <atomic>
#include <string>

namespace tmapi {

// True while any fault is planned or the journal records.
extern std::atomic<bool> g_testControlsActive;

// Records the call (when the journal is on) and tells whether the plan makes
// it fail: returns the HRESULT to fail with (and sets the last system error
// when the fault names one), or S_OK.
HRESULT testCall(const char* method, const std::string& details);

// Objects and buffers, for the live counts.
void countObject(int delta);
void countBuffer(int delta);

}  // namespace tmapi

// Entry hook of a MAPI method: journals the call and returns the planned
// failure. `details` is only evaluated while the controls are active.
#define TM_CALL(method, details)                                       \
  do {                                                                 \
    if (::tmapi::g_testControlsActive.load(std::memory_order_relaxed)) { \
      HRESULT tm_hr_ = ::tmapi::testCall(method, details);             \
      if (FAILED(tm_hr_)) return tm_hr_;                               \
    }                                                                  \
  } while (0)

// Same for methods that record their failure text on the object: `obj` must
// offer setError(hr, text).
#define TM_CALL_OBJ(obj, method, details)                                   \
  do {                                                                      \
    if (::tmapi::g_testControlsActive.load(std::memory_order_relaxed)) {    \
      HRESULT tm_hr_ = ::tmapi::testCall(method, details);                  \
      if (FAILED(tm_hr_)) return (obj)->setError(tm_hr_, ::tmapi::faultText(method, tm_hr_)); \
    }                                                                       \
  } while (0)

namespace tmapi {
// "IMAPISession::OpenMsgStore failed: injected fault 0x80040111".
std::string faultText(const char* method, HRESULT hr);
}

#endif
