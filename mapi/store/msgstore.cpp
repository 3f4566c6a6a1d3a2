#include "store/msgstore.h"

#include "store/engines.h"

#include "runtime/testctl_internal.h"
#include "store/entryid.h"
#include "store/folder.h"
#include "store/message.h"

#include <tolvane/batch.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapix.h>

#include <cstring>

namespace tmapi {

namespace {
const char* const kComponent = "tolvane-mapi message store";
// STORE_HTML_OK of later SDKs: the store keeps PR_BODY_HTML.
const LONG kStoreHtmlOk = 0x00010000;

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

HRESULT copyEntryId(const std::string& id, ULONG* cb, LPENTRYID* out) {
  LPVOID buf = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &buf);
  if (FAILED(hr)) return hr;
  memcpy(buf, id.data(), id.size());
  *cb = static_cast<ULONG>(id.size());
  *out = static_cast<LPENTRYID>(buf);
  return S_OK;
}
}  // namespace

HRESULT MsgStore::open(const std::string& path, const MAPIUID& uid, const std::string& ownerName,
                       const std::string& ownerAddress, MsgStore** store, std::string& error) {
  *store = nullptr;
  StoreDb* raw = nullptr;
  HRESULT hr = StoreDb::open(path, &raw, error);
  if (FAILED(hr)) return hr;
  std::shared_ptr<StoreDb> db(raw);
  if (memcmp(db->uid().ab, uid.ab, sizeof uid.ab) != 0) {
    error = "The place " + storeEngineFor(path).shown(path) + " holds another message store than the profile names";
    return MAPI_E_INVALID_ENTRYID;
  }
  MsgStore* s = new MsgStore;
  s->m_db = std::move(db);
  s->m_ownerName = ownerName;
  s->m_ownerAddress = ownerAddress;
  *store = s;
  return S_OK;
}

std::string MsgStore::entryIdOf(ULONG kind, ObjectId id) const { return makeObjectEntryId(m_db->uid(), kind, id); }

PropRow MsgStore::storeProps() const {
  const StoreFolders& f = m_db->folders();
  std::string storeEid = makeStoreEntryId(m_db->uid());
  std::string uid(reinterpret_cast<const char*>(m_db->uid().ab), 16);
  PropRow row = {
      Prop::Binary(PR_ENTRYID, storeEid),
      Prop::Binary(PR_RECORD_KEY, uid),
      Prop::Binary(PR_STORE_RECORD_KEY, uid),
      Prop::Binary(PR_MDB_PROVIDER, std::string(reinterpret_cast<const char*>(kStoreProviderUid.ab), 16)),
      Prop::Long(PR_OBJECT_TYPE, MAPI_STORE),
      Prop::String(PR_DISPLAY_NAME_A, m_db->displayName()),
      Prop::Long(PR_STORE_SUPPORT_MASK, STORE_ENTRYID_UNIQUE | STORE_ATTACH_OK | STORE_MODIFY_OK |
                                            STORE_CREATE_OK | STORE_SUBMIT_OK | kStoreHtmlOk),
      Prop::Long(PR_STORE_STATE, 0),
      Prop::Long(PR_VALID_FOLDER_MASK, FOLDER_IPM_SUBTREE_VALID | FOLDER_IPM_INBOX_VALID |
                                           FOLDER_IPM_OUTBOX_VALID | FOLDER_IPM_WASTEBASKET_VALID |
                                           FOLDER_IPM_SENTMAIL_VALID),
      Prop::Binary(PR_IPM_SUBTREE_ENTRYID, entryIdOf(MAPI_FOLDER, f.ipmSubtree)),
      Prop::Binary(PR_IPM_OUTBOX_ENTRYID, entryIdOf(MAPI_FOLDER, f.outbox)),
      Prop::Binary(PR_IPM_SENTMAIL_ENTRYID, entryIdOf(MAPI_FOLDER, f.sentItems)),
  };
  if (f.deletedItems) row.push_back(Prop::Binary(PR_IPM_WASTEBASKET_ENTRYID, entryIdOf(MAPI_FOLDER, f.deletedItems)));
  return row;
}

HRESULT MsgStore::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMsgStore) {
    AddRef();
    *ppv = static_cast<IMsgStore*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT MsgStore::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
  TM_CALL("IMsgStore::GetLastError", "");
  return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
}

HRESULT MsgStore::SaveChanges(ULONG) {
  TM_CALL_OBJ(this, "IMsgStore::SaveChanges", "");
  return S_OK;
}

