// The property and table helpers of mapiutil.h: HrGetOneProp, HrSetOneProp,
// FreeProws, FreePadrlist, HrQueryAllRows, PpropFindProp, LpValFindProp,
// FPropExists, LPropCompareProp, PropCopyMore, ScCountProps, ScCopyProps,
// ScDupPropset.
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiutil.h>
#include <mapix.h>

#include <cstdio>
#include <cstring>
#include <type_traits>
#include <cwchar>
#include <string>

namespace {

std::string tagDetail(ULONG tag) {
  char buf[24];
  snprintf(buf, sizeof buf, "tag=0x%08X", static_cast<unsigned>(tag));
  return buf;
}

size_t wideBytes(const wchar_t* s) { return (wcslen(s) + 1) * sizeof(wchar_t); }

// Rounds a block size up so that the next block of a packed copy stays
// aligned for any value type.
inline size_t aligned(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// False when a multi-valued value counts elements but has no array.
bool mvArrayPresent(const SPropValue& v) {
  const _PV& p = v.Value;
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_MV_I2: return !p.MVi.cValues || p.MVi.lpi;
    case PT_MV_LONG: return !p.MVl.cValues || p.MVl.lpl;
    case PT_MV_R4: return !p.MVflt.cValues || p.MVflt.lpflt;
    case PT_MV_DOUBLE: return !p.MVdbl.cValues || p.MVdbl.lpdbl;
    case PT_MV_CURRENCY: return !p.MVcur.cValues || p.MVcur.lpcur;
    case PT_MV_APPTIME: return !p.MVat.cValues || p.MVat.lpat;
    case PT_MV_SYSTIME: return !p.MVft.cValues || p.MVft.lpft;
    case PT_MV_I8: return !p.MVli.cValues || p.MVli.lpli;
    case PT_MV_CLSID: return !p.MVguid.cValues || p.MVguid.lpguid;
    case PT_MV_BINARY: return !p.MVbin.cValues || p.MVbin.lpbin;
    case PT_MV_STRING8: return !p.MVszA.cValues || p.MVszA.lppszA;
    case PT_MV_UNICODE: return !p.MVszW.cValues || p.MVszW.lppszW;
    default: return true;
  }
}

// Bytes that one value's out-of-line data takes, each piece aligned; false
// for types we cannot copy.
bool extraBytes(const SPropValue& v, size_t& out) {
  const _PV& p = v.Value;
  size_t n = 0;
  if (!mvArrayPresent(v)) return false;
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
    case PT_ERROR: case PT_BOOLEAN: case PT_I8: case PT_SYSTIME: case PT_NULL: case PT_OBJECT:
      break;
    case PT_STRING8:
      if (!p.lpszA) return false;
      n = aligned(strlen(p.lpszA) + 1);
      break;
    case PT_UNICODE:
      if (!p.lpszW) return false;
      n = aligned(wideBytes(p.lpszW));
      break;
    case PT_CLSID:
      if (!p.lpguid) return false;
      n = aligned(sizeof(GUID));
      break;
    case PT_BINARY:
      if (p.bin.cb && !p.bin.lpb) return false;
      n = aligned(p.bin.cb);
      break;
    case PT_MV_I2: n = aligned(p.MVi.cValues * sizeof(short)); break;
    case PT_MV_LONG: n = aligned(p.MVl.cValues * sizeof(LONG)); break;
    case PT_MV_R4: n = aligned(p.MVflt.cValues * sizeof(float)); break;
    case PT_MV_DOUBLE: n = aligned(p.MVdbl.cValues * sizeof(double)); break;
    case PT_MV_CURRENCY: n = aligned(p.MVcur.cValues * sizeof(CURRENCY)); break;
    case PT_MV_APPTIME: n = aligned(p.MVat.cValues * sizeof(double)); break;
    case PT_MV_SYSTIME: n = aligned(p.MVft.cValues * sizeof(FILETIME)); break;
    case PT_MV_I8: n = aligned(p.MVli.cValues * sizeof(LARGE_INTEGER)); break;
    case PT_MV_CLSID: n = aligned(p.MVguid.cValues * sizeof(GUID)); break;
    case PT_MV_BINARY:
      n = aligned(p.MVbin.cValues * sizeof(SBinary));
      for (ULONG k = 0; k < p.MVbin.cValues; ++k) {
        if (p.MVbin.lpbin[k].cb && !p.MVbin.lpbin[k].lpb) return false;
        n += aligned(p.MVbin.lpbin[k].cb);
      }
      break;
    case PT_MV_STRING8:
      n = aligned(p.MVszA.cValues * sizeof(LPSTR));
      for (ULONG k = 0; k < p.MVszA.cValues; ++k) {
        if (!p.MVszA.lppszA[k]) return false;
        n += aligned(strlen(p.MVszA.lppszA[k]) + 1);
      }
      break;
    case PT_MV_UNICODE:
      n = aligned(p.MVszW.cValues * sizeof(LPWSTR));
      for (ULONG k = 0; k < p.MVszW.cValues; ++k) {
        if (!p.MVszW.lppszW[k]) return false;
        n += aligned(wideBytes(p.MVszW.lppszW[k]));
      }
      break;
    default:
      return false;
  }
  out = n;
  return true;
}

