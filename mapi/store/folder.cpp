#include "store/folder.h"

#include "runtime/memtable.h"
#include "runtime/testctl_internal.h"
#include "store/entryid.h"
#include "store/message.h"
#include "store/msgstore.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapiutil.h>
#include <mapix.h>
#include <tolvane/mapitest.h>

#include <cstring>

namespace tmapi {

namespace {

const char kComponent[] = "tolvane-mapi message store";

const ULONG kHierarchyColumns[] = {6, PR_ENTRYID, PR_INSTANCE_KEY, PR_DISPLAY_NAME_A, PR_FOLDER_TYPE,
                                   PR_CONTENT_COUNT, PR_SUBFOLDERS};
// Longest string a table row carries; longer values are PT_ERROR
// (MAPI_E_NOT_ENOUGH_MEMORY) in tables and are read from the message.
const ULONG kRowValueLimit = 64 * 1024;

std::string objectKey(ObjectId id) {
  std::string k(8, '\0');
  for (int i = 0; i < 8; ++i) k[i] = static_cast<char>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
  return k;
}

bool folderInterface(LPCIID iface) {
  return !iface || *iface == IID_IUnknown || *iface == IID_IMAPIProp || *iface == IID_IMAPIContainer ||
         *iface == IID_IMAPIFolder;
}
bool messageInterface(LPCIID iface) {
  return !iface || *iface == IID_IUnknown || *iface == IID_IMAPIProp || *iface == IID_IMessage;
}

}  // namespace

HRESULT openStoreEntry(MsgStore* store, ULONG cb, LPENTRYID eid, LPCIID iface, ULONG flags, ULONG* objType,
                       LPUNKNOWN* unk, std::string& text) {
  if (objType) *objType = 0;
  if (!unk) {
    text = "OpenEntry: no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  *unk = nullptr;
  StoreDb& db = *store->db();
  StoreDb::ReadScope reading(db);
  bool writable = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  ObjectId id = 0;
  ULONG kind = 0;
  if (cb == 0 || !eid) {
    id = db.folders().root;
    kind = MAPI_FOLDER;
  } else {
    MAPIUID uid;
    if (!parseObjectEntryId(cb, reinterpret_cast<const BYTE*>(eid), uid, kind, id)) {
      text = "OpenEntry: the entry identifier (" + std::to_string(cb) + " bytes) is not one of this store's";
      return MAPI_E_INVALID_ENTRYID;
    }
    if (memcmp(uid.ab, db.uid().ab, sizeof uid.ab) != 0) {
      text = "OpenEntry: the entry identifier belongs to another message store";
      return MAPI_E_INVALID_ENTRYID;
    }
    if (kind != MAPI_FOLDER && kind != MAPI_MESSAGE) {
      text = "OpenEntry: the entry identifier names neither a folder nor a message";
      return MAPI_E_INVALID_ENTRYID;
    }
    ULONG storedKind = 0;
    ObjectId parent = 0;
    HRESULT hr = db.objectKind(id, storedKind, parent);
    if (hr == MAPI_E_NOT_FOUND) {
      text = "OpenEntry: the object does not exist (any more) in the message store";
      return MAPI_E_NOT_FOUND;
    }
    if (FAILED(hr)) {
      text = "OpenEntry: " + db.lastError();
      return hr;
    }
    if (storedKind != kind) {
      text = "OpenEntry: the entry identifier does not match the object's kind";
      return MAPI_E_INVALID_ENTRYID;
    }
    if (kind == MAPI_MESSAGE) {
      // Only messages of folders have entry identifiers; those of
      // attachments are reached through their attachment.
      ULONG parentKind = 0;
      ObjectId grand = 0;
      hr = db.objectKind(parent, parentKind, grand);
      if (FAILED(hr) || parentKind != MAPI_FOLDER) {
        text = "OpenEntry: the object does not exist in a folder of the message store";
        return MAPI_E_NOT_FOUND;
      }
      if (!messageInterface(iface)) {
        text = "OpenEntry: a message offers no such interface";
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
      }
      MessageState st;
      st.id = id;
      *unk = static_cast<IMessage*>(MessageObj::inFolder(store, parent, std::move(st), writable));
      if (objType) *objType = MAPI_MESSAGE;
      return S_OK;
    }
  }
  if (!folderInterface(iface)) {
    text = "OpenEntry: a folder offers no such interface";
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
  }
  *unk = static_cast<IMAPIFolder*>(FolderObj::make(store, id, writable));
  if (objType) *objType = MAPI_FOLDER;
  return S_OK;
}

FolderObj::FolderObj(MsgStore* store, ObjectId id, bool writable)
    : m_store(store), m_db(store->db()), m_id(id), m_writable(writable) {
  m_store->AddRef();
}

FolderObj::~FolderObj() { m_store->Release(); }

FolderObj* FolderObj::make(MsgStore* store, ObjectId id, bool writable) { return new FolderObj(store, id, writable); }

HRESULT FolderObj::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMAPIContainer || riid == IID_IMAPIFolder) {
    AddRef();
    *ppv = static_cast<IMAPIFolder*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT FolderObj::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
  TM_CALL("IMAPIFolder::GetLastError", resultName(hResult));
  return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
}

PropRow FolderObj::computedProps() {
  StoreDb& db = *m_db;
  const MAPIUID& uid = db.uid();
  std::string eid = m_store->entryIdOf(MAPI_FOLDER, m_id);
  PropRow row = {
      Prop::Binary(PR_ENTRYID, eid),
      Prop::Binary(PR_RECORD_KEY, eid),
      Prop::Binary(PR_INSTANCE_KEY, objectKey(m_id)),
      Prop::Long(PR_OBJECT_TYPE, MAPI_FOLDER),
      Prop::Binary(PR_STORE_ENTRYID, makeStoreEntryId(uid)),
      Prop::Binary(PR_STORE_RECORD_KEY, std::string(reinterpret_cast<const char*>(uid.ab), sizeof uid.ab)),
      Prop::Long(PR_ACCESS, MAPI_ACCESS_READ | MAPI_ACCESS_MODIFY | MAPI_ACCESS_CREATE_CONTENTS |
                                MAPI_ACCESS_CREATE_HIERARCHY),
  };
  ULONG kind = 0;
  ObjectId parent = 0;
  if (SUCCEEDED(db.objectKind(m_id, kind, parent)))
    row.push_back(Prop::Binary(PR_PARENT_ENTRYID, m_store->entryIdOf(MAPI_FOLDER, parent ? parent : m_id)));
  ULONG count = 0, unread = 0, folders = 0;
  if (SUCCEEDED(db.countChildren(m_id, MAPI_MESSAGE, false, count))) row.push_back(Prop::Long(PR_CONTENT_COUNT, count));
  if (SUCCEEDED(db.countChildren(m_id, MAPI_MESSAGE, true, unread))) row.push_back(Prop::Long(PR_CONTENT_UNREAD, unread));
  if (SUCCEEDED(db.countChildren(m_id, MAPI_FOLDER, false, folders))) row.push_back(Prop::Bool(PR_SUBFOLDERS, folders > 0));
  return row;
}

HRESULT FolderObj::readOwn(ULONG tag, ULONG sizeLimit, Prop& out) {
  PropRow row;
  HRESULT hr = m_db->getProps(m_id, {tag}, sizeLimit, row);
  if (FAILED(hr)) return setError(hr, m_db->lastError());
  out = std::move(row[0]);
  return S_OK;
}

HRESULT FolderObj::ownTags(std::vector<ULONG>& tags) { return m_db->propTags(m_id, tags); }

HRESULT FolderObj::SaveChanges(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::SaveChanges", "flags=" + std::to_string(ulFlags));
  return S_OK;  // a folder's changes are stored as they are made
}

HRESULT FolderObj::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetProps", lpPropTagArray ? "count=" + std::to_string(lpPropTagArray->cValues) : "all");
  std::string text;
  HRESULT hr = getPropsFor(*this, lpPropTagArray, ulFlags, lpcValues, lppPropArray, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::" + text);
  return hr;
}

HRESULT FolderObj::GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetPropList", "");
  std::string text;
  HRESULT hr = getPropListFor(*this, ulFlags, lppPropTagArray, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::" + text);
  return hr;
}

HRESULT FolderObj::OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG, ULONG ulFlags, LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IMAPIFolder::OpenProperty", tagText(ulPropTag) + " flags=" + std::to_string(ulFlags));
  if (lppUnk) *lppUnk = nullptr;
  if (lppUnk && lpiid && *lpiid == IID_IMAPITable) {
    if (ulPropTag == PR_CONTAINER_CONTENTS) return GetContentsTable(0, reinterpret_cast<LPMAPITABLE*>(lppUnk));
    if (ulPropTag == PR_CONTAINER_HIERARCHY) return GetHierarchyTable(0, reinterpret_cast<LPMAPITABLE*>(lppUnk));
  }
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::OpenProperty: property " + tagText(ulPropTag) + " cannot be opened");
}

