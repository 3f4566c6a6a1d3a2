// Base pieces of every MAPI object of the subsystem: reference counting that
// feeds the live-object count, and the error record behind GetLastError.
#ifndef TOLVANE_MAPI_OBJECT_H
#define TOLVANE_MAPI_OBJECT_H

#include <mapidefs.h>

#include <atomic>
#include <string>

namespace tmapi {

class ObjectBase {
 public:
  ObjectBase();
  virtual ~ObjectBase();
  ObjectBase(const ObjectBase&) = delete;
  ObjectBase& operator=(const ObjectBase&) = delete;

 protected:
  ULONG addRefImpl() { return ++m_refs; }
  ULONG releaseImpl() {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

// Keeps the text of the object's last failure for GetLastError.
class ErrorHolder {
 public:
  // Records the failure and returns hr, so that a method can
  // `return setError(hr, "...")`.
  HRESULT setError(HRESULT hr, std::string text);
  // GetLastError: a MAPIERROR (one MAPIAllocateBuffer block) whose text is
  // the recorded one when hr is the recorded failure, else a text for hr.
  HRESULT getLastErrorImpl(HRESULT hr, ULONG flags, LPMAPIERROR* lppError, const char* component) const;

 private:
  HRESULT m_lastHr = S_OK;
  std::string m_lastText;
};

// The symbolic name of a result code ("MAPI_E_NOT_FOUND") or its hex form.
std::string resultName(HRESULT hr);
// A sentence for a result code, used when no object recorded a text.
std::string resultText(HRESULT hr);

}  // namespace tmapi

// IUnknown for a class deriving from ObjectBase: AddRef and Release.
#define TM_REFCOUNT_METHODS                                          \
  ULONG STDMETHODCALLTYPE AddRef() override { return addRefImpl(); } \
  ULONG STDMETHODCALLTYPE Release() override { return releaseImpl(); }

#endif