// Hands out the pieces of a value's data: either from one packed block or
// from MAPIAllocateMore on a parent.
class Allocator {
 public:
  explicit Allocator(char* packed) : m_packed(packed) {}
  Allocator(ALLOCATEMORE* more, LPVOID parent) : m_more(more), m_parent(parent) {}

  SCODE get(size_t cb, void** out) {
    if (m_packed) {
      *out = m_packed;
      m_packed += aligned(cb);
      return S_OK;
    }
    if (cb > 0xFFFFFFFFu) return MAPI_E_NOT_ENOUGH_MEMORY;
    return m_more(static_cast<ULONG>(cb), m_parent, out);
  }

 private:
  char* m_packed = nullptr;
  ALLOCATEMORE* m_more = nullptr;
  LPVOID m_parent = nullptr;
};

SCODE copyBytes(Allocator& a, const void* src, size_t cb, void** out) {
  SCODE sc = a.get(cb, out);
  if (FAILED(sc)) return sc;
  if (cb) memcpy(*out, src, cb);
  return S_OK;
}

// Deep copy of one value; the fixed part is copied by the caller.
SCODE copyValueData(const SPropValue& src, SPropValue& dst, Allocator& a) {
  const _PV& s = src.Value;
  _PV& d = dst.Value;
  void* p = nullptr;
  SCODE sc = S_OK;
  auto array = [&](const void* from, size_t cb, void** to) { return copyBytes(a, from, cb, to); };
  // A multi-valued property of fixed-size elements: one copied array.
  auto values = [&](auto* from, ULONG count, auto*& to) {
    using T = std::remove_reference_t<decltype(*from)>;
    void* q = nullptr;
    SCODE r = copyBytes(a, from, count * sizeof(T), &q);
    to = static_cast<T*>(q);
    return r;
  };
  switch (PROP_TYPE(src.ulPropTag)) {
    case PT_STRING8:
      sc = array(s.lpszA, strlen(s.lpszA) + 1, &p);
      d.lpszA = static_cast<LPSTR>(p);
      return sc;
    case PT_UNICODE:
      sc = array(s.lpszW, wideBytes(s.lpszW), &p);
      d.lpszW = static_cast<LPWSTR>(p);
      return sc;
    case PT_CLSID:
      sc = array(s.lpguid, sizeof(GUID), &p);
      d.lpguid = static_cast<LPGUID>(p);
      return sc;
    case PT_BINARY:
      sc = array(s.bin.lpb, s.bin.cb, &p);
      d.bin.lpb = static_cast<LPBYTE>(p);
      return sc;
    case PT_MV_I2:
      return values(s.MVi.lpi, s.MVi.cValues, d.MVi.lpi);
    case PT_MV_LONG:
      return values(s.MVl.lpl, s.MVl.cValues, d.MVl.lpl);
    case PT_MV_R4:
      return values(s.MVflt.lpflt, s.MVflt.cValues, d.MVflt.lpflt);
    case PT_MV_DOUBLE:
      return values(s.MVdbl.lpdbl, s.MVdbl.cValues, d.MVdbl.lpdbl);
    case PT_MV_CURRENCY:
      return values(s.MVcur.lpcur, s.MVcur.cValues, d.MVcur.lpcur);
    case PT_MV_APPTIME:
      return values(s.MVat.lpat, s.MVat.cValues, d.MVat.lpat);
    case PT_MV_SYSTIME:
      return values(s.MVft.lpft, s.MVft.cValues, d.MVft.lpft);
    case PT_MV_I8:
      return values(s.MVli.lpli, s.MVli.cValues, d.MVli.lpli);
    case PT_MV_CLSID:
      return values(s.MVguid.lpguid, s.MVguid.cValues, d.MVguid.lpguid);
    case PT_MV_BINARY: {
      sc = array(s.MVbin.lpbin, s.MVbin.cValues * sizeof(SBinary), &p);
      if (FAILED(sc)) return sc;
      d.MVbin.lpbin = static_cast<SBinary*>(p);
      for (ULONG k = 0; k < s.MVbin.cValues; ++k) {
        sc = array(s.MVbin.lpbin[k].lpb, s.MVbin.lpbin[k].cb, &p);
        if (FAILED(sc)) return sc;
        d.MVbin.lpbin[k].lpb = static_cast<LPBYTE>(p);
      }
      return S_OK;
    }
    case PT_MV_STRING8: {
      sc = a.get(s.MVszA.cValues * sizeof(LPSTR), &p);
      if (FAILED(sc)) return sc;
      d.MVszA.lppszA = static_cast<LPSTR*>(p);
      for (ULONG k = 0; k < s.MVszA.cValues; ++k) {
        sc = array(s.MVszA.lppszA[k], strlen(s.MVszA.lppszA[k]) + 1, &p);
        if (FAILED(sc)) return sc;
        d.MVszA.lppszA[k] = static_cast<LPSTR>(p);
      }
      return S_OK;
    }
    case PT_MV_UNICODE: {
      sc = a.get(s.MVszW.cValues * sizeof(LPWSTR), &p);
      if (FAILED(sc)) return sc;
      d.MVszW.lppszW = static_cast<LPWSTR*>(p);
      for (ULONG k = 0; k < s.MVszW.cValues; ++k) {
        sc = array(s.MVszW.lppszW[k], wideBytes(s.MVszW.lppszW[k]), &p);
        if (FAILED(sc)) return sc;
        d.MVszW.lppszW[k] = static_cast<LPWSTR>(p);
      }
      return S_OK;
    }
    default:
      return S_OK;  // no data out of line
  }
}