HRESULT FolderObj::SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMAPIFolder::SetProps", "count=" + std::to_string(cValues));
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::SetProps: the folder was opened for reading only");
  if (cValues && !lpPropArray) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::SetProps: no values");
  PropRow computed = computedProps();
  PropRow row;
  std::vector<SPropProblem> probs;
  for (ULONG k = 0; k < cValues; ++k) {
    ULONG tag = lpPropArray[k].ulPropTag;
    Prop p;
    if (findProp(computed, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED))) {
      probs.push_back(SPropProblem{k, tag, MAPI_E_COMPUTED});
    } else if (PROP_TYPE(tag) == PT_ERROR || PROP_TYPE(tag) == PT_OBJECT || !Prop::fromMAPI(lpPropArray[k], p)) {
      probs.push_back(SPropProblem{k, tag, MAPI_E_INVALID_TYPE});
    } else {
      row.push_back(std::move(p));
    }
  }
  HRESULT hr = m_db->setProps(m_id, row);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::SetProps: " + m_db->lastError());
  hr = makeProblems(probs, lppProblems);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::SetProps: out of memory");
  return S_OK;
}

HRESULT FolderObj::DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMAPIFolder::DeleteProps", "");
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::DeleteProps: the folder was opened for reading only");
  if (!lpPropTagArray) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::DeleteProps: no tags");
  std::vector<ULONG> tags(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
  HRESULT hr = m_db->deleteProps(m_id, tags);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::DeleteProps: " + m_db->lastError());
  return S_OK;
}

