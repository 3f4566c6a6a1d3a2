// The attachment table of a message.
//
// The rows are the message's attachments when the table is made: the
// stored ones by id (their values read from the store at the table's first
// use, and only those of the columns set by then), and those saved into
// the message since it was opened (their values taken at once, from
// memory). So the usual GetAttachmentTable, SetColumns(PR_ATTACH_NUM,
// PR_ATTACH_SIZE), QueryRows reads one value per row, whatever else the
// attachments carry: a message of 10,000 attachments is one pass over an
// index and 10,000 small values.
//
// Columns set after the first use that were not read are read then, for
// the same rows, and the position is kept. A restriction, a sort order or
// a bookmark (and QueryColumns with TBL_ALL_COLUMNS) needs every value: the
// first of them reads every stored value of every row (the attachment data
// is never a row value), after which column sets only choose among them.
#include "store/message.h"

#include "runtime/memtable.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapix.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_map>

namespace tmapi {

namespace {

const char kComponent[] = "tolvane-mapi table";

// Largest value an attachment table row carries; bigger ones come back as
// PT_ERROR without being read.
const ULONG kTableValueLimit = 4096;

// Columns the table starts with.
const ULONG kDefaultColumns[] = {PR_ATTACH_NUM,    PR_INSTANCE_KEY,           PR_ATTACH_SIZE,
                                 PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_FILENAME_A,
                                 PR_DISPLAY_NAME_A, PR_RENDERING_POSITION};

std::string objectKey(ObjectId id) {
  std::string k(8, '\0');
  for (int i = 0; i < 8; ++i) k[i] = static_cast<char>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
  return k;
}

// Values of a row that are not stored properties of the attachment.
bool isComputed(ULONG tag) {
  ULONG id = PROP_ID(tag);
  return id == PROP_ID(PR_ATTACH_NUM) || id == PROP_ID(PR_INSTANCE_KEY) || id == PROP_ID(PR_OBJECT_TYPE);
}

// The data is opened from the attachment, never a row value.
bool isData(ULONG tag) { return PROP_ID(tag) == PROP_ID(PR_ATTACH_DATA_BIN); }

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(tag));
  return buf;
}

std::string columnsDetail(const SPropTagArray* tags) {
  if (!tags) return "columns=null";
  std::string s = "columns=";
  for (ULONG k = 0; k < tags->cValues; ++k) {
    if (k) s += ',';
    s += hexTag(tags->aulPropTag[k]);
  }
  return s;
}

