// IMAPITable over rows held in memory.
//
// The table keeps every row in its default order and a view: the indexes of
// the rows that pass the restriction, in sort order. The cursor, the
// bookmarks, SeekRow and QueryRows all work on positions in the view.
#include "runtime/memtable.h"

#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiutil.h>
#include <mapix.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace tmapi {

namespace {

const char kComponent[] = "tolvane-mapi table";
const int kMaxRestrictionDepth = 64;

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(tag));
  return buf;
}

// How two values compare: by integer, by floating point value, by bytes, or
// element by element for the multi-valued types.
enum class Kind { Integer, Real, Bytes, MultiBytes, MultiInteger, None };

Kind kindOf(ULONG tag) {
  switch (PROP_TYPE(tag)) {
    case PT_I2: case PT_LONG: case PT_BOOLEAN: case PT_ERROR: case PT_I8: case PT_CURRENCY: case PT_SYSTIME:
      return Kind::Integer;
    case PT_R4: case PT_DOUBLE: case PT_APPTIME:
      return Kind::Real;
    case PT_STRING8: case PT_UNICODE: case PT_BINARY: case PT_CLSID:
      return Kind::Bytes;
    case PT_MV_STRING8: case PT_MV_UNICODE: case PT_MV_BINARY:
      return Kind::MultiBytes;
    case PT_MV_LONG: case PT_MV_I8: case PT_MV_SYSTIME:
      return Kind::MultiInteger;
    default:
      return Kind::None;
  }
}

template <typename T>
int order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// False when the two values cannot be compared (different kinds).
bool compareValues(const Prop& a, const Prop& b, int& result) {
  Kind k = kindOf(a.tag);
  if (k != kindOf(b.tag) || k == Kind::None) return false;
  switch (k) {
    case Kind::Integer: result = order(a.i, b.i); break;
    case Kind::Real: result = order(a.d, b.d); break;
    case Kind::Bytes: {
      int c = a.bytes.compare(b.bytes);
      result = c < 0 ? -1 : (c > 0 ? 1 : 0);
      break;
    }
    case Kind::MultiBytes: result = order(a.mv, b.mv); break;
    case Kind::MultiInteger: result = order(a.mvi, b.mvi); break;
    case Kind::None: return false;
  }
  return true;
}

std::string lowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// A restriction copied out of the caller's memory.
struct Restriction {
  ULONG rt = RES_AND;
  ULONG op = 0;  // relop, fuzzy level or bitmask relation
  ULONG tag = 0;
  ULONG mask = 0;
  Prop value;
  std::vector<Restriction> subs;
};