HRESULT FolderObj::CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                          LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMAPIFolder::CopyTo", "");
  if (lppProblems) *lppProblems = nullptr;
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::CopyTo: folders cannot be copied");
}

HRESULT FolderObj::CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                             LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMAPIFolder::CopyProps", "");
  if (lppProblems) *lppProblems = nullptr;
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::CopyProps: folders cannot be copied");
}

HRESULT FolderObj::GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                   ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetNamesFromIDs", "");
  std::string text;
  HRESULT hr = namesFromIds(*m_db, lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::" + text);
  return hr;
}

HRESULT FolderObj::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                   LPSPropTagArray* lppPropTags) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetIDsFromNames", "count=" + std::to_string(cPropNames));
  std::string text;
  HRESULT hr = idsFromNames(*m_db, cPropNames, lppPropNames, ulFlags, lppPropTags, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::" + text);
  return hr;
}

HRESULT FolderObj::GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetContentsTable", "flags=" + std::to_string(ulFlags));
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::GetContentsTable: no output");
  *lppTable = nullptr;
  if (ulFlags & MAPI_UNICODE)
    return setError(MAPI_E_BAD_CHARWIDTH, "IMAPIFolder::GetContentsTable: Unicode strings are not offered");
  // No folder-associated messages are kept: that table is empty.
  std::string text;
  HRESULT hr = createContentsTable(m_store, m_id, (ulFlags & MAPI_ASSOCIATED) != 0, lppTable, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetContentsTable: " + text);
  return S_OK;
}

