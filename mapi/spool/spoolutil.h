// Small helpers the spooler and its reports share.
#ifndef TOLVANE_SPOOL_SPOOLUTIL_H
#define TOLVANE_SPOOL_SPOOLUTIL_H

#include <mapidefs.h>
#include <mapix.h>

#include <cstdint>
#include <string>

namespace tmapi {

// Releases an interface when it goes out of scope.
template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

// The text of a failed call, with what the object says about it.
inline std::string callText(IMAPIProp* obj, HRESULT hr, const std::string& what) {
  std::string text = what;
  LPMAPIERROR info = nullptr;
  if (obj && SUCCEEDED(obj->GetLastError(hr, 0, &info)) && info) {
    if (info->lpszError) text += ": " + std::string(reinterpret_cast<const char*>(info->lpszError));
    MAPIFreeBuffer(info);
  }
  return text;
}

// Milliseconds since 1970 (UTC) as a FILETIME.
inline FILETIME fileTimeOfMs(int64_t ms) {
  int64_t v = ms * 10000 + 116444736000000000LL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

}  // namespace tmapi

#endif