HRESULT copyRestriction(const SRestriction& in, Restriction& out, int depth) {
  if (depth > kMaxRestrictionDepth) return MAPI_E_TOO_COMPLEX;
  out.rt = in.rt;
  switch (in.rt) {
    case RES_AND:
    case RES_OR: {
      ULONG count = in.rt == RES_AND ? in.res.resAnd.cRes : in.res.resOr.cRes;
      const SRestriction* subs = in.rt == RES_AND ? in.res.resAnd.lpRes : in.res.resOr.lpRes;
      if (count && !subs) return MAPI_E_INVALID_PARAMETER;
      out.subs.resize(count);
      for (ULONG k = 0; k < count; ++k) {
        HRESULT hr = copyRestriction(subs[k], out.subs[k], depth + 1);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case RES_NOT:
      if (!in.res.resNot.lpRes) return MAPI_E_INVALID_PARAMETER;
      out.subs.resize(1);
      return copyRestriction(*in.res.resNot.lpRes, out.subs[0], depth + 1);
    case RES_PROPERTY:
      if (!in.res.resProperty.lpProp) return MAPI_E_INVALID_PARAMETER;
      if (in.res.resProperty.relop > RELOP_NE) return MAPI_E_TOO_COMPLEX;  // no RELOP_RE
      out.op = in.res.resProperty.relop;
      out.tag = in.res.resProperty.ulPropTag;
      if (!Prop::fromMAPI(*in.res.resProperty.lpProp, out.value)) return MAPI_E_TOO_COMPLEX;
      return S_OK;
    case RES_CONTENT:
      if (!in.res.resContent.lpProp) return MAPI_E_INVALID_PARAMETER;
      out.op = in.res.resContent.ulFuzzyLevel;
      out.tag = in.res.resContent.ulPropTag;
      if (!Prop::fromMAPI(*in.res.resContent.lpProp, out.value) || kindOf(out.value.tag) != Kind::Bytes)
        return MAPI_E_TOO_COMPLEX;
      return S_OK;
    case RES_BITMASK:
      out.op = in.res.resBitMask.relBMR;
      out.tag = in.res.resBitMask.ulPropTag;
      out.mask = in.res.resBitMask.ulMask;
      return S_OK;
    case RES_EXIST:
      out.tag = in.res.resExist.ulPropTag;
      return S_OK;
    default:
      return MAPI_E_TOO_COMPLEX;
  }
}

bool contentMatches(const std::string& text, const std::string& pattern, ULONG fuzzy) {
  const std::string& t = (fuzzy & FL_IGNORECASE) ? lowerAscii(text) : text;
  const std::string& p = (fuzzy & FL_IGNORECASE) ? lowerAscii(pattern) : pattern;
  switch (fuzzy & 0xFFFF) {
    case FL_SUBSTRING: return t.find(p) != std::string::npos;
    case FL_PREFIX: return t.compare(0, p.size(), p) == 0;
    default: return t == p;
  }
}

bool matches(const Restriction& r, const PropRow& row) {
  switch (r.rt) {
    case RES_AND:
      for (const Restriction& s : r.subs)
        if (!matches(s, row)) return false;
      return true;
    case RES_OR:
      for (const Restriction& s : r.subs)
        if (matches(s, row)) return true;
      return false;
    case RES_NOT:
      return !matches(r.subs[0], row);
    case RES_EXIST:
      return findProp(row, r.tag) != nullptr;
    case RES_BITMASK: {
      const Prop* p = findProp(row, r.tag);
      if (!p || kindOf(p->tag) != Kind::Integer) return false;
      bool zero = (static_cast<uint64_t>(p->i) & r.mask) == 0;
      return r.op == BMR_EQZ ? zero : !zero;
    }
    case RES_CONTENT: {
      const Prop* p = findProp(row, r.tag);
      if (!p) return false;
      if (kindOf(p->tag) == Kind::Bytes) return contentMatches(p->bytes, r.value.bytes, r.op);
      if (kindOf(p->tag) == Kind::MultiBytes) {
        for (const std::string& s : p->mv)
          if (contentMatches(s, r.value.bytes, r.op)) return true;
      }
      return false;
    }
    case RES_PROPERTY: {
      const Prop* p = findProp(row, r.tag);
      int c = 0;
      if (!p || !compareValues(*p, r.value, c)) return false;  // absent: no match
      switch (r.op) {
        case RELOP_LT: return c < 0;
        case RELOP_LE: return c <= 0;
        case RELOP_GT: return c > 0;
        case RELOP_GE: return c >= 0;
        case RELOP_EQ: return c == 0;
        case RELOP_NE: return c != 0;
        default: return false;
      }
    }
    default:
      return false;
  }
}

struct SortKey {
  ULONG tag;
  bool descending;
};

class MemTable final : public IMAPITable, public ObjectBase, public ErrorHolder {
 public:
  MemTable(std::vector<PropRow> rows, const SPropTagArray* defaultColumns) : m_rows(std::move(rows)) {
    if (defaultColumns) {
      m_columns.assign(defaultColumns->aulPropTag, defaultColumns->aulPropTag + defaultColumns->cValues);
    } else if (!m_rows.empty()) {
      for (const Prop& p : m_rows.front()) m_columns.push_back(p.tag);
    }
    rebuildView();
  }

  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, LPVOID* ppv) override {
    TM_CALL_OBJ(this, "IMAPITable::QueryInterface", std::string());
    if (!ppv) return MAPI_E_INVALID_PARAMETER;
    if (riid == IID_IUnknown || riid == IID_IMAPITable) {
      AddRef();
      *ppv = static_cast<IMAPITable*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
  }

  HRESULT STDMETHODCALLTYPE GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    // A planned fault here must not replace the failure being asked about,
    // so it is not recorded on the object.
    TM_CALL("IMAPITable::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }

  HRESULT STDMETHODCALLTYPE Advise(ULONG, LPMAPIADVISESINK, ULONG*) override {
    TM_CALL_OBJ(this, "IMAPITable::Advise", std::string());
    return noSupport("Advise");
  }

  HRESULT STDMETHODCALLTYPE Unadvise(ULONG) override {
    TM_CALL_OBJ(this, "IMAPITable::Unadvise", std::string());
    return noSupport("Unadvise");
  }

  HRESULT STDMETHODCALLTYPE GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override {
    TM_CALL_OBJ(this, "IMAPITable::GetStatus", std::string());
    if (!lpulTableStatus || !lpulTableType) return invalid("GetStatus", "a result pointer is null");
    *lpulTableStatus = TBLSTAT_COMPLETE;
    *lpulTableType = TBLTYPE_SNAPSHOT;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray lpPropTagArray, ULONG) override {
    TM_CALL_OBJ(this, "IMAPITable::SetColumns", columnsDetail(lpPropTagArray));
    if (!lpPropTagArray) return invalid("SetColumns", "the column set is null");
    std::lock_guard<std::mutex> lock(m_mu);
    m_columns.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryColumns(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    TM_CALL_OBJ(this, "IMAPITable::QueryColumns", "flags=" + hexTag(ulFlags));
    if (!lppPropTagArray) return invalid("QueryColumns", "the result pointer is null");
    *lppPropTagArray = nullptr;
    std::lock_guard<std::mutex> lock(m_mu);
    std::vector<ULONG> tags;
    if (ulFlags & TBL_ALL_COLUMNS) {
      for (const PropRow& row : m_rows)
        for (const Prop& p : row)
          if (PROP_TYPE(p.tag) != PT_ERROR && std::find(tags.begin(), tags.end(), p.tag) == tags.end())
            tags.push_back(p.tag);
    } else {
      tags = m_columns;
    }
    LPSPropTagArray out = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), reinterpret_cast<LPVOID*>(&out));
    if (FAILED(hr)) return setError(hr, "IMAPITable::QueryColumns: no memory for the column set");
    out->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), out->aulPropTag);
    *lppPropTagArray = out;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRowCount(ULONG, ULONG* lpulCount) override {
    TM_CALL_OBJ(this, "IMAPITable::GetRowCount", std::string());
    if (!lpulCount) return invalid("GetRowCount", "the result pointer is null");
    std::lock_guard<std::mutex> lock(m_mu);
    *lpulCount = static_cast<ULONG>(m_view.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override {
    TM_CALL_OBJ(this, "IMAPITable::SeekRow",
                "origin=" + std::to_string(bkOrigin) + " count=" + std::to_string(lRowCount));
    std::lock_guard<std::mutex> lock(m_mu);
    size_t origin = 0;
    if (!resolveBookmark(bkOrigin, origin))
      return setError(MAPI_E_INVALID_BOOKMARK, "IMAPITable::SeekRow: unknown bookmark " + std::to_string(bkOrigin));
    int64_t target = static_cast<int64_t>(origin) + lRowCount;
    target = std::max<int64_t>(0, std::min<int64_t>(target, static_cast<int64_t>(m_view.size())));
    m_cursor = static_cast<size_t>(target);
    if (lplRowsSought) *lplRowsSought = static_cast<LONG>(target - static_cast<int64_t>(origin));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SeekRowApprox(ULONG, ULONG) override {
    TM_CALL_OBJ(this, "IMAPITable::SeekRowApprox", std::string());
    return noSupport("SeekRowApprox");
  }

  HRESULT STDMETHODCALLTYPE QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override {
    TM_CALL_OBJ(this, "IMAPITable::QueryPosition", std::string());
    if (!lpulRow || !lpulNumerator || !lpulDenominator) return invalid("QueryPosition", "a result pointer is null");
    std::lock_guard<std::mutex> lock(m_mu);
    *lpulRow = static_cast<ULONG>(m_cursor);
    *lpulNumerator = static_cast<ULONG>(m_cursor);
    *lpulDenominator = m_view.empty() ? 1 : static_cast<ULONG>(m_view.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) override {
    TM_CALL_OBJ(this, "IMAPITable::FindRow", "origin=" + std::to_string(bkOrigin) + " flags=" + hexTag(ulFlags));
    if (!lpRestriction) return invalid("FindRow", "the restriction is null");
    Restriction r;
    HRESULT hr = copyRestriction(*lpRestriction, r, 0);
    if (FAILED(hr)) return setError(hr, "IMAPITable::FindRow: " + restrictionProblem(hr));
    std::lock_guard<std::mutex> lock(m_mu);
    size_t origin = 0;
    if (!resolveBookmark(bkOrigin, origin))
      return setError(MAPI_E_INVALID_BOOKMARK, "IMAPITable::FindRow: unknown bookmark " + std::to_string(bkOrigin));
    if (ulFlags & DIR_BACKWARD) {
      // Backward searches start at the row before the origin.
      for (size_t k = origin; k-- > 0;)
        if (matches(r, m_rows[m_view[k]])) return found(k);
    } else {
      for (size_t k = origin; k < m_view.size(); ++k)
        if (matches(r, m_rows[m_view[k]])) return found(k);
    }
    return setError(MAPI_E_NOT_FOUND, "IMAPITable::FindRow: no row matches the restriction");
  }

  HRESULT STDMETHODCALLTYPE Restrict(LPSRestriction lpRestriction, ULONG) override {
    TM_CALL_OBJ(this, "IMAPITable::Restrict", lpRestriction ? "rt=" + std::to_string(lpRestriction->rt) : "none");
    std::unique_ptr<Restriction> r;
    if (lpRestriction) {
      r.reset(new Restriction);
      HRESULT hr = copyRestriction(*lpRestriction, *r, 0);
      if (FAILED(hr)) return setError(hr, "IMAPITable::Restrict: " + restrictionProblem(hr));
    }
    std::lock_guard<std::mutex> lock(m_mu);
    m_restriction = std::move(r);
    rebuildView();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CreateBookmark(BOOKMARK* lpbkPosition) override {
    TM_CALL_OBJ(this, "IMAPITable::CreateBookmark", std::string());
    if (!lpbkPosition) return invalid("CreateBookmark", "the result pointer is null");
    std::lock_guard<std::mutex> lock(m_mu);
    BOOKMARK bk = m_nextBookmark++;
    m_bookmarks[bk] = m_cursor;
    *lpbkPosition = bk;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE FreeBookmark(BOOKMARK bkPosition) override {
    TM_CALL_OBJ(this, "IMAPITable::FreeBookmark", "bookmark=" + std::to_string(bkPosition));
    if (bkPosition <= BOOKMARK_END) return S_OK;
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_bookmarks.erase(bkPosition) == 0)
      return setError(MAPI_E_INVALID_BOOKMARK,
                      "IMAPITable::FreeBookmark: unknown bookmark " + std::to_string(bkPosition));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SortTable(LPSSortOrderSet lpSortCriteria, ULONG) override {
    TM_CALL_OBJ(this, "IMAPITable::SortTable", sortDetail(lpSortCriteria));
    std::vector<SortKey> keys;
    if (lpSortCriteria) {
      if (lpSortCriteria->cCategories != 0)
        return setError(MAPI_E_TOO_COMPLEX, "IMAPITable::SortTable: categorized views are not supported");
      for (ULONG k = 0; k < lpSortCriteria->cSorts; ++k) {
        const SSortOrder& s = lpSortCriteria->aSort[k];
        if ((PROP_TYPE(s.ulPropTag) & MV_INSTANCE) || (s.ulOrder & ~TABLE_SORT_DESCEND) != 0)
          return setError(MAPI_E_TOO_COMPLEX,
                          "IMAPITable::SortTable: unsupported sort on " + hexTag(s.ulPropTag));
        keys.push_back({s.ulPropTag, (s.ulOrder & TABLE_SORT_DESCEND) != 0});
      }
    }
    std::lock_guard<std::mutex> lock(m_mu);
    m_sort = std::move(keys);
    rebuildView();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QuerySortOrder(LPSSortOrderSet*) override {
    TM_CALL_OBJ(this, "IMAPITable::QuerySortOrder", std::string());
    return noSupport("QuerySortOrder");
  }

  HRESULT STDMETHODCALLTYPE QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) override {
    TM_CALL_OBJ(this, "IMAPITable::QueryRows", "count=" + std::to_string(lRowCount));
    if (!lppRows) return invalid("QueryRows", "the result pointer is null");
    *lppRows = nullptr;
    if (lRowCount == 0) return invalid("QueryRows", "the row count is 0");
    std::lock_guard<std::mutex> lock(m_mu);
    // A negative count reads the rows before the cursor (in table order).
    size_t begin, end;
    if (lRowCount > 0) {
      begin = m_cursor;
      end = m_cursor + std::min<size_t>(static_cast<size_t>(lRowCount), m_view.size() - m_cursor);
    } else {
      size_t back = static_cast<size_t>(-static_cast<int64_t>(lRowCount));
      end = m_cursor;
      begin = m_cursor - std::min(back, m_cursor);
    }
    size_t n = end - begin;
    LPSRowSet rows = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n)), reinterpret_cast<LPVOID*>(&rows));
    if (FAILED(hr)) return setError(hr, "IMAPITable::QueryRows: no memory for the row set");
    rows->cRows = 0;
    const SPropTagArray* columns = columnArray();
    for (size_t k = 0; k < n; ++k) {
      SRow& row = rows->aRow[k];
      row.ulAdrEntryPad = 0;
      hr = rowToMAPI(m_rows[m_view[begin + k]], columns, &row.cValues, &row.lpProps);
      if (FAILED(hr)) {
        FreeProws(rows);
        return setError(hr, "IMAPITable::QueryRows: copying row " + std::to_string(begin + k) + " failed");
      }
      rows->cRows = static_cast<ULONG>(k + 1);
    }
    // Forward reads move past the rows read; backward reads move to the first
    // of them, so that repeated backward reads page towards the beginning.
    // TBL_NOADVANCE leaves the cursor on the first row returned.
    if ((ulFlags & TBL_NOADVANCE) || lRowCount < 0)
      m_cursor = begin;
    else
      m_cursor = end;
    *lppRows = rows;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Abort() override {
    TM_CALL_OBJ(this, "IMAPITable::Abort", std::string());
    return S_OK;  // nothing runs in the background
  }

  HRESULT STDMETHODCALLTYPE ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet* lppRows, ULONG* lpulMoreRows) override {
    if (lppRows) *lppRows = nullptr;
    if (lpulMoreRows) *lpulMoreRows = 0;
    TM_CALL_OBJ(this, "IMAPITable::ExpandRow", std::string());
    return noSupport("ExpandRow");
  }

  HRESULT STDMETHODCALLTYPE CollapseRow(ULONG, LPBYTE, ULONG, ULONG* lpulRowCount) override {
    if (lpulRowCount) *lpulRowCount = 0;
    TM_CALL_OBJ(this, "IMAPITable::CollapseRow", std::string());
    return noSupport("CollapseRow");
  }

  HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG, ULONG, ULONG* lpulTableStatus) override {
    TM_CALL_OBJ(this, "IMAPITable::WaitForCompletion", std::string());
    if (lpulTableStatus) *lpulTableStatus = TBLSTAT_COMPLETE;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetCollapseState(ULONG, ULONG, LPBYTE, ULONG* lpcbCollapseState,
                                             LPBYTE* lppbCollapseState) override {
    if (lpcbCollapseState) *lpcbCollapseState = 0;
    if (lppbCollapseState) *lppbCollapseState = nullptr;
    TM_CALL_OBJ(this, "IMAPITable::GetCollapseState", std::string());
    return noSupport("GetCollapseState");
  }

  HRESULT STDMETHODCALLTYPE SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override {
    TM_CALL_OBJ(this, "IMAPITable::SetCollapseState", std::string());
    return noSupport("SetCollapseState");
  }

 private:
  HRESULT noSupport(const char* method) {
    return setError(MAPI_E_NO_SUPPORT, std::string("IMAPITable::") + method + " is not supported by this table");
  }

  HRESULT invalid(const char* method, const char* why) {
    return setError(MAPI_E_INVALID_PARAMETER, std::string("IMAPITable::") + method + ": " + why);
  }

  HRESULT found(size_t position) {
    m_cursor = position;
    return S_OK;
  }

  static std::string restrictionProblem(HRESULT hr) {
    return hr == MAPI_E_TOO_COMPLEX ? "the restriction uses a kind of test this table does not support"
                                    : "the restriction is malformed";
  }

  static std::string columnsDetail(const SPropTagArray* tags) {
    if (!tags) return "columns=null";
    std::string s = "columns=";
    for (ULONG k = 0; k < tags->cValues; ++k) {
      if (k) s += ',';
      s += hexTag(tags->aulPropTag[k]);
    }
    return s;
  }

  static std::string sortDetail(const SSortOrderSet* sort) {
    if (!sort) return "sort=none";
    std::string s = "sort=";
    for (ULONG k = 0; k < sort->cSorts; ++k) {
      if (k) s += ',';
      s += hexTag(sort->aSort[k].ulPropTag);
      s += (sort->aSort[k].ulOrder & TABLE_SORT_DESCEND) ? ":desc" : ":asc";
    }
    return s;
  }

  // Caller holds m_mu.
  bool resolveBookmark(BOOKMARK bk, size_t& position) const {
    switch (bk) {
      case BOOKMARK_BEGINNING: position = 0; return true;
      case BOOKMARK_CURRENT: position = m_cursor; return true;
      case BOOKMARK_END: position = m_view.size(); return true;
      default: {
        auto it = m_bookmarks.find(bk);
        if (it == m_bookmarks.end()) return false;
        position = std::min(it->second, m_view.size());
        return true;
      }
    }
  }

  // The current columns as a MAPI tag array (caller holds m_mu).
  const SPropTagArray* columnArray() {
    m_columnBuffer.assign(1, static_cast<ULONG>(m_columns.size()));
    m_columnBuffer.insert(m_columnBuffer.end(), m_columns.begin(), m_columns.end());
    return reinterpret_cast<const SPropTagArray*>(m_columnBuffer.data());
  }

  // Applies the restriction and the sort order; the cursor goes back to the
  // beginning and bookmarks no longer hold (caller holds m_mu).
  void rebuildView() {
    m_view.clear();
    for (size_t k = 0; k < m_rows.size(); ++k)
      if (!m_restriction || matches(*m_restriction, m_rows[k])) m_view.push_back(k);
    if (!m_sort.empty()) {
      std::stable_sort(m_view.begin(), m_view.end(), [this](size_t a, size_t b) {
        for (const SortKey& key : m_sort) {
          int c = compareForSort(findProp(m_rows[a], key.tag), findProp(m_rows[b], key.tag));
          if (c != 0) return key.descending ? c > 0 : c < 0;
        }
        return false;
      });
    }
    m_cursor = 0;
    m_bookmarks.clear();
  }

  // Rows without the value sort before rows with it; values that cannot be
  // compared keep their order.
  static int compareForSort(const Prop* a, const Prop* b) {
    if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
    int c = 0;
    return compareValues(*a, *b, c) ? c : 0;
  }

  std::mutex m_mu;
  std::vector<PropRow> m_rows;  // default order
  std::vector<size_t> m_view;   // indexes into m_rows
  size_t m_cursor = 0;
  std::vector<ULONG> m_columns;
  std::vector<ULONG> m_columnBuffer;
  std::unique_ptr<Restriction> m_restriction;
  std::vector<SortKey> m_sort;
  std::map<BOOKMARK, size_t> m_bookmarks;
  BOOKMARK m_nextBookmark = BOOKMARK_END + 1;
};

}  // namespace

HRESULT createMemTable(std::vector<PropRow> rows, const SPropTagArray* defaultColumns, IMAPITable** table) {
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  try {
    *table = new MemTable(std::move(rows), defaultColumns);
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  return S_OK;
}

}  // namespace tmapi