HRESULT FolderObj::GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetHierarchyTable", "flags=" + std::to_string(ulFlags));
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::GetHierarchyTable: no output");
  *lppTable = nullptr;
  if (ulFlags & MAPI_UNICODE)
    return setError(MAPI_E_BAD_CHARWIDTH, "IMAPIFolder::GetHierarchyTable: Unicode strings are not offered");
  std::vector<StoreDb::ChildRow> stored;
  HRESULT hr = m_db->childRows(m_id, MAPI_FOLDER, {}, kRowValueLimit, stored);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetHierarchyTable: " + m_db->lastError());
  std::vector<PropRow> rows;
  std::string parent = m_store->entryIdOf(MAPI_FOLDER, m_id);
  for (auto& s : stored) {
    PropRow row = std::move(s.props);
    ULONG count = 0, unread = 0, folders = 0;
    hr = m_db->countChildren(s.id, MAPI_MESSAGE, false, count);
    if (SUCCEEDED(hr)) hr = m_db->countChildren(s.id, MAPI_MESSAGE, true, unread);
    if (SUCCEEDED(hr)) hr = m_db->countChildren(s.id, MAPI_FOLDER, false, folders);
    if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetHierarchyTable: " + m_db->lastError());
    std::string eid = m_store->entryIdOf(MAPI_FOLDER, s.id);
    row.push_back(Prop::Binary(PR_ENTRYID, eid));
    row.push_back(Prop::Binary(PR_RECORD_KEY, eid));
    row.push_back(Prop::Binary(PR_INSTANCE_KEY, objectKey(s.id)));
    row.push_back(Prop::Binary(PR_PARENT_ENTRYID, parent));
    row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_FOLDER));
    row.push_back(Prop::Long(PR_DEPTH, 0));
    row.push_back(Prop::Long(PR_CONTENT_COUNT, count));
    row.push_back(Prop::Long(PR_CONTENT_UNREAD, unread));
    row.push_back(Prop::Bool(PR_SUBFOLDERS, folders > 0));
    rows.push_back(std::move(row));
  }
  hr = createMemTable(std::move(rows), reinterpret_cast<const SPropTagArray*>(kHierarchyColumns), lppTable);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetHierarchyTable: the table could not be made");
  return S_OK;
}

HRESULT FolderObj::OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                             ULONG* lpulObjType, LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IMAPIFolder::OpenEntry", "cb=" + std::to_string(cbEntryID) + " flags=" + std::to_string(ulFlags));
  if (cbEntryID == 0 || !lpEntryID) {
    // No identifier: the folder itself.
    if (lpulObjType) *lpulObjType = 0;
    if (!lppUnk) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::OpenEntry: no output");
    if (!folderInterface(lpInterface))
      return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMAPIFolder::OpenEntry: a folder offers no such interface");
    *lppUnk = static_cast<IMAPIFolder*>(make(m_store, m_id, (ulFlags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0));
    if (lpulObjType) *lpulObjType = MAPI_FOLDER;
    return S_OK;
  }
  std::string text;
  HRESULT hr = openStoreEntry(m_store, cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::" + text);
  return S_OK;
}

HRESULT FolderObj::SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) {
  TM_CALL_OBJ(this, "IMAPIFolder::SetSearchCriteria", "");
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::SetSearchCriteria: search folders are not offered");
}

HRESULT FolderObj::GetSearchCriteria(ULONG, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList,
                                     ULONG* lpulSearchState) {
  if (lppRestriction) *lppRestriction = nullptr;
  if (lppContainerList) *lppContainerList = nullptr;
  if (lpulSearchState) *lpulSearchState = 0;
  TM_CALL_OBJ(this, "IMAPIFolder::GetSearchCriteria", "");
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::GetSearchCriteria: search folders are not offered");
}

HRESULT FolderObj::CreateMessage(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) {
  TM_CALL_OBJ(this, "IMAPIFolder::CreateMessage", "flags=" + std::to_string(ulFlags));
  if (!lppMessage) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::CreateMessage: no output");
  *lppMessage = nullptr;
  if (!messageInterface(lpInterface))
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMAPIFolder::CreateMessage: a message offers no such interface");
  if (ulFlags & MAPI_ASSOCIATED)
    return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::CreateMessage: folder-associated messages are not offered");
  *lppMessage = MessageObj::inFolder(m_store, m_id, MessageState(), true);
  return S_OK;
}