template <typename T>
LONG compareNumbers(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

LONG compareBytes(const void* a, size_t na, const void* b, size_t nb) {
  size_t n = na < nb ? na : nb;
  int c = n ? memcmp(a, b, n) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  return compareNumbers(na, nb);
}

uint64_t fileTimeValue(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  if (lppProp) *lppProp = nullptr;
  TM_CALL("HrGetOneProp", tagDetail(ulPropTag));
  if (!lpMapiProp || !lppProp) return MAPI_E_INVALID_PARAMETER;
  SizedSPropTagArray(1, tags) = {1, {ulPropTag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = lpMapiProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
  if (FAILED(hr)) {
    MAPIFreeBuffer(values);
    return hr;
  }
  if (!values || count == 0) {
    MAPIFreeBuffer(values);
    return MAPI_E_NOT_FOUND;
  }
  if (PROP_TYPE(values->ulPropTag) == PT_ERROR) {
    SCODE sc = values->Value.err;
    MAPIFreeBuffer(values);
    return FAILED(sc) ? sc : MAPI_E_NOT_FOUND;
  }
  *lppProp = values;
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  if (!lpMapiProp || !lpProp) return MAPI_E_INVALID_PARAMETER;
  TM_CALL("HrSetOneProp", tagDetail(lpProp->ulPropTag));
  LPSPropProblemArray problems = nullptr;
  HRESULT hr = lpMapiProp->SetProps(1, lpProp, &problems);
  if (FAILED(hr)) {
    MAPIFreeBuffer(problems);
    return hr;
  }
  if (problems) {
    SCODE sc = problems->cProblem ? problems->aProblem[0].scode : S_OK;
    MAPIFreeBuffer(problems);
    if (FAILED(sc)) return sc;
  }
  return hr;
}

extern "C" WINBOOL STDAPICALLTYPE FPropExists(LPMAPIPROP lpMapiProp, ULONG ulPropTag) {
  LPSPropValue value = nullptr;
  HRESULT hr = HrGetOneProp(lpMapiProp, ulPropTag, &value);
  MAPIFreeBuffer(value);
  return SUCCEEDED(hr) ? TRUE : FALSE;
}

extern "C" void STDAPICALLTYPE FreeProws(LPSRowSet lpRows) {
  if (!lpRows) return;
  for (ULONG k = 0; k < lpRows->cRows; ++k) MAPIFreeBuffer(lpRows->aRow[k].lpProps);
  MAPIFreeBuffer(lpRows);
}

extern "C" void STDAPICALLTYPE FreePadrlist(LPADRLIST lpAdrlist) {
  if (!lpAdrlist) return;
  for (ULONG k = 0; k < lpAdrlist->cEntries; ++k) MAPIFreeBuffer(lpAdrlist->aEntries[k].rgPropVals);
  MAPIFreeBuffer(lpAdrlist);
}

extern "C" HRESULT STDAPICALLTYPE HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                                                 LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet,
                                                 LONG crowsMax, LPSRowSet* lppRows) {
  if (lppRows) *lppRows = nullptr;
  TM_CALL("HrQueryAllRows", "max=" + std::to_string(crowsMax));
  if (!lpTable || !lppRows) return MAPI_E_INVALID_PARAMETER;
  HRESULT hr = S_OK;
  if (lpPropTags && FAILED(hr = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return hr;
  if (lpRestriction && FAILED(hr = lpTable->Restrict(lpRestriction, TBL_BATCH))) return hr;
  if (lpSortOrderSet && FAILED(hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) return hr;
  if (FAILED(hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;

  // A table may hand out fewer rows than asked for; read until it gives
  // none, gathering the batches into one row set.
  const LONG batch = crowsMax > 0 ? (crowsMax < 0x7FFFFFFF ? crowsMax + 1 : crowsMax) : 0x7FFFFFFF;
  LPSRowSet all = nullptr;
  for (;;) {
    LPSRowSet rows = nullptr;
    hr = lpTable->QueryRows(batch, 0, &rows);
    if (FAILED(hr)) {
      FreeProws(all);
      return hr;
    }
    if (!rows || rows->cRows == 0) {
      FreeProws(rows);
      break;
    }
    if (!all) {
      all = rows;
    } else {
      ULONG total = all->cRows + rows->cRows;
      LPSRowSet merged = nullptr;
      hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(total)), reinterpret_cast<LPVOID*>(&merged));
      if (FAILED(hr)) {
        FreeProws(all);
        FreeProws(rows);
        return hr;
      }
      memcpy(merged->aRow, all->aRow, all->cRows * sizeof(SRow));
      memcpy(merged->aRow + all->cRows, rows->aRow, rows->cRows * sizeof(SRow));
      merged->cRows = total;
      MAPIFreeBuffer(all);  // the rows' values moved into `merged`
      MAPIFreeBuffer(rows);
      all = merged;
    }
    if (crowsMax > 0 && all->cRows > static_cast<ULONG>(crowsMax)) {
      FreeProws(all);
      return MAPI_E_TABLE_TOO_BIG;
    }
  }
  if (!all) {
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(0)), reinterpret_cast<LPVOID*>(&all));
    if (FAILED(hr)) return hr;
    all->cRows = 0;
  }
  *lppRows = all;
  return S_OK;
}

extern "C" LPSPropValue STDAPICALLTYPE PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag) {
  if (!lpPropArray) return nullptr;
  bool byId = PROP_TYPE(ulPropTag) == PT_UNSPECIFIED;
  for (ULONG k = 0; k < cValues; ++k) {
    ULONG tag = lpPropArray[k].ulPropTag;
    if (byId ? PROP_ID(tag) == PROP_ID(ulPropTag) : tag == ulPropTag) return &lpPropArray[k];
  }
  return nullptr;
}

extern "C" LPSPropValue STDAPICALLTYPE LpValFindProp(ULONG ulPropTag, ULONG cValues, LPSPropValue lpPropArray) {
  if (!lpPropArray) return nullptr;
  for (ULONG k = 0; k < cValues; ++k)
    if (PROP_ID(lpPropArray[k].ulPropTag) == PROP_ID(ulPropTag)) return &lpPropArray[k];
  return nullptr;
}

extern "C" LONG STDAPICALLTYPE LPropCompareProp(LPSPropValue lpSPropValueA, LPSPropValue lpSPropValueB) {
  if (!lpSPropValueA || !lpSPropValueB) return 0;
  ULONG ta = PROP_TYPE(lpSPropValueA->ulPropTag), tb = PROP_TYPE(lpSPropValueB->ulPropTag);
  // Values of different types have no order of their own: order by type.
  if (ta != tb) return compareNumbers(ta, tb);
  const _PV& a = lpSPropValueA->Value;
  const _PV& b = lpSPropValueB->Value;
  switch (ta) {
    case PT_I2: return compareNumbers(a.i, b.i);
    case PT_LONG: return compareNumbers(a.l, b.l);
    case PT_R4: return compareNumbers(a.flt, b.flt);
    case PT_DOUBLE: return compareNumbers(a.dbl, b.dbl);
    case PT_APPTIME: return compareNumbers(a.at, b.at);
    case PT_CURRENCY: return compareNumbers(a.cur.int64, b.cur.int64);
    case PT_ERROR: return compareNumbers(a.err, b.err);
    case PT_BOOLEAN: return compareNumbers(a.b != 0, b.b != 0);
    case PT_I8: return compareNumbers(a.li.QuadPart, b.li.QuadPart);
    case PT_SYSTIME: return compareNumbers(fileTimeValue(a.ft), fileTimeValue(b.ft));
    case PT_STRING8: {
      int c = strcmp(a.lpszA ? a.lpszA : "", b.lpszA ? b.lpszA : "");
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case PT_UNICODE: {
      int c = wcscmp(a.lpszW ? a.lpszW : L"", b.lpszW ? b.lpszW : L"");
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case PT_CLSID:
      return compareBytes(a.lpguid, a.lpguid ? sizeof(GUID) : 0, b.lpguid, b.lpguid ? sizeof(GUID) : 0);
    case PT_BINARY:
      return compareBytes(a.bin.lpb, a.bin.cb, b.bin.lpb, b.bin.cb);
    default:
      return 0;
  }
}

extern "C" SCODE STDAPICALLTYPE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc,
                                             ALLOCATEMORE* lpfAllocMore, LPVOID lpvObject) {
  if (!lpSPropValueDest || !lpSPropValueSrc || !lpfAllocMore) return MAPI_E_INVALID_PARAMETER;
  size_t extra = 0;
  if (!extraBytes(*lpSPropValueSrc, extra)) return MAPI_E_INVALID_PARAMETER;
  *lpSPropValueDest = *lpSPropValueSrc;
  Allocator a(lpfAllocMore, lpvObject);
  return copyValueData(*lpSPropValueSrc, *lpSPropValueDest, a);
}

extern "C" SCODE STDAPICALLTYPE ScCountProps(int cValues, LPSPropValue lpPropArray, ULONG* lpcb) {
  if (cValues < 0 || (cValues > 0 && !lpPropArray)) return MAPI_E_INVALID_PARAMETER;
  size_t total = aligned(static_cast<size_t>(cValues) * sizeof(SPropValue));
  for (int k = 0; k < cValues; ++k) {
    size_t extra = 0;
    if (!extraBytes(lpPropArray[k], extra)) return MAPI_E_INVALID_PARAMETER;
    total += extra;
  }
  if (total > 0xFFFFFFFFu) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (lpcb) *lpcb = static_cast<ULONG>(total);
  return S_OK;
}

extern "C" SCODE STDAPICALLTYPE ScCopyProps(int cValues, LPSPropValue lpPropArray, LPVOID lpvDst, ULONG* lpcb) {
  ULONG need = 0;
  SCODE sc = ScCountProps(cValues, lpPropArray, &need);
  if (FAILED(sc)) return sc;
  if (!lpvDst) return MAPI_E_INVALID_PARAMETER;
  auto* dst = static_cast<LPSPropValue>(lpvDst);
  if (cValues) memcpy(dst, lpPropArray, static_cast<size_t>(cValues) * sizeof(SPropValue));
  Allocator a(static_cast<char*>(lpvDst) + aligned(static_cast<size_t>(cValues) * sizeof(SPropValue)));
  for (int k = 0; k < cValues; ++k) copyValueData(lpPropArray[k], dst[k], a);
  if (lpcb) *lpcb = need;
  return S_OK;
}

extern "C" SCODE STDAPICALLTYPE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPALLOCATEBUFFER lpAllocateBuffer,
                                             LPSPropValue* lppPropArray) {
  if (!lpAllocateBuffer || !lppPropArray) return MAPI_E_INVALID_PARAMETER;
  *lppPropArray = nullptr;
  ULONG need = 0;
  SCODE sc = ScCountProps(cValues, lpPropArray, &need);
  if (FAILED(sc)) return sc;
  void* block = nullptr;
  sc = lpAllocateBuffer(need, &block);
  if (FAILED(sc)) return sc;
  ScCopyProps(cValues, lpPropArray, block, nullptr);
  *lppPropArray = static_cast<LPSPropValue>(block);
  return S_OK;
}
