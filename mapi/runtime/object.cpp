#include "object.h"

#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapix.h>

#include <cstdio>
#include <cstring>

namespace tmapi {

ObjectBase::ObjectBase() { countObject(1); }
ObjectBase::~ObjectBase() { countObject(-1); }

HRESULT ErrorHolder::setError(HRESULT hr, std::string text) {
  m_lastHr = hr;
  m_lastText = std::move(text);
  return hr;
}

HRESULT ErrorHolder::getLastErrorImpl(HRESULT hr, ULONG flags, LPMAPIERROR* lppError, const char* component) const {
  TM_CALL("GetLastError", resultName(hr));
  if (!lppError) return MAPI_E_INVALID_PARAMETER;
  *lppError = nullptr;
  if (flags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
  std::string text = (hr == m_lastHr && !m_lastText.empty()) ? m_lastText : resultText(hr);
  const char* comp = component ? component : "";
  size_t need = sizeof(MAPIERROR) + text.size() + 1 + strlen(comp) + 1;
  LPMAPIERROR err = nullptr;
  HRESULT ahr = MAPIAllocateBuffer(static_cast<ULONG>(need), reinterpret_cast<LPVOID*>(&err));
  if (FAILED(ahr)) return ahr;
  memset(err, 0, sizeof(MAPIERROR));
  char* p = reinterpret_cast<char*>(err + 1);
  memcpy(p, text.c_str(), text.size() + 1);
  err->lpszError = reinterpret_cast<LPTSTR>(p);
  p += text.size() + 1;
  memcpy(p, comp, strlen(comp) + 1);
  err->lpszComponent = reinterpret_cast<LPTSTR>(p);
  err->ulVersion = MAPI_ERROR_VERSION;
  err->ulLowLevelError = static_cast<ULONG>(hr);
  err->ulContext = 0;
  *lppError = err;
  return S_OK;
}

namespace {
struct NamedResult {
  HRESULT hr;
  const char* name;
  const char* text;
};
const NamedResult kResults[] = {
    {E_FAIL, "MAPI_E_CALL_FAILED", "The call failed."},
    {E_OUTOFMEMORY, "MAPI_E_NOT_ENOUGH_MEMORY", "Not enough memory."},
    {E_INVALIDARG, "MAPI_E_INVALID_PARAMETER", "An invalid parameter was passed."},
    {E_NOINTERFACE, "MAPI_E_INTERFACE_NOT_SUPPORTED", "The interface is not supported."},
    {E_ACCESSDENIED, "MAPI_E_NO_ACCESS", "Access is denied."},
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT", "The operation is not supported."},
    {MAPI_E_BAD_CHARWIDTH, "MAPI_E_BAD_CHARWIDTH", "Unicode strings are not supported here."},
    {MAPI_E_STRING_TOO_LONG, "MAPI_E_STRING_TOO_LONG", "The string is too long."},
    {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS", "Unknown flags were passed."},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID", "The entry identifier is not valid."},
    {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT", "The object is no longer valid."},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED", "The object has been deleted."},
    {MAPI_E_BUSY, "MAPI_E_BUSY", "The message store is busy."},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK", "Not enough disk space."},
    {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES", "Not enough resources."},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND", "The object or property was not found."},
    {MAPI_E_VERSION, "MAPI_E_VERSION", "Version mismatch."},
    {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED", "The logon failed."},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE", "The message store is corrupt."},
    {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED", "MAPI is not initialized."},
    {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA", "The stored data is corrupt."},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR", "A disk error occurred."},
    {MAPI_E_TIMEOUT, "MAPI_E_TIMEOUT", "The operation timed out."},
    {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG", "The table is too big."},
    {MAPI_E_UNABLE_TO_COMPLETE, "MAPI_E_UNABLE_TO_COMPLETE", "The operation could not be completed."},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS", "The message has no recipients."},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP", "A recipient matches more than one entry."},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION", "An object of that name already exists."},
    {MAPI_E_SUBMITTED, "MAPI_E_SUBMITTED", "The message has been submitted."},
    {MAPI_E_BAD_VALUE, "MAPI_E_BAD_VALUE", "A property value is not valid."},
    {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE", "A property type is not valid."},
    {MAPI_E_TYPE_NO_SUPPORT, "MAPI_E_TYPE_NO_SUPPORT", "The property type is not supported."},
    {MAPI_E_UNEXPECTED_TYPE, "MAPI_E_UNEXPECTED_TYPE", "Unexpected property type."},
    {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG", "The value is too big."},
    {MAPI_E_COMPUTED, "MAPI_E_COMPUTED", "The property is computed and cannot be changed."},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL", "The operation was cancelled."},
    {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS", "Access is denied."},
};
}  // namespace

std::string resultName(HRESULT hr) {
  for (const auto& r : kResults)
    if (r.hr == hr) return r.name;
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::string resultText(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  for (const auto& r : kResults)
    if (r.hr == hr) return std::string(r.text) + " (" + r.name + ")";
  return std::string("The call failed with ") + buf + ".";
}

}  // namespace tmapi