HRESULT FolderObj::CopyMessages(LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG, LPMAPIPROGRESS,
                                ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::CopyMessages",
              "count=" + std::to_string(lpMsgList ? lpMsgList->cValues : 0) + " flags=" + std::to_string(ulFlags));
  if (!lpDestFolder) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::CopyMessages: no destination folder");
  if (lpInterface && *lpInterface != IID_IMAPIFolder && *lpInterface != IID_IMAPIContainer)
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMAPIFolder::CopyMessages: the destination must be a folder");
  bool move = (ulFlags & MESSAGE_MOVE) != 0;
  if (move && !m_writable)
    return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::CopyMessages: the folder was opened for reading only");
  std::vector<ObjectId> ids;
  bool partial = false;
  std::string text;
  HRESULT hr = listedMessages(lpMsgList, ids, partial, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::CopyMessages: " + text);
  IMAPIFolder* dest = static_cast<IMAPIFolder*>(lpDestFolder);

  // A folder of this store: a move only changes the messages' folder.
  ObjectId destId = 0;
  LPSPropValue eid = nullptr;
  if (SUCCEEDED(HrGetOneProp(dest, PR_ENTRYID, &eid))) {
    MAPIUID uid;
    ULONG kind = 0;
    ObjectId id = 0;
    if (parseObjectEntryId(eid->Value.bin.cb, eid->Value.bin.lpb, uid, kind, id) && kind == MAPI_FOLDER &&
        memcmp(uid.ab, m_db->uid().ab, sizeof uid.ab) == 0)
      destId = id;
    MAPIFreeBuffer(eid);
  }
  StoreDb& db = *m_db;
  if (move && destId) {
    hr = db.begin();
    for (size_t k = 0; SUCCEEDED(hr) && k < ids.size(); ++k) hr = db.moveObject(ids[k], destId);
    if (SUCCEEDED(hr)) hr = db.commit();
    if (FAILED(hr)) {
      text = db.lastError();
      db.rollback();
      return setError(hr, "IMAPIFolder::CopyMessages: nothing was moved: " + text);
    }
    return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }
  // Otherwise each message is copied through the destination's interface;
  // a move then deletes the originals, all in one transaction.
  for (ObjectId id : ids) {
    MessageState st;
    st.id = id;
    MessageObj* src = MessageObj::inFolder(m_store, m_id, std::move(st), false);
    IMessage* copy = nullptr;
    hr = dest->CreateMessage(nullptr, 0, &copy);
    if (SUCCEEDED(hr)) {
      hr = copyMessage(src, copy, nullptr, text);
      if (SUCCEEDED(hr)) {
        hr = copy->SaveChanges(0);
        if (FAILED(hr)) text = "the destination could not save the copy";
      }
      copy->Release();
    } else {
      text = "the destination could not create a message";
    }
    src->Release();
    if (FAILED(hr)) return setError(hr, "IMAPIFolder::CopyMessages: " + text);
  }
  if (move) {
    hr = db.begin();
    for (size_t k = 0; SUCCEEDED(hr) && k < ids.size(); ++k) hr = db.deleteObject(ids[k]);
    if (SUCCEEDED(hr)) hr = db.commit();
    if (FAILED(hr)) {
      text = db.lastError();
      db.rollback();
      return setError(hr, "IMAPIFolder::CopyMessages: the messages were copied but not deleted here: " + text);
    }
  }
  return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
}

HRESULT FolderObj::messageIn(ULONG cb, const BYTE* eid, ObjectId& id, std::string& text) {
  MAPIUID uid;
  ULONG kind = 0;
  if (!parseObjectEntryId(cb, eid, uid, kind, id) || kind != MAPI_MESSAGE) {
    text = "the entry identifier (" + std::to_string(cb) + " bytes) is not a message's of this store";
    return MAPI_E_INVALID_ENTRYID;
  }
  if (memcmp(uid.ab, m_db->uid().ab, sizeof uid.ab) != 0) {
    text = "the entry identifier belongs to another message store";
    return MAPI_E_INVALID_ENTRYID;
  }
  ULONG storedKind = 0;
  ObjectId parent = 0;
  HRESULT hr = m_db->objectKind(id, storedKind, parent);
  if (hr == MAPI_E_NOT_FOUND || (SUCCEEDED(hr) && (storedKind != MAPI_MESSAGE || parent != m_id))) {
    text = "the message is not in this folder";
    return MAPI_E_NOT_FOUND;
  }
  if (FAILED(hr)) text = m_db->lastError();
  return hr;
}