class AttachmentTable : public IMAPITable, public ObjectBase, public ErrorHolder {
 public:
  AttachmentTable(std::shared_ptr<StoreDb> db, ObjectId message, std::vector<std::pair<ObjectId, ULONG>> stored,
                  std::vector<std::pair<ULONG, PropRow>> unsaved)
      : m_db(std::move(db)), m_message(message), m_stored(std::move(stored)), m_unsaved(std::move(unsaved)),
        m_columns(std::begin(kDefaultColumns), std::end(kDefaultColumns)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, LPVOID* ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMAPITable) {
      AddRef();
      *ppv = static_cast<IMAPITable*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    if (m_table && !m_ownError) return m_table->GetLastError(hResult, ulFlags, lppMAPIError);
    TM_CALL("IMAPITable::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }

// Every other call is answered by the loaded table; `all` reads every
// stored value first (calls that may test any column, or whose state a
// later reading of more columns would lose).
#define TM_FORWARD(all, call)                 \
  do {                                        \
    HRESULT tm_load_ = load(all);             \
    if (FAILED(tm_load_)) return tm_load_;    \
    return m_table->call;                     \
  } while (0)

  HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) override {
    std::unique_lock<std::mutex> lock(m_mu);
    if (m_table && (m_all || !needsReading(lpPropTagArray))) {
      m_ownError = false;
      HRESULT hr = m_table->SetColumns(lpPropTagArray, ulFlags);
      if (SUCCEEDED(hr)) m_columns.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
      return hr;
    }
    m_ownError = true;
    TM_CALL_OBJ(this, "IMAPITable::SetColumns", columnsDetail(lpPropTagArray));
    if (!lpPropTagArray || lpPropTagArray->cValues == 0)
      return ownError(MAPI_E_INVALID_PARAMETER, "IMAPITable::SetColumns: no columns");
    m_columns.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
    if (!m_table) return S_OK;
    // Used already: the new columns' values are read for the same rows.
    return build(false);
  }

  HRESULT STDMETHODCALLTYPE QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) override {
    if (ulFlags & TBL_ALL_COLUMNS) TM_FORWARD(true, QueryColumns(ulFlags, lpPropTagArray));
    std::unique_lock<std::mutex> lock(m_mu);
    if (m_table) {
      m_ownError = false;
      return m_table->QueryColumns(ulFlags, lpPropTagArray);
    }
    m_ownError = true;
    TM_CALL_OBJ(this, "IMAPITable::QueryColumns", "flags=" + hexTag(ulFlags));
    if (!lpPropTagArray) return ownError(MAPI_E_INVALID_PARAMETER, "IMAPITable::QueryColumns: no output");
    *lpPropTagArray = nullptr;
    LPSPropTagArray out = nullptr;
    HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(m_columns.size()), reinterpret_cast<LPVOID*>(&out));
    if (FAILED(hr)) return ownError(hr, "IMAPITable::QueryColumns: out of memory");
    out->cValues = static_cast<ULONG>(m_columns.size());
    std::copy(m_columns.begin(), m_columns.end(), out->aulPropTag);
    *lpPropTagArray = out;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRowCount(ULONG ulFlags, ULONG* lpulCount) override {
    std::unique_lock<std::mutex> lock(m_mu);
    if (m_table) {
      m_ownError = false;
      return m_table->GetRowCount(ulFlags, lpulCount);
    }
    // Before the first use the rows are all there are: nothing to read.
    m_ownError = true;
    TM_CALL_OBJ(this, "IMAPITable::GetRowCount", std::string());
    if (!lpulCount) return ownError(MAPI_E_INVALID_PARAMETER, "IMAPITable::GetRowCount: no output");
    *lpulCount = static_cast<ULONG>(m_stored.size() + m_unsaved.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Advise(ULONG a, LPMAPIADVISESINK b, ULONG* c) override { TM_FORWARD(false, Advise(a, b, c)); }
  HRESULT STDMETHODCALLTYPE Unadvise(ULONG a) override { TM_FORWARD(false, Unadvise(a)); }
  HRESULT STDMETHODCALLTYPE GetStatus(ULONG* a, ULONG* b) override { TM_FORWARD(false, GetStatus(a, b)); }
  HRESULT STDMETHODCALLTYPE SeekRow(BOOKMARK a, LONG b, LONG* c) override {
    // A seek from a bookmark needs the bookmark's table to stay.
    TM_FORWARD(a != BOOKMARK_BEGINNING && a != BOOKMARK_CURRENT && a != BOOKMARK_END, SeekRow(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE SeekRowApprox(ULONG a, ULONG b) override { TM_FORWARD(false, SeekRowApprox(a, b)); }
  HRESULT STDMETHODCALLTYPE QueryPosition(ULONG* a, ULONG* b, ULONG* c) override {
    TM_FORWARD(false, QueryPosition(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE FindRow(LPSRestriction a, BOOKMARK b, ULONG c) override { TM_FORWARD(true, FindRow(a, b, c)); }
  HRESULT STDMETHODCALLTYPE Restrict(LPSRestriction a, ULONG b) override { TM_FORWARD(true, Restrict(a, b)); }
  HRESULT STDMETHODCALLTYPE CreateBookmark(BOOKMARK* a) override { TM_FORWARD(true, CreateBookmark(a)); }
  HRESULT STDMETHODCALLTYPE FreeBookmark(BOOKMARK a) override { TM_FORWARD(true, FreeBookmark(a)); }
  HRESULT STDMETHODCALLTYPE SortTable(LPSSortOrderSet a, ULONG b) override { TM_FORWARD(true, SortTable(a, b)); }
  HRESULT STDMETHODCALLTYPE QuerySortOrder(LPSSortOrderSet* a) override { TM_FORWARD(false, QuerySortOrder(a)); }
  HRESULT STDMETHODCALLTYPE QueryRows(LONG a, ULONG b, LPSRowSet* c) override { TM_FORWARD(false, QueryRows(a, b, c)); }
  HRESULT STDMETHODCALLTYPE Abort() override { TM_FORWARD(false, Abort()); }
  HRESULT STDMETHODCALLTYPE ExpandRow(ULONG a, LPBYTE b, ULONG c, ULONG d, LPSRowSet* e, ULONG* f) override {
    TM_FORWARD(true, ExpandRow(a, b, c, d, e, f));
  }
  HRESULT STDMETHODCALLTYPE CollapseRow(ULONG a, LPBYTE b, ULONG c, ULONG* d) override {
    TM_FORWARD(true, CollapseRow(a, b, c, d));
  }
  HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG a, ULONG b, ULONG* c) override {
    TM_FORWARD(false, WaitForCompletion(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE GetCollapseState(ULONG a, ULONG b, LPBYTE c, ULONG* d, LPBYTE* e) override {
    TM_FORWARD(true, GetCollapseState(a, b, c, d, e));
  }
  HRESULT STDMETHODCALLTYPE SetCollapseState(ULONG a, ULONG b, LPBYTE c, BOOKMARK* d) override {
    TM_FORWARD(true, SetCollapseState(a, b, c, d));
  }
#undef TM_FORWARD

 private:
  ~AttachmentTable() override {
    if (m_table) m_table->Release();
  }

  HRESULT ownError(HRESULT hr, const std::string& text) {
    m_ownError = true;
    return setError(hr, text);
  }

  // Whether a column set names a stored property not read yet.
  bool needsReading(const SPropTagArray* tags) const {
    if (!tags) return false;
    for (ULONG k = 0; k < tags->cValues; ++k) {
      ULONG t = tags->aulPropTag[k];
      if (!isComputed(t) && !isData(t) && !m_read.count(PROP_ID(t))) return true;
    }
    return false;
  }

  HRESULT load(bool all) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_ownError = false;
    if (m_table && (m_all || !all)) return S_OK;
    return build(all);
  }

  // Reads the stored values (every one, or those of the columns) and makes
  // the in-memory table; a table made before keeps its position (a table
  // that is not `m_all` has no restriction, sort order or bookmark).
  HRESULT build(bool all) {
    std::set<ULONG> ids = m_read;
    for (ULONG t : m_columns)
      if (!isComputed(t) && !isData(t)) ids.insert(PROP_ID(t));
    std::unordered_map<ObjectId, PropRow> values;
    if (!m_stored.empty() && (all || !ids.empty())) {
      std::vector<ULONG> tags;
      if (!all)
        for (ULONG id : ids) tags.push_back(PROP_TAG(PT_UNSPECIFIED, id));
      std::vector<StoreDb::ChildRow> rows;
      HRESULT hr = m_db->childRows(m_message, MAPI_ATTACH, tags, kTableValueLimit, rows);
      if (FAILED(hr)) return ownError(hr, "The attachment table could not be read: " + m_db->lastError());
      for (auto& r : rows) values[r.id] = std::move(r.props);
    }
    std::vector<std::pair<ULONG, PropRow>> rows;
    rows.reserve(m_stored.size() + m_unsaved.size());
    for (const auto& s : m_stored) {
      PropRow row;
      auto it = values.find(s.first);
      if (it != values.end()) row = std::move(it->second);
      row.erase(std::remove_if(row.begin(), row.end(), [](const Prop& p) { return isData(p.tag); }), row.end());
      row.push_back(Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(s.second)));
      row.push_back(Prop::Binary(PR_INSTANCE_KEY, objectKey(s.first)));
      row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_ATTACH));
      rows.emplace_back(s.second, std::move(row));
    }
    for (const auto& u : m_unsaved) rows.push_back(u);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<PropRow> table;
    table.reserve(rows.size());
    for (auto& r : rows) table.push_back(std::move(r.second));

    ULONG position = 0;
    if (m_table) {
      ULONG num = 0, den = 0;
      HRESULT hr = m_table->QueryPosition(&position, &num, &den);
      if (FAILED(hr)) return ownError(hr, "The attachment table could not be read again");
    }
    std::vector<ULONG> cols(1, static_cast<ULONG>(m_columns.size()));
    cols.insert(cols.end(), m_columns.begin(), m_columns.end());
    IMAPITable* made = nullptr;
    HRESULT hr = createMemTable(std::move(table), reinterpret_cast<const SPropTagArray*>(cols.data()), &made);
    if (FAILED(hr)) return ownError(hr, "The attachment table could not be made: out of memory");
    if (position > 0) {
      LONG sought = 0;
      hr = made->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>(position), &sought);
      if (FAILED(hr)) {
        made->Release();
        return ownError(hr, "The attachment table could not be read again");
      }
    }
    if (m_table) m_table->Release();
    m_table = made;
    m_read = std::move(ids);
    m_all = all;
    return S_OK;
  }

  std::mutex m_mu;
  std::shared_ptr<StoreDb> m_db;
  ObjectId m_message;
  std::vector<std::pair<ObjectId, ULONG>> m_stored;   // id, attachment number
  std::vector<std::pair<ULONG, PropRow>> m_unsaved;   // number, every value
  std::vector<ULONG> m_columns;
  std::set<ULONG> m_read;  // stored property ids read into m_table
  bool m_all = false;      // m_table holds every stored value
  bool m_ownError = false;  // the last failure is this object's, not m_table's
  IMAPITable* m_table = nullptr;
};

}  // namespace

HRESULT createAttachmentTable(std::shared_ptr<StoreDb> db, ObjectId message,
                              std::vector<std::pair<ObjectId, ULONG>> stored,
                              std::vector<std::pair<ULONG, PropRow>> unsaved, IMAPITable** table) {
  *table = new AttachmentTable(std::move(db), message, std::move(stored), std::move(unsaved));
  return S_OK;
}

}  // namespace tmapi
