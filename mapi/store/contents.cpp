// The contents table of a folder.
//
// The table's rows are the folder's messages when the table is made (their
// ids are taken at once, in creation order), but their values are read only
// when the table is first used, and only those of the columns set by then:
// the usual GetContentsTable, SetColumns(PR_ENTRYID), QueryRows reads one
// index of a folder of 100,000 messages and keeps one value per row. From
// the first use on, an in-memory table (memtable.h) answers every call.
// A first restriction, sort or search loads every envelope value and the
// properties it names. Columns set after the first use find only what was
// loaded then. Bodies are never row values.
#include "store/folder.h"

#include "runtime/memtable.h"
#include "runtime/testctl_internal.h"
#include "store/msgstore.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapix.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace tmapi {

namespace {

const char kComponent[] = "tolvane-mapi table";

// Stored values a row may carry: the envelope of a message, never its
// bodies or attachments.
const ULONG kEnvelope[] = {
    PR_MESSAGE_CLASS_A,       PR_SUBJECT_A,          PR_NORMALIZED_SUBJECT_A,     PR_MESSAGE_FLAGS,
    PR_MESSAGE_DELIVERY_TIME, PR_CLIENT_SUBMIT_TIME, PR_MESSAGE_SIZE,             PR_HASATTACH,
    PR_SENDER_NAME_A,         PR_SENDER_EMAIL_ADDRESS_A, PR_SENT_REPRESENTING_NAME_A, PR_DISPLAY_TO_A,
    PR_DISPLAY_CC_A,          PR_IMPORTANCE,         PR_PRIORITY,                 PR_SENSITIVITY,
    PR_MSG_STATUS,            PR_CREATION_TIME,      PR_LAST_MODIFICATION_TIME,
    PROP_TAG(PT_STRING8, 0x1035),  // PR_INTERNET_MESSAGE_ID
};
// Computed per row.
const ULONG kComputed[] = {PR_ENTRYID, PR_RECORD_KEY, PR_INSTANCE_KEY, PR_PARENT_ENTRYID, PR_OBJECT_TYPE};
const ULONG kDefaultColumns[] = {PR_ENTRYID,    PR_INSTANCE_KEY,     PR_SUBJECT_A, PR_MESSAGE_FLAGS, PR_MESSAGE_DELIVERY_TIME,
                                 PR_MESSAGE_SIZE, PR_HASATTACH, PR_MESSAGE_CLASS_A};
// Longest string a row carries; longer values are PT_ERROR
// (MAPI_E_NOT_ENOUGH_MEMORY) here and are read from the message.
const ULONG kRowValueLimit = 64 * 1024;

std::string objectKey(ObjectId id) {
  std::string k(8, '\0');
  for (int i = 0; i < 8; ++i) k[i] = static_cast<char>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
  return k;
}

// Bodies are never table values: they are read from the message.
bool isBody(ULONG tag) {
  ULONG id = PROP_ID(tag);
  return id == 0x1000 /* PR_BODY */ || id == 0x1013 /* PR_HTML */ || id == 0x1009 /* PR_RTF_COMPRESSED */;
}

bool isComputed(ULONG tag) {
  for (ULONG c : kComputed)
    if (PROP_ID(c) == PROP_ID(tag)) return true;
  return false;
}

// The properties a restriction tests (depth-limited like the table's own
// copy of it; a malformed one is left for the table to refuse).
void restrictionTags(const SRestriction* r, std::vector<ULONG>& tags, int depth = 0) {
  if (!r || depth > 64) return;
  switch (r->rt) {
    case RES_AND:
      for (ULONG k = 0; r->res.resAnd.lpRes && k < r->res.resAnd.cRes; ++k)
        restrictionTags(&r->res.resAnd.lpRes[k], tags, depth + 1);
      break;
    case RES_OR:
      for (ULONG k = 0; r->res.resOr.lpRes && k < r->res.resOr.cRes; ++k)
        restrictionTags(&r->res.resOr.lpRes[k], tags, depth + 1);
      break;
    case RES_NOT: restrictionTags(r->res.resNot.lpRes, tags, depth + 1); break;
    case RES_CONTENT: tags.push_back(r->res.resContent.ulPropTag); break;
    case RES_PROPERTY: tags.push_back(r->res.resProperty.ulPropTag); break;
    case RES_BITMASK: tags.push_back(r->res.resBitMask.ulPropTag); break;
    case RES_EXIST: tags.push_back(r->res.resExist.ulPropTag); break;
    case RES_SIZE: tags.push_back(r->res.resSize.ulPropTag); break;
    case RES_COMPAREPROPS:
      tags.push_back(r->res.resCompareProps.ulPropTag1);
      tags.push_back(r->res.resCompareProps.ulPropTag2);
      break;
    default: break;
  }
}

std::vector<ULONG> sortTags(const SSortOrderSet* sort) {
  std::vector<ULONG> tags;
  for (ULONG k = 0; sort && k < sort->cSorts; ++k) tags.push_back(sort->aSort[k].ulPropTag);
  return tags;
}

std::vector<ULONG> restrictionTags(const SRestriction* r) {
  std::vector<ULONG> tags;
  restrictionTags(r, tags);
  return tags;
}

class ContentsTable : public IMAPITable, public ObjectBase, public ErrorHolder {
 public:
  ContentsTable(MsgStore* store, ObjectId folder, std::vector<ObjectId> ids)
      : m_store(store), m_folder(folder), m_ids(std::move(ids)),
        m_columns(std::begin(kDefaultColumns), std::end(kDefaultColumns)) {
    m_store->AddRef();
  }

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
    if (m_table) return m_table->GetLastError(hResult, ulFlags, lppMAPIError);
    TM_CALL("IMAPITable::GetLastError", resultName(hResult));
    return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
  }

  HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) override {
    if (m_table) return m_table->SetColumns(lpPropTagArray, ulFlags);
    TM_CALL_OBJ(this, "IMAPITable::SetColumns", "columns=" + std::to_string(lpPropTagArray ? lpPropTagArray->cValues : 0));
    if (!lpPropTagArray || lpPropTagArray->cValues == 0)
      return setError(MAPI_E_INVALID_PARAMETER, "IMAPITable::SetColumns: no columns");
    m_columns.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) override {
    if (m_table) return m_table->QueryColumns(ulFlags, lpPropTagArray);
    TM_CALL_OBJ(this, "IMAPITable::QueryColumns", "flags=" + std::to_string(ulFlags));
    if (!lpPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "IMAPITable::QueryColumns: no output");
    *lpPropTagArray = nullptr;
    std::vector<ULONG> cols = m_columns;
    if (ulFlags & TBL_ALL_COLUMNS) {
      cols.assign(std::begin(kComputed), std::end(kComputed));
      cols.insert(cols.end(), std::begin(kEnvelope), std::end(kEnvelope));
    }
    LPSPropTagArray out = nullptr;
    HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(cols.size()), reinterpret_cast<LPVOID*>(&out));
    if (FAILED(hr)) return setError(hr, "IMAPITable::QueryColumns: out of memory");
    out->cValues = static_cast<ULONG>(cols.size());
    for (size_t k = 0; k < cols.size(); ++k) out->aulPropTag[k] = cols[k];
    *lpPropTagArray = out;
    return S_OK;
  }

// Every other call is answered by the loaded table. `all` loads every
// envelope value (for calls that may test any column), `extra` the
// properties a restriction or sort order names.
#define TM_FORWARD_WITH(all, extra, call)        \
  do {                                           \
    HRESULT tm_load_ = load(all, extra);         \
    if (FAILED(tm_load_)) return tm_load_;       \
    return m_table->call;                        \
  } while (0)