HRESULT FolderObj::listedMessages(LPENTRYLIST list, std::vector<ObjectId>& ids, bool& partial, std::string& text) {
  ids.clear();
  partial = false;
  if (!list) {
    text = "no entry list";
    return MAPI_E_INVALID_PARAMETER;
  }
  if (list->cValues && !list->lpbin) {
    text = "the entry list has no entries";
    return MAPI_E_INVALID_PARAMETER;
  }
  // Every identifier is checked before anything changes.
  for (ULONG k = 0; k < list->cValues; ++k) {
    const SBinary& b = list->lpbin[k];
    if (b.cb && !b.lpb) {
      text = "entry " + std::to_string(k) + " of the list has no bytes";
      return MAPI_E_INVALID_PARAMETER;
    }
    ObjectId id = 0;
    std::string why;
    HRESULT hr = messageIn(b.cb, b.lpb, id, why);
    if (hr == MAPI_E_NOT_FOUND) {
      partial = true;
      continue;
    }
    if (FAILED(hr)) {
      text = "entry " + std::to_string(k) + " of the list: " + why;
      return hr;
    }
    ids.push_back(id);
  }
  return S_OK;
}

HRESULT FolderObj::DeleteMessages(LPENTRYLIST lpMsgList, ULONG, LPMAPIPROGRESS, ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::DeleteMessages",
              "count=" + std::to_string(lpMsgList ? lpMsgList->cValues : 0) + " flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::DeleteMessages: the folder was opened for reading only");
  std::vector<ObjectId> ids;
  bool partial = false;
  std::string text;
  HRESULT hr = listedMessages(lpMsgList, ids, partial, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::DeleteMessages: " + text);
  StoreDb& db = *m_db;
  hr = db.begin();
  for (size_t k = 0; SUCCEEDED(hr) && k < ids.size(); ++k) {
    hr = db.deleteObject(ids[k]);
    if (hr == MAPI_E_NOT_FOUND) {  // listed twice
      hr = S_OK;
      partial = true;
    }
  }
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::DeleteMessages: nothing was deleted: " + text);
  }
  return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
}

HRESULT FolderObj::CreateFolder(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment, LPCIID lpInterface,
                                ULONG ulFlags, LPMAPIFOLDER* lppFolder) {
  const char* name = reinterpret_cast<const char*>(lpszFolderName);
  TM_CALL_OBJ(this, "IMAPIFolder::CreateFolder", std::string("name=") + (name ? name : "(null)"));
  if (!lppFolder) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::CreateFolder: no output");
  *lppFolder = nullptr;
  if (ulFlags & MAPI_UNICODE) return setError(MAPI_E_BAD_CHARWIDTH, "IMAPIFolder::CreateFolder: Unicode names are not offered");
  if (!name || !*name) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::CreateFolder: the folder needs a name");
  if (ulFolderType != FOLDER_GENERIC)
    return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::CreateFolder: only generic folders can be made");
  if (!folderInterface(lpInterface))
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMAPIFolder::CreateFolder: a folder offers no such interface");
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::CreateFolder: the folder was opened for reading only");
  StoreDb& db = *m_db;
  HRESULT hr = db.begin();
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::CreateFolder: " + db.lastError());
  std::vector<StoreDb::ChildRow> children;
  hr = db.childRows(m_id, MAPI_FOLDER, {PR_DISPLAY_NAME_A}, kRowValueLimit, children);
  ObjectId id = 0;
  for (const auto& c : children) {
    const Prop* n = findProp(c.props, PR_DISPLAY_NAME_A);
    if (n && n->bytes == name) id = c.id;
  }
  if (SUCCEEDED(hr) && id && !(ulFlags & OPEN_IF_EXISTS)) {
    db.rollback();
    return setError(MAPI_E_COLLISION, std::string("IMAPIFolder::CreateFolder: a folder named '") + name + "' exists");
  }
  if (SUCCEEDED(hr) && !id) {
    hr = db.createObject(MAPI_FOLDER, m_id, 0, id);
    PropRow props = {Prop::String(PR_DISPLAY_NAME_A, name), Prop::Long(PR_FOLDER_TYPE, FOLDER_GENERIC)};
    if (lpszFolderComment && *reinterpret_cast<const char*>(lpszFolderComment))
      props.push_back(Prop::String(PR_COMMENT_A, reinterpret_cast<const char*>(lpszFolderComment)));
    if (SUCCEEDED(hr)) hr = db.setProps(id, props);
  }
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    std::string text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::CreateFolder: " + text);
  }
  *lppFolder = make(m_store, id, true);
  return S_OK;
}

