// Property values held by C++ code, and their copies to and from MAPI
// SPropValue arrays.
//
// PT_UNICODE values are kept as UTF-8 and handed to MAPI as wchar_t strings.
// The conversion is done here rather than with the C library, so that it
// does not depend on the process locale.
#include "runtime/prop.h"

#include "runtime/text.h"

#include <mapicode.h>
#include <mapix.h>

#include <cstring>

namespace tmapi {

namespace {

int64_t fileTimeValue(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME toFileTime(int64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

HRESULT allocMore(size_t cb, LPVOID parent, void** out) {
  if (cb > 0xFFFFFFFFu) return MAPI_E_NOT_ENOUGH_MEMORY;
  return MAPIAllocateMore(static_cast<ULONG>(cb), parent, out);
}

HRESULT copyString8(const std::string& s, LPVOID parent, LPSTR* out) {
  void* p = nullptr;
  HRESULT hr = allocMore(s.size() + 1, parent, &p);
  if (FAILED(hr)) return hr;
  memcpy(p, s.data(), s.size());
  static_cast<char*>(p)[s.size()] = '\0';
  *out = static_cast<LPSTR>(p);
  return S_OK;
}

HRESULT copyWide(const std::string& utf8, LPVOID parent, LPWSTR* out) {
  std::wstring w = utf8ToWideString(utf8);
  void* p = nullptr;
  HRESULT hr = allocMore((w.size() + 1) * sizeof(wchar_t), parent, &p);
  if (FAILED(hr)) return hr;
  memcpy(p, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
  *out = static_cast<LPWSTR>(p);
  return S_OK;
}

HRESULT copyBinary(const std::string& b, LPVOID parent, SBinary* out) {
  void* p = nullptr;
  HRESULT hr = allocMore(b.size(), parent, &p);
  if (FAILED(hr)) return hr;
  if (!b.empty()) memcpy(p, b.data(), b.size());
  out->cb = static_cast<ULONG>(b.size());
  out->lpb = static_cast<LPBYTE>(p);
  return S_OK;
}

template <typename T>
HRESULT allocArray(size_t count, LPVOID parent, T** out) {
  void* p = nullptr;
  HRESULT hr = allocMore(count * sizeof(T), parent, &p);
  if (FAILED(hr)) return hr;
  *out = static_cast<T*>(p);
  return S_OK;
}

}  // namespace

Prop Prop::Long(ULONG tag, LONG v) {
  Prop p;
  p.tag = tag;
  p.i = v;
  return p;
}

Prop Prop::Bool(ULONG tag, bool v) {
  Prop p;
  p.tag = tag;
  p.i = v ? 1 : 0;
  return p;
}

Prop Prop::I8(ULONG tag, int64_t v) {
  Prop p;
  p.tag = tag;
  p.i = v;
  return p;
}

Prop Prop::Time(ULONG tag, const FILETIME& ft) {
  Prop p;
  p.tag = tag;
  p.i = fileTimeValue(ft);
  return p;
}

Prop Prop::Double(ULONG tag, double v) {
  Prop p;
  p.tag = tag;
  p.d = v;
  return p;
}

Prop Prop::String(ULONG tag, std::string v) {
  Prop p;
  p.tag = tag;
  p.bytes = std::move(v);
  return p;
}

Prop Prop::Binary(ULONG tag, std::string v) {
  Prop p;
  p.tag = tag;
  p.bytes = std::move(v);
  return p;
}

Prop Prop::Binary(ULONG tag, const void* data, size_t size) {
  return Binary(tag, std::string(static_cast<const char*>(data), data ? size : 0));
}

Prop Prop::MultiString(ULONG tag, std::vector<std::string> v) {
  Prop p;
  p.tag = tag;
  p.mv = std::move(v);
  return p;
}

Prop Prop::Error(ULONG tag, SCODE sc) {
  Prop p;
  p.tag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  p.i = sc;
  return p;
}

FILETIME Prop::fileTime() const { return toFileTime(i); }

bool Prop::fromMAPI(const SPropValue& value, Prop& out) {
  Prop p;
  p.tag = value.ulPropTag;
  const _PV& v = value.Value;
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2: p.i = v.i; break;
    case PT_LONG: p.i = v.l; break;
    case PT_R4: p.d = v.flt; break;
    case PT_DOUBLE: p.d = v.dbl; break;
    case PT_CURRENCY: p.i = v.cur.int64; break;
    case PT_APPTIME: p.d = v.at; break;
    case PT_ERROR: p.i = v.err; break;
    case PT_BOOLEAN: p.i = v.b ? 1 : 0; break;
    case PT_I8: p.i = v.li.QuadPart; break;
    case PT_SYSTIME: p.i = fileTimeValue(v.ft); break;
    case PT_STRING8:
      if (v.lpszA) p.bytes = v.lpszA;
      break;
    case PT_UNICODE: p.bytes = wideToUtf8(v.lpszW); break;
    case PT_CLSID:
      if (!v.lpguid) return false;
      p.bytes.assign(reinterpret_cast<const char*>(v.lpguid), sizeof(GUID));
      break;
    case PT_BINARY:
      if (v.bin.cb && !v.bin.lpb) return false;
      p.bytes.assign(reinterpret_cast<const char*>(v.bin.lpb), v.bin.cb);
      break;
    case PT_MV_STRING8:
      if (v.MVszA.cValues && !v.MVszA.lppszA) return false;
      for (ULONG k = 0; k < v.MVszA.cValues; ++k)
        p.mv.emplace_back(v.MVszA.lppszA[k] ? v.MVszA.lppszA[k] : "");
      break;
    case PT_MV_UNICODE:
      if (v.MVszW.cValues && !v.MVszW.lppszW) return false;
      for (ULONG k = 0; k < v.MVszW.cValues; ++k) p.mv.push_back(wideToUtf8(v.MVszW.lppszW[k]));
      break;
    case PT_MV_BINARY:
      if (v.MVbin.cValues && !v.MVbin.lpbin) return false;
      for (ULONG k = 0; k < v.MVbin.cValues; ++k) {
        const SBinary& b = v.MVbin.lpbin[k];
        if (b.cb && !b.lpb) return false;
        p.mv.emplace_back(reinterpret_cast<const char*>(b.lpb), b.cb);
      }
      break;
    case PT_MV_LONG:
      if (v.MVl.cValues && !v.MVl.lpl) return false;
      for (ULONG k = 0; k < v.MVl.cValues; ++k) p.mvi.push_back(v.MVl.lpl[k]);
      break;
    case PT_MV_I8:
      if (v.MVli.cValues && !v.MVli.lpli) return false;
      for (ULONG k = 0; k < v.MVli.cValues; ++k) p.mvi.push_back(v.MVli.lpli[k].QuadPart);
      break;
    case PT_MV_SYSTIME:
      if (v.MVft.cValues && !v.MVft.lpft) return false;
      for (ULONG k = 0; k < v.MVft.cValues; ++k) p.mvi.push_back(fileTimeValue(v.MVft.lpft[k]));
      break;
    default:
      return false;
  }
  out = std::move(p);
  return true;
}

const Prop* findProp(const PropRow& row, ULONG tag) {
  bool byId = PROP_TYPE(tag) == PT_UNSPECIFIED;
  for (const Prop& p : row) {
    if (byId ? PROP_ID(p.tag) == PROP_ID(tag) : p.tag == tag) return &p;
  }
  return nullptr;
}

HRESULT copyToMAPI(const Prop& value, SPropValue& dest, LPVOID parent) {
  memset(&dest, 0, sizeof dest);
  dest.ulPropTag = value.tag;
  _PV& v = dest.Value;
  switch (PROP_TYPE(value.tag)) {
    case PT_I2: v.i = static_cast<short>(value.i); return S_OK;
    case PT_LONG: v.l = static_cast<LONG>(value.i); return S_OK;
    case PT_R4: v.flt = static_cast<float>(value.d); return S_OK;
    case PT_DOUBLE: v.dbl = value.d; return S_OK;
    case PT_CURRENCY: v.cur.int64 = value.i; return S_OK;
    case PT_APPTIME: v.at = value.d; return S_OK;
    case PT_ERROR: v.err = static_cast<SCODE>(value.i); return S_OK;
    case PT_BOOLEAN: v.b = value.i ? 1 : 0; return S_OK;
    case PT_I8: v.li.QuadPart = value.i; return S_OK;
    case PT_SYSTIME: v.ft = toFileTime(value.i); return S_OK;
    case PT_STRING8: return copyString8(value.bytes, parent, &v.lpszA);
    case PT_UNICODE: return copyWide(value.bytes, parent, &v.lpszW);
    case PT_CLSID: {
      if (value.bytes.size() != sizeof(GUID)) return MAPI_E_CORRUPT_DATA;
      HRESULT hr = allocArray(1, parent, &v.lpguid);
      if (FAILED(hr)) return hr;
      memcpy(v.lpguid, value.bytes.data(), sizeof(GUID));
      return S_OK;
    }
    case PT_BINARY: return copyBinary(value.bytes, parent, &v.bin);
    case PT_MV_STRING8: {
      HRESULT hr = allocArray(value.mv.size(), parent, &v.MVszA.lppszA);
      if (FAILED(hr)) return hr;
      v.MVszA.cValues = static_cast<ULONG>(value.mv.size());
      for (size_t k = 0; k < value.mv.size(); ++k) {
        hr = copyString8(value.mv[k], parent, &v.MVszA.lppszA[k]);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case PT_MV_UNICODE: {
      HRESULT hr = allocArray(value.mv.size(), parent, &v.MVszW.lppszW);
      if (FAILED(hr)) return hr;
      v.MVszW.cValues = static_cast<ULONG>(value.mv.size());
      for (size_t k = 0; k < value.mv.size(); ++k) {
        hr = copyWide(value.mv[k], parent, &v.MVszW.lppszW[k]);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case PT_MV_BINARY: {
      HRESULT hr = allocArray(value.mv.size(), parent, &v.MVbin.lpbin);
      if (FAILED(hr)) return hr;
      v.MVbin.cValues = static_cast<ULONG>(value.mv.size());
      for (size_t k = 0; k < value.mv.size(); ++k) {
        hr = copyBinary(value.mv[k], parent, &v.MVbin.lpbin[k]);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case PT_MV_LONG: {
      HRESULT hr = allocArray(value.mvi.size(), parent, &v.MVl.lpl);
      if (FAILED(hr)) return hr;
      v.MVl.cValues = static_cast<ULONG>(value.mvi.size());
      for (size_t k = 0; k < value.mvi.size(); ++k) v.MVl.lpl[k] = static_cast<LONG>(value.mvi[k]);
      return S_OK;
    }
    case PT_MV_I8: {
      HRESULT hr = allocArray(value.mvi.size(), parent, &v.MVli.lpli);
      if (FAILED(hr)) return hr;
      v.MVli.cValues = static_cast<ULONG>(value.mvi.size());
      for (size_t k = 0; k < value.mvi.size(); ++k) v.MVli.lpli[k].QuadPart = value.mvi[k];
      return S_OK;
    }
    case PT_MV_SYSTIME: {
      HRESULT hr = allocArray(value.mvi.size(), parent, &v.MVft.lpft);
      if (FAILED(hr)) return hr;
      v.MVft.cValues = static_cast<ULONG>(value.mvi.size());
      for (size_t k = 0; k < value.mvi.size(); ++k) v.MVft.lpft[k] = toFileTime(value.mvi[k]);
      return S_OK;
    }
    default:
      return MAPI_E_INVALID_TYPE;
  }
}

HRESULT rowToMAPI(const PropRow& row, const SPropTagArray* columns, ULONG* count, LPSPropValue* values) {
  if (!count || !values) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  size_t n = columns ? columns->cValues : row.size();
  LPSPropValue out = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(n * sizeof(SPropValue)), reinterpret_cast<LPVOID*>(&out));
  if (FAILED(hr)) return hr;
  if (n) memset(out, 0, n * sizeof(SPropValue));
  for (size_t k = 0; k < n; ++k) {
    if (!columns) {
      hr = copyToMAPI(row[k], out[k], out);
    } else {
      ULONG col = columns->aulPropTag[k];
      if (const Prop* p = findProp(row, col)) {
        hr = copyToMAPI(*p, out[k], out);
      } else {
        // Absent: a PT_ERROR column, carrying the row's own error for this
        // property when it has one (a value that could not be read).
        const Prop* err = findProp(row, CHANGE_PROP_TYPE(col, PT_ERROR));
        out[k].ulPropTag = CHANGE_PROP_TYPE(col, PT_ERROR);
        out[k].Value.err = err ? static_cast<SCODE>(err->i) : MAPI_E_NOT_FOUND;
        hr = S_OK;
      }
    }
    if (FAILED(hr)) {
      MAPIFreeBuffer(out);
      return hr;
    }
  }
  *count = static_cast<ULONG>(n);
  *values = out;
  return S_OK;
}

HRESULT rowFromMAPI(ULONG count, const SPropValue* values, PropRow& row) {
  if (count && !values) return MAPI_E_INVALID_PARAMETER;
  PropRow result;
  result.reserve(count);
  for (ULONG k = 0; k < count; ++k) {
    Prop p;
    if (!Prop::fromMAPI(values[k], p)) return MAPI_E_INVALID_TYPE;
    result.push_back(std::move(p));
  }
  row = std::move(result);
  return S_OK;
}

size_t valueSize(const Prop& value) {
  switch (PROP_TYPE(value.tag)) {
    case PT_STRING8:
    case PT_UNICODE:
    case PT_BINARY:
      return value.bytes.size();
    case PT_MV_STRING8:
    case PT_MV_UNICODE:
    case PT_MV_BINARY: {
      size_t total = 0;
      for (const std::string& s : value.mv) total += s.size();
      return total;
    }
    default:
      return 0;
  }
}

}  // namespace tmapi