#define TM_FORWARD(all, call) TM_FORWARD_WITH(all, std::vector<ULONG>(), call)

  HRESULT STDMETHODCALLTYPE Advise(ULONG a, LPMAPIADVISESINK b, ULONG* c) override { TM_FORWARD(false, Advise(a, b, c)); }
  HRESULT STDMETHODCALLTYPE Unadvise(ULONG a) override { TM_FORWARD(false, Unadvise(a)); }
  HRESULT STDMETHODCALLTYPE GetStatus(ULONG* a, ULONG* b) override { TM_FORWARD(false, GetStatus(a, b)); }
  HRESULT STDMETHODCALLTYPE GetRowCount(ULONG a, ULONG* b) override { TM_FORWARD(false, GetRowCount(a, b)); }
  HRESULT STDMETHODCALLTYPE SeekRow(BOOKMARK a, LONG b, LONG* c) override { TM_FORWARD(false, SeekRow(a, b, c)); }
  HRESULT STDMETHODCALLTYPE SeekRowApprox(ULONG a, ULONG b) override { TM_FORWARD(false, SeekRowApprox(a, b)); }
  HRESULT STDMETHODCALLTYPE QueryPosition(ULONG* a, ULONG* b, ULONG* c) override {
    TM_FORWARD(false, QueryPosition(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE FindRow(LPSRestriction a, BOOKMARK b, ULONG c) override {
    TM_FORWARD_WITH(true, restrictionTags(a), FindRow(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE Restrict(LPSRestriction a, ULONG b) override {
    TM_FORWARD_WITH(true, restrictionTags(a), Restrict(a, b));
  }
  HRESULT STDMETHODCALLTYPE CreateBookmark(BOOKMARK* a) override { TM_FORWARD(false, CreateBookmark(a)); }
  HRESULT STDMETHODCALLTYPE FreeBookmark(BOOKMARK a) override { TM_FORWARD(false, FreeBookmark(a)); }
  HRESULT STDMETHODCALLTYPE SortTable(LPSSortOrderSet a, ULONG b) override {
    TM_FORWARD_WITH(true, sortTags(a), SortTable(a, b));
  }
  HRESULT STDMETHODCALLTYPE QuerySortOrder(LPSSortOrderSet* a) override { TM_FORWARD(false, QuerySortOrder(a)); }
  HRESULT STDMETHODCALLTYPE QueryRows(LONG a, ULONG b, LPSRowSet* c) override { TM_FORWARD(false, QueryRows(a, b, c)); }
  HRESULT STDMETHODCALLTYPE Abort() override { TM_FORWARD(false, Abort()); }
  HRESULT STDMETHODCALLTYPE ExpandRow(ULONG a, LPBYTE b, ULONG c, ULONG d, LPSRowSet* e, ULONG* f) override {
    TM_FORWARD(false, ExpandRow(a, b, c, d, e, f));
  }
  HRESULT STDMETHODCALLTYPE CollapseRow(ULONG a, LPBYTE b, ULONG c, ULONG* d) override {
    TM_FORWARD(false, CollapseRow(a, b, c, d));
  }
  HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG a, ULONG b, ULONG* c) override {
    TM_FORWARD(false, WaitForCompletion(a, b, c));
  }
  HRESULT STDMETHODCALLTYPE GetCollapseState(ULONG a, ULONG b, LPBYTE c, ULONG* d, LPBYTE* e) override {
    TM_FORWARD(false, GetCollapseState(a, b, c, d, e));
  }
  HRESULT STDMETHODCALLTYPE SetCollapseState(ULONG a, ULONG b, LPBYTE c, BOOKMARK* d) override {
    TM_FORWARD(false, SetCollapseState(a, b, c, d));
  }
#undef TM_FORWARD
#undef TM_FORWARD_WITH

 private:
  ~ContentsTable() override {
    if (m_table) m_table->Release();
    m_store->Release();
  }

  // Reads the rows' values and makes the in-memory table (once).
  HRESULT load(bool all, const std::vector<ULONG>& extra) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_table) return S_OK;
    std::set<ULONG> wanted;  // stored property ids
    std::set<ULONG> computed;
    if (all) {
      for (ULONG t : kEnvelope) wanted.insert(PROP_ID(t));
      for (ULONG t : kComputed) computed.insert(PROP_ID(t));
    }
    std::vector<ULONG> asked = m_columns;
    asked.insert(asked.end(), extra.begin(), extra.end());
    for (ULONG t : asked) {
      if (isComputed(t)) computed.insert(PROP_ID(t));
      else if (!isBody(t)) wanted.insert(PROP_ID(t));
    }
    StoreDb& db = *m_store->db();
    std::vector<StoreDb::ChildRow> stored;
    if (!wanted.empty()) {
      std::vector<ULONG> ids;
      for (ULONG id : wanted) ids.push_back(PROP_TAG(PT_UNSPECIFIED, id));
      HRESULT hr = db.childRows(m_folder, MAPI_MESSAGE, ids, kRowValueLimit, stored);
      if (FAILED(hr)) return setError(hr, "The contents table could not be read: " + db.lastError());
    }
    std::string parent = computed.count(PROP_ID(PR_PARENT_ENTRYID)) ? m_store->entryIdOf(MAPI_FOLDER, m_folder) : "";
    std::vector<ULONG> wideColumns;
    for (ULONG t : m_columns)
      if (PROP_TYPE(t) == PT_UNICODE) wideColumns.push_back(t);
    std::vector<PropRow> rows;
    rows.reserve(m_ids.size());
    // Both lists are in id order: the snapshot's rows take the values of
    // the stored rows with the same id (a message deleted since has none).
    size_t s = 0;
    for (ObjectId id : m_ids) {
      while (s < stored.size() && stored[s].id < id) ++s;
      PropRow row;
      if (s < stored.size() && stored[s].id == id) row = std::move(stored[s].props);
      if (computed.count(PROP_ID(PR_ENTRYID)) || computed.count(PROP_ID(PR_RECORD_KEY))) {
        std::string eid = m_store->entryIdOf(MAPI_MESSAGE, id);
        if (computed.count(PROP_ID(PR_RECORD_KEY))) row.push_back(Prop::Binary(PR_RECORD_KEY, eid));
        if (computed.count(PROP_ID(PR_ENTRYID))) row.push_back(Prop::Binary(PR_ENTRYID, std::move(eid)));
      }
      if (computed.count(PROP_ID(PR_INSTANCE_KEY))) row.push_back(Prop::Binary(PR_INSTANCE_KEY, objectKey(id)));
      if (!parent.empty()) row.push_back(Prop::Binary(PR_PARENT_ENTRYID, parent));
      if (computed.count(PROP_ID(PR_OBJECT_TYPE))) row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_MESSAGE));
      // Strings asked for in wide form: the same value under that tag.
      for (ULONG wide : wideColumns) {
        const Prop* narrow = findProp(row, CHANGE_PROP_TYPE(wide, PT_STRING8));
        if (!narrow) continue;
        Prop w = *narrow;
        w.tag = wide;
        row.push_back(std::move(w));
      }
      rows.push_back(std::move(row));
    }
    std::vector<ULONG> cols(1, static_cast<ULONG>(m_columns.size()));
    cols.insert(cols.end(), m_columns.begin(), m_columns.end());
    HRESULT hr = createMemTable(std::move(rows), reinterpret_cast<const SPropTagArray*>(cols.data()), &m_table);
    if (FAILED(hr)) return setError(hr, "The contents table could not be made: out of memory");
    return S_OK;
  }

  std::mutex m_mu;
  MsgStore* m_store;
  ObjectId m_folder;
  std::vector<ObjectId> m_ids;
  std::vector<ULONG> m_columns;
  IMAPITable* m_table = nullptr;
};

}  // namespace

HRESULT createContentsTable(MsgStore* store, ObjectId folder, bool empty, IMAPITable** table, std::string& text) {
  *table = nullptr;
  std::vector<ObjectId> ids;
  if (!empty) {
    HRESULT hr = store->db()->children(folder, MAPI_MESSAGE, ids);
    if (FAILED(hr)) {
      text = store->db()->lastError();
      return hr;
    }
    // children() orders by position then id; messages all have position 0.
    std::sort(ids.begin(), ids.end());
  }
  *table = new ContentsTable(store, folder, std::move(ids));
  return S_OK;
}

}  // namespace tmapi