HRESULT FolderObj::CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG, LPMAPIPROGRESS, ULONG) {
  TM_CALL_OBJ(this, "IMAPIFolder::CopyFolder", "");
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::CopyFolder: copying and moving folders is not offered");
}

HRESULT FolderObj::DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG, LPMAPIPROGRESS, ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::DeleteFolder", "cb=" + std::to_string(cbEntryID) + " flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::DeleteFolder: the folder was opened for reading only");
  MAPIUID uid;
  ULONG kind = 0;
  ObjectId id = 0;
  if (!parseObjectEntryId(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), uid, kind, id) || kind != MAPI_FOLDER ||
      memcmp(uid.ab, m_db->uid().ab, sizeof uid.ab) != 0)
    return setError(MAPI_E_INVALID_ENTRYID, "IMAPIFolder::DeleteFolder: the entry identifier is not a folder's of this store");
  const StoreFolders& f = m_db->folders();
  if (id == f.root || id == f.ipmSubtree || id == f.inbox || id == f.outbox || id == f.sentItems ||
      id == f.deletedItems || id == f.drafts)
    return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::DeleteFolder: the store's standard folders cannot be deleted");
  StoreDb& db = *m_db;
  HRESULT hr = db.begin();
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::DeleteFolder: " + db.lastError());
  ULONG storedKind = 0, messages = 0, folders = 0;
  ObjectId parent = 0;
  hr = db.objectKind(id, storedKind, parent);
  std::string text;
  if (hr == MAPI_E_NOT_FOUND || (SUCCEEDED(hr) && (storedKind != MAPI_FOLDER || parent != m_id))) {
    hr = MAPI_E_NOT_FOUND;
    text = "the folder is not a subfolder of this one";
  }
  if (SUCCEEDED(hr)) hr = db.countChildren(id, MAPI_MESSAGE, false, messages);
  if (SUCCEEDED(hr)) hr = db.countChildren(id, MAPI_FOLDER, false, folders);
  if (SUCCEEDED(hr) && messages && !(ulFlags & DEL_MESSAGES)) {
    hr = MAPI_E_HAS_MESSAGES;
    text = "the folder holds messages (DEL_MESSAGES deletes them)";
  }
  if (SUCCEEDED(hr) && folders && !(ulFlags & DEL_FOLDERS)) {
    hr = MAPI_E_HAS_FOLDERS;
    text = "the folder holds folders (DEL_FOLDERS deletes them)";
  }
  // Everything below the folder goes with it.
  if (SUCCEEDED(hr)) hr = db.deleteObject(id);
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    if (text.empty()) text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::DeleteFolder: " + text);
  }
  return S_OK;
}

HRESULT FolderObj::SetReadFlags(LPENTRYLIST lpMsgList, ULONG, LPMAPIPROGRESS, ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::SetReadFlags",
              "count=" + std::to_string(lpMsgList ? lpMsgList->cValues : 0) + " flags=" + std::to_string(ulFlags));
  if (ulFlags & GENERATE_RECEIPT_ONLY) return S_OK;
  std::vector<ObjectId> ids;
  bool partial = false;
  std::string text;
  HRESULT hr = S_OK;
  if (lpMsgList) {
    hr = listedMessages(lpMsgList, ids, partial, text);
    if (FAILED(hr)) return setError(hr, "IMAPIFolder::SetReadFlags: " + text);
  } else {
    // No list: every message of the folder.
    hr = m_db->children(m_id, MAPI_MESSAGE, ids);
    if (FAILED(hr)) return setError(hr, "IMAPIFolder::SetReadFlags: " + m_db->lastError());
  }
  bool clear = (ulFlags & CLEAR_READ_FLAG) != 0;
  StoreDb& db = *m_db;
  hr = db.begin();
  for (size_t k = 0; SUCCEEDED(hr) && k < ids.size(); ++k) {
    PropRow cur;
    hr = db.getProps(ids[k], {PR_MESSAGE_FLAGS}, 0, cur);
    if (FAILED(hr)) break;
    int64_t f = PROP_TYPE(cur[0].tag) == PT_LONG ? cur[0].i : 0;
    f = clear ? (f & ~static_cast<int64_t>(MSGFLAG_READ)) : (f | MSGFLAG_READ);
    hr = db.setProps(ids[k], {Prop::Long(PR_MESSAGE_FLAGS, static_cast<LONG>(f))});
  }
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::SetReadFlags: nothing was changed: " + text);
  }
  return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
}