HRESULT MsgStore::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                           LPSPropValue* lppPropArray) {
  TM_CALL_OBJ(this, "IMsgStore::GetProps", "");
  if (!lpcValues || !lppPropArray) return setError(MAPI_E_INVALID_PARAMETER, "GetProps: no output");
  if (ulFlags & MAPI_UNICODE) return setError(MAPI_E_BAD_CHARWIDTH, "GetProps: Unicode strings are not offered");
  PropRow row = storeProps();
  HRESULT hr = rowToMAPI(row, lpPropTagArray, lpcValues, lppPropArray);
  if (FAILED(hr)) return setError(hr, "GetProps: out of memory");
  for (ULONG i = 0; i < *lpcValues; ++i)
    if (PROP_TYPE((*lppPropArray)[i].ulPropTag) == PT_ERROR) return MAPI_W_ERRORS_RETURNED;
  return S_OK;
}

HRESULT MsgStore::GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) {
  TM_CALL_OBJ(this, "IMsgStore::GetPropList", "");
  if (!lppPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "GetPropList: no output");
  if (ulFlags & MAPI_UNICODE) return setError(MAPI_E_BAD_CHARWIDTH, "GetPropList: Unicode strings are not offered");
  PropRow row = storeProps();
  LPSPropTagArray tags = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(row.size()), reinterpret_cast<LPVOID*>(&tags));
  if (FAILED(hr)) return setError(hr, "GetPropList: out of memory");
  tags->cValues = static_cast<ULONG>(row.size());
  for (size_t i = 0; i < row.size(); ++i) tags->aulPropTag[i] = row[i].tag;
  *lppPropTagArray = tags;
  return S_OK;
}

HRESULT MsgStore::OpenProperty(ULONG ulPropTag, LPCIID, ULONG, ULONG, LPUNKNOWN*) {
  TM_CALL_OBJ(this, "IMsgStore::OpenProperty", hexTag(ulPropTag));
  return setError(MAPI_E_NO_SUPPORT, "The message store has no property to open as an object");
}

HRESULT MsgStore::SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) {
  TM_CALL_OBJ(this, "IMsgStore::SetProps", "");
  return setError(MAPI_E_NO_ACCESS, "The properties of the message store are computed and cannot be set");
}

HRESULT MsgStore::DeleteProps(LPSPropTagArray, LPSPropProblemArray*) {
  TM_CALL_OBJ(this, "IMsgStore::DeleteProps", "");
  return setError(MAPI_E_NO_ACCESS, "The properties of the message store are computed and cannot be deleted");
}

HRESULT MsgStore::CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray*) {
  return setError(MAPI_E_NO_SUPPORT, "A message store cannot be copied");
}

HRESULT MsgStore::CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray*) {
  return setError(MAPI_E_NO_SUPPORT, "The properties of a message store cannot be copied");
}

HRESULT MsgStore::GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                  ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) {
  TM_CALL_OBJ(this, "IMsgStore::GetNamesFromIDs", "");
  std::string text;
  HRESULT hr = namesFromIds(*m_db, lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames, text);
  if (FAILED(hr)) return setError(hr, "IMsgStore::" + text);
  return hr;
}

HRESULT MsgStore::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                  LPSPropTagArray* lppPropTags) {
  TM_CALL_OBJ(this, "IMsgStore::GetIDsFromNames", "count=" + std::to_string(cPropNames));
  std::string text;
  HRESULT hr = idsFromNames(*m_db, cPropNames, lppPropNames, ulFlags, lppPropTags, text);
  if (FAILED(hr)) return setError(hr, "IMsgStore::" + text);
  return hr;
}

HRESULT MsgStore::Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) {
  return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered");
}

HRESULT MsgStore::Unadvise(ULONG) { return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered"); }

HRESULT MsgStore::CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG, ULONG* lpulResult) {
  TM_CALL_OBJ(this, "IMsgStore::CompareEntryIDs", "");
  if (!lpulResult) return setError(MAPI_E_INVALID_PARAMETER, "CompareEntryIDs: no output");
  *lpulResult = (cb1 == cb2 && id1 && id2 && memcmp(id1, id2, cb1) == 0) ? TRUE : FALSE;
  return S_OK;
}

HRESULT MsgStore::OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IMsgStore::OpenEntry", "cb=" + std::to_string(cbEntryID) + " flags=" + hexTag(ulFlags));
  std::string text;
  HRESULT hr = openStoreEntry(this, cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk, text);
  if (FAILED(hr)) return setError(hr, "IMsgStore::" + text);
  return S_OK;
}

HRESULT MsgStore::SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) {
  return setError(MAPI_E_NO_SUPPORT, "The receive folder is always the Inbox");
}