HRESULT FolderObj::GetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags, ULONG* lpulMessageStatus) {
  TM_CALL_OBJ(this, "IMAPIFolder::GetMessageStatus", "flags=" + std::to_string(ulFlags));
  if (!lpulMessageStatus) return setError(MAPI_E_INVALID_PARAMETER, "IMAPIFolder::GetMessageStatus: no output");
  *lpulMessageStatus = 0;
  ObjectId id = 0;
  std::string text;
  HRESULT hr = messageIn(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), id, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetMessageStatus: " + text);
  PropRow cur;
  hr = m_db->getProps(id, {PR_MSG_STATUS}, 0, cur);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::GetMessageStatus: " + m_db->lastError());
  if (PROP_TYPE(cur[0].tag) == PT_LONG) *lpulMessageStatus = static_cast<ULONG>(cur[0].i);
  return S_OK;
}

HRESULT FolderObj::SetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus, ULONG ulNewStatusMask,
                                    ULONG* lpulOldStatus) {
  TM_CALL_OBJ(this, "IMAPIFolder::SetMessageStatus", "status=" + std::to_string(ulNewStatus));
  if (lpulOldStatus) *lpulOldStatus = 0;
  ObjectId id = 0;
  std::string text;
  HRESULT hr = messageIn(cbEntryID, reinterpret_cast<const BYTE*>(lpEntryID), id, text);
  if (FAILED(hr)) return setError(hr, "IMAPIFolder::SetMessageStatus: " + text);
  StoreDb& db = *m_db;
  hr = db.begin();
  PropRow cur;
  if (SUCCEEDED(hr)) hr = db.getProps(id, {PR_MSG_STATUS}, 0, cur);
  ULONG old = 0;
  if (SUCCEEDED(hr)) {
    old = PROP_TYPE(cur[0].tag) == PT_LONG ? static_cast<ULONG>(cur[0].i) : 0;
    ULONG now = (old & ~ulNewStatusMask) | (ulNewStatus & ulNewStatusMask);
    hr = db.setProps(id, {Prop::Long(PR_MSG_STATUS, static_cast<LONG>(now))});
  }
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::SetMessageStatus: " + text);
  }
  if (lpulOldStatus) *lpulOldStatus = old;
  return S_OK;
}

HRESULT FolderObj::SaveContentsSort(LPSSortOrderSet, ULONG) {
  TM_CALL_OBJ(this, "IMAPIFolder::SaveContentsSort", "");
  return setError(MAPI_E_NO_SUPPORT, "IMAPIFolder::SaveContentsSort: a default sort order is not kept");
}

HRESULT FolderObj::EmptyFolder(ULONG, LPMAPIPROGRESS, ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMAPIFolder::EmptyFolder", "flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMAPIFolder::EmptyFolder: the folder was opened for reading only");
  std::vector<ObjectId> ids;
  StoreDb& db = *m_db;
  HRESULT hr = db.begin();
  if (SUCCEEDED(hr)) hr = db.children(m_id, MAPI_MESSAGE, ids);
  for (size_t k = 0; SUCCEEDED(hr) && k < ids.size(); ++k) hr = db.deleteObject(ids[k]);
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    std::string text = db.lastError();
    db.rollback();
    return setError(hr, "IMAPIFolder::EmptyFolder: nothing was deleted: " + text);
  }
  return S_OK;
}

}  // namespace tmapi