HRESULT MsgStore::GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                                   LPTSTR* lppszExplicitClass) {
  TM_CALL_OBJ(this, "IMsgStore::GetReceiveFolder",
              std::string("class=") + (lpszMessageClass ? reinterpret_cast<const char*>(lpszMessageClass) : "(null)"));
  if (!lpcbEntryID || !lppEntryID) return setError(MAPI_E_INVALID_PARAMETER, "GetReceiveFolder: no output");
  if (ulFlags & MAPI_UNICODE) return setError(MAPI_E_BAD_CHARWIDTH, "GetReceiveFolder: Unicode strings are not offered");
  *lpcbEntryID = 0;
  *lppEntryID = nullptr;
  if (lppszExplicitClass) *lppszExplicitClass = nullptr;
  // Every message class is received in the Inbox.
  HRESULT hr = copyEntryId(entryIdOf(MAPI_FOLDER, m_db->folders().inbox), lpcbEntryID, lppEntryID);
  if (FAILED(hr)) return setError(hr, "GetReceiveFolder: out of memory");
  if (lppszExplicitClass) {
    LPVOID cls = nullptr;
    hr = MAPIAllocateBuffer(1, &cls);
    if (FAILED(hr)) {
      MAPIFreeBuffer(*lppEntryID);
      *lppEntryID = nullptr;
      *lpcbEntryID = 0;
      return setError(hr, "GetReceiveFolder: out of memory");
    }
    static_cast<char*>(cls)[0] = '\0';
    *lppszExplicitClass = static_cast<LPTSTR>(cls);
  }
  return S_OK;
}

HRESULT MsgStore::GetReceiveFolderTable(ULONG, LPMAPITABLE*) {
  return setError(MAPI_E_NO_SUPPORT, "The receive folder table is not offered");
}

HRESULT MsgStore::StoreLogoff(ULONG* lpulFlags) {
  TM_CALL_OBJ(this, "IMsgStore::StoreLogoff", "");
  if (lpulFlags) *lpulFlags = 0;
  return S_OK;
}

HRESULT MsgStore::AbortSubmit(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG) {
  TM_CALL_OBJ(this, "IMsgStore::AbortSubmit", "cb=" + std::to_string(cbEntryID));
  MAPIUID uid;
  ULONG kind = 0;
  ObjectId id = 0;
  if (!lpEntryID || !parseObjectEntryId(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), uid, kind, id) ||
      kind != MAPI_MESSAGE || memcmp(uid.ab, m_db->uid().ab, sizeof uid.ab) != 0)
    return setError(MAPI_E_INVALID_ENTRYID, "AbortSubmit: the entry identifier names no message of this store");
  HRESULT hr = m_db->abortQueued(id, StoreDb::LeaseTime::now());
  if (FAILED(hr)) return setError(hr, "AbortSubmit: " + m_db->lastError());
  return S_OK;
}

HRESULT MsgStore::GetOutgoingQueue(ULONG, LPMAPITABLE*) {
  return setError(MAPI_E_NO_SUPPORT, "Submission is not offered by this store yet");
}

HRESULT MsgStore::SetLockState(LPMESSAGE, ULONG) {
  return setError(MAPI_E_NO_SUPPORT, "Submission is not offered by this store yet");
}

HRESULT MsgStore::FinishedMsg(ULONG, ULONG, LPENTRYID) {
  return setError(MAPI_E_NO_SUPPORT, "Submission is not offered by this store yet");
}

HRESULT MsgStore::NotifyNewMail(LPNOTIFICATION) { return setError(MAPI_E_NO_SUPPORT, "Notifications are not offered"); }

}  // namespace tmapi

namespace mapibatch {

namespace {
tmapi::StoreDb* storeDbOf(LPMDB store) {
  auto* ours = dynamic_cast<tmapi::MsgStore*>(store);
  return ours ? ours->db().get() : nullptr;
}
}  // namespace

HRESULT begin(LPMDB store, std::string& error) {
  tmapi::StoreDb* db = storeDbOf(store);
  if (!db) {
    error = "The store is not a store of this MAPI subsystem";
    return MAPI_E_INVALID_PARAMETER;
  }
  HRESULT hr = db->begin();
  if (FAILED(hr)) error = db->lastError();
  return hr;
}

bool active(LPMDB store) {
  tmapi::StoreDb* db = storeDbOf(store);
  return db && db->inTransaction();
}

HRESULT commit(LPMDB store, std::string& error) {
  tmapi::StoreDb* db = storeDbOf(store);
  if (!db || !db->inTransaction()) {
    error = "No transaction of the store is open";
    return MAPI_E_CALL_FAILED;
  }
  HRESULT hr = db->commit();
  if (FAILED(hr)) error = db->lastError();
  return hr;
}

void rollback(LPMDB store) {
  tmapi::StoreDb* db = storeDbOf(store);
  if (db && db->inTransaction()) db->rollback();
}

}  // namespace mapibatch
