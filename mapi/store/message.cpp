#include "store/message.h"

#include "runtime/memtable.h"
#include "runtime/testctl_internal.h"
#include "store/entryid.h"
#include "store/msgstore.h"
#include "store/stream.h"
#include "spool/background.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapiutil.h>
#include <mapix.h>
#include <tolvane/deliverykey.h>
#include <tolvane/mapitest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tmapi {

namespace {

const char kComponent[] = "tolvane-mapi message store";

// Largest value an attachment table row carries; bigger ones come back as
// PT_ERROR without being read. The attachment data is never a row value.
const ULONG kTableValueLimit = 4096;

std::string binary(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

std::string objectKey(ObjectId id) {
  std::string k(8, '\0');
  for (int i = 0; i < 8; ++i) k[i] = static_cast<char>((static_cast<uint64_t>(id) >> (8 * i)) & 0xFF);
  return k;
}

FILETIME now() {
  // FILETIME: 100 ns units since 1601-01-01.
  using namespace std::chrono;
  int64_t unix100ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
  int64_t v = unix100ns + 116444736000000000LL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

bool settable(ULONG tag) {
  ULONG t = PROP_TYPE(tag);
  return t != PT_ERROR && t != PT_NULL && t != PT_OBJECT && t != PT_UNSPECIFIED;
}

// SetProps for message and attachment states: values of computed ids and
// of types that cannot be stored become problems.
HRESULT setStateProps(PropState& st, const PropRow& computed, ULONG count, LPSPropValue values,
                      LPSPropProblemArray* problems, std::string& text) {
  if (problems) *problems = nullptr;
  if (count && !values) {
    text = "SetProps: no values";
    return MAPI_E_INVALID_PARAMETER;
  }
  std::vector<SPropProblem> probs;
  for (ULONG k = 0; k < count; ++k) {
    ULONG tag = values[k].ulPropTag;
    Prop p;
    SCODE sc = S_OK;
    if (findProp(computed, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED))) sc = MAPI_E_COMPUTED;
    else if (!settable(tag)) sc = MAPI_E_INVALID_TYPE;
    else if (!Prop::fromMAPI(values[k], p)) sc = MAPI_E_INVALID_TYPE;
    if (sc != S_OK) {
      probs.push_back(SPropProblem{k, tag, sc});
      continue;
    }
    st.setValue(std::move(p));
  }
  HRESULT hr = makeProblems(probs, problems);
  if (FAILED(hr)) text = "SetProps: out of memory";
  return hr;
}

HRESULT deleteStateProps(PropState& st, const PropRow& computed, LPSPropTagArray tags, LPSPropProblemArray* problems,
                         std::string& text) {
  if (problems) *problems = nullptr;
  if (!tags) {
    text = "DeleteProps: no tags";
    return MAPI_E_INVALID_PARAMETER;
  }
  std::vector<SPropProblem> probs;
  for (ULONG k = 0; k < tags->cValues; ++k) {
    ULONG tag = tags->aulPropTag[k];
    if (findProp(computed, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED))) {
      probs.push_back(SPropProblem{k, tag, MAPI_E_COMPUTED});
      continue;
    }
    st.deleteValue(PROP_ID(tag));
  }
  HRESULT hr = makeProblems(probs, problems);
  if (FAILED(hr)) text = "DeleteProps: out of memory";
  return hr;
}

// Values of a message that only the store sets.
PropRow messageComputedTags() {
  return {Prop::Long(PR_ENTRYID, 0),       Prop::Long(PR_RECORD_KEY, 0),       Prop::Long(PR_OBJECT_TYPE, 0),
          Prop::Long(PR_PARENT_ENTRYID, 0), Prop::Long(PR_STORE_ENTRYID, 0),    Prop::Long(PR_STORE_RECORD_KEY, 0),
          Prop::Long(PR_INSTANCE_KEY, 0),  Prop::Long(PR_ACCESS, 0),           Prop::Long(PR_ACCESS_LEVEL, 0)};
}

// Columns a recipient table starts with.
const ULONG kRecipientColumns[] = {8, PR_ROWID, PR_INSTANCE_KEY, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A,
                                   PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A, PR_ENTRYID, PR_OBJECT_TYPE};

void removeTag(PropRow& row, ULONG propId) {
  row.erase(std::remove_if(row.begin(), row.end(), [propId](const Prop& p) { return PROP_ID(p.tag) == propId; }),
            row.end());
}

}  // namespace

// ---- writing a message tree

namespace {

HRESULT writeAttachTree(StoreDb& db, const AttachState& a, ObjectId msgId, ObjectId& aid) {
  aid = a.id;
  HRESULT hr = S_OK;
  if (!aid) hr = db.createObject(MAPI_ATTACH, msgId, a.num, aid);
  if (SUCCEEDED(hr)) hr = writeStateProps(db, a, aid);
  if (FAILED(hr)) return hr;
  if (a.embeddedChanged) {
    std::vector<std::pair<ObjectId, int64_t>> old;
    hr = db.childList(aid, MAPI_MESSAGE, old);
    if (FAILED(hr)) return hr;
    for (const auto& o : old) {
      if (a.embedded && a.embedded->id == o.first) continue;
      hr = db.deleteObject(o.first);
      if (FAILED(hr)) return hr;
    }
    if (a.embedded) {
      ObjectId eid = 0;
      hr = writeMessageTree(db, *a.embedded, aid, eid);
      if (FAILED(hr)) return hr;
    }
  }
  uint64_t size = 0;
  hr = db.treeSize(aid, size);
  if (FAILED(hr)) return hr;
  return db.setProps(aid, {Prop::Long(PR_ATTACH_SIZE, static_cast<LONG>(std::min<uint64_t>(size, 0x7FFFFFFF)))});
}

}  // namespace

HRESULT writeMessageTree(StoreDb& db, const MessageState& st, ObjectId parent, ObjectId& id) {
  bool isNew = st.id == 0;
  id = st.id;
  HRESULT hr = S_OK;
  if (isNew) hr = db.createObject(MAPI_MESSAGE, parent, 0, id);
  if (SUCCEEDED(hr)) hr = writeStateProps(db, st, id);
  if (FAILED(hr)) return hr;

  if (st.recipsChanged) {
    std::vector<std::pair<ObjectId, int64_t>> old;
    hr = db.childList(id, MAPI_MAILUSER, old);
    if (FAILED(hr)) return hr;
    for (const auto& o : old) {
      hr = db.deleteObject(o.first);
      if (FAILED(hr)) return hr;
    }
    // The display lists follow the recipients: names by type, "; " apart.
    std::string lists[3];
    for (const PropRow& r : st.recips) {
      const Prop* type = findProp(r, PR_RECIPIENT_TYPE);
      const Prop* name = findProp(r, PR_DISPLAY_NAME_A);
      if (!type || !name) continue;
      ULONG t = static_cast<ULONG>(type->i) & ~static_cast<ULONG>(MAPI_SUBMITTED);
      if (t < MAPI_TO || t > MAPI_BCC) continue;
      std::string& list = lists[t - MAPI_TO];
      if (!list.empty()) list += "; ";
      list += name->bytes;
    }
    hr = db.setProps(id, {Prop::String(PR_DISPLAY_TO_A, lists[0]), Prop::String(PR_DISPLAY_CC_A, lists[1]),
                          Prop::String(PR_DISPLAY_BCC_A, lists[2])});
    if (FAILED(hr)) return hr;
    for (const PropRow& r : st.recips) {
      const Prop* rowid = findProp(r, PR_ROWID);
      PropRow values = r;
      removeTag(values, PROP_ID(PR_ROWID));
      removeTag(values, PROP_ID(PR_INSTANCE_KEY));
      ObjectId rid = 0;
      hr = db.createObject(MAPI_MAILUSER, id, rowid ? rowid->i : 0, rid);
      if (SUCCEEDED(hr)) hr = db.setProps(rid, values);
      if (FAILED(hr)) return hr;
    }
  }

  if (!st.attachments.empty() || !st.deletedAttachments.empty()) {
    std::vector<std::pair<ObjectId, int64_t>> stored;
    hr = db.childList(id, MAPI_ATTACH, stored);
    if (FAILED(hr)) return hr;
    for (const auto& s : stored) {
      if (!st.deletedAttachments.count(static_cast<ULONG>(s.second))) continue;
      hr = db.deleteObject(s.first);
      if (FAILED(hr)) return hr;
    }
    for (const auto& a : st.attachments) {
      ObjectId aid = 0;
      hr = writeAttachTree(db, *a.second, id, aid);
      if (FAILED(hr)) return hr;
    }
  }

  // Values the store keeps up to date.
  ULONG attachments = 0;
  hr = db.countChildren(id, MAPI_ATTACH, false, attachments);
  if (FAILED(hr)) return hr;
  PropRow current;
  hr = db.getProps(id, {PR_MESSAGE_FLAGS, PR_HASATTACH, PR_CREATION_TIME}, 0, current);
  if (FAILED(hr)) return hr;
  PropRow computed;
  LONG flags = PROP_TYPE(current[0].tag) == PT_LONG ? static_cast<LONG>(current[0].i)
                                                     : static_cast<LONG>(MSGFLAG_READ | MSGFLAG_UNSENT);
  flags = attachments ? (flags | MSGFLAG_HASATTACH) : (flags & ~static_cast<LONG>(MSGFLAG_HASATTACH));
  computed.push_back(Prop::Long(PR_MESSAGE_FLAGS, flags));
  // PR_HASATTACH is true with attachments; without, a value a client set
  // stays as false and an absent one stays absent.
  if (attachments || PROP_TYPE(current[1].tag) == PT_BOOLEAN) computed.push_back(Prop::Bool(PR_HASATTACH, attachments > 0));
  FILETIME t = now();
  if (PROP_TYPE(current[2].tag) != PT_SYSTIME) computed.push_back(Prop::Time(PR_CREATION_TIME, t));
  if (!st.set.count(PROP_ID(PR_LAST_MODIFICATION_TIME))) computed.push_back(Prop::Time(PR_LAST_MODIFICATION_TIME, t));
  hr = db.setProps(id, computed);
  if (FAILED(hr)) return hr;
  uint64_t size = 0;
  hr = db.treeSize(id, size);
  if (FAILED(hr)) return hr;
  return db.setProps(id, {Prop::Long(PR_MESSAGE_SIZE, static_cast<LONG>(std::min<uint64_t>(size, 0x7FFFFFFF)))});
}

// ---- MessageObj

MessageObj::MessageObj(MsgStore* store, ObjectId folder, AttachObj* parent, MessageState state, bool writable)
    : m_store(store), m_db(store->db()), m_folder(folder), m_parent(parent), m_st(std::move(state)), m_writable(writable) {
  m_store->AddRef();
  if (m_parent) m_parent->AddRef();
}

MessageObj::~MessageObj() {
  if (m_parent) m_parent->Release();
  m_store->Release();
}

MessageObj* MessageObj::inFolder(MsgStore* store, ObjectId folder, MessageState state, bool writable) {
  return new MessageObj(store, folder, nullptr, std::move(state), writable);
}

MessageObj* MessageObj::embedded(MsgStore* store, AttachObj* parent, MessageState state, bool writable) {
  return new MessageObj(store, 0, parent, std::move(state), writable);
}

HRESULT MessageObj::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMessage) {
    AddRef();
    *ppv = static_cast<IMessage*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT MessageObj::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
  TM_CALL("IMessage::GetLastError", resultName(hResult));
  return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
}

PropRow MessageObj::computedProps() {
  PropRow row;
  row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_MESSAGE));
  row.push_back(Prop::Long(PR_ACCESS, m_writable ? MAPI_ACCESS_READ | MAPI_ACCESS_MODIFY | MAPI_ACCESS_DELETE
                                                 : MAPI_ACCESS_READ));
  row.push_back(Prop::Long(PR_ACCESS_LEVEL, m_writable ? MAPI_MODIFY : 0));
  const MAPIUID& uid = m_db->uid();
  row.push_back(Prop::Binary(PR_STORE_ENTRYID, makeStoreEntryId(uid)));
  row.push_back(Prop::Binary(PR_STORE_RECORD_KEY, binary(uid.ab, sizeof uid.ab)));
  if (!m_parent) {
    if (m_st.id) {
      std::string eid = m_store->entryIdOf(MAPI_MESSAGE, m_st.id);
      row.push_back(Prop::Binary(PR_ENTRYID, eid));
      row.push_back(Prop::Binary(PR_RECORD_KEY, eid));
    }
    row.push_back(Prop::Binary(PR_PARENT_ENTRYID, m_store->entryIdOf(MAPI_FOLDER, m_folder)));
  }
  return row;
}

HRESULT MessageObj::readOwn(ULONG tag, ULONG sizeLimit, Prop& out) {
  HRESULT hr = readStateProp(*m_db, m_st, tag, sizeLimit, out);
  if (FAILED(hr)) setError(hr, m_db->lastError());
  return hr;
}

HRESULT MessageObj::readOwnMany(const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& out) {
  HRESULT hr = readStateProps(*m_db, m_st, tags, sizeLimit, out);
  if (FAILED(hr)) setError(hr, m_db->lastError());
  return hr;
}

HRESULT MessageObj::ownTags(std::vector<ULONG>& tags) { return stateTags(*m_db, m_st, tags); }

HRESULT MessageObj::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                             LPSPropValue* lppPropArray) {
  TM_CALL_OBJ(this, "IMessage::GetProps", lpPropTagArray ? "count=" + std::to_string(lpPropTagArray->cValues) : "all");
  StoreDb::ReadScope reading(*m_db);
  std::string text;
  HRESULT hr = getPropsFor(*this, lpPropTagArray, ulFlags, lpcValues, lppPropArray, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return hr;
}

HRESULT MessageObj::GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) {
  TM_CALL_OBJ(this, "IMessage::GetPropList", "");
  std::string text;
  HRESULT hr = getPropListFor(*this, ulFlags, lppPropTagArray, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return hr;
}

HRESULT MessageObj::OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                                 LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IMessage::OpenProperty", tagText(ulPropTag) + " flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (!lppUnk || !lpiid) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::OpenProperty: no interface or output");
  *lppUnk = nullptr;
  if (*lpiid == IID_IStream) {
    IStream* s = nullptr;
    std::string text;
    HRESULT hr = openPropertyStream(m_db, m_st, ulPropTag, ulInterfaceOptions, ulFlags, m_writable, &s, text);
    if (FAILED(hr)) return setError(hr, "IMessage::" + text);
    *lppUnk = s;
    return S_OK;
  }
  if (*lpiid == IID_IMAPITable && ulPropTag == PR_MESSAGE_ATTACHMENTS)
    return GetAttachmentTable(0, reinterpret_cast<LPMAPITABLE*>(lppUnk));
  if (*lpiid == IID_IMAPITable && ulPropTag == PR_MESSAGE_RECIPIENTS)
    return GetRecipientTable(0, reinterpret_cast<LPMAPITABLE*>(lppUnk));
  return setError(MAPI_E_INTERFACE_NOT_SUPPORTED,
                  "IMessage::OpenProperty: property " + tagText(ulPropTag) + " cannot be opened with that interface");
}

HRESULT MessageObj::SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMessage::SetProps", "count=" + std::to_string(cValues));
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::SetProps: the message was opened for reading only");
  std::string text;
  HRESULT hr = setStateProps(m_st, messageComputedTags(), cValues, lpPropArray, lppProblems, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return S_OK;
}

HRESULT MessageObj::DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMessage::DeleteProps", "");
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::DeleteProps: the message was opened for reading only");
  std::string text;
  HRESULT hr = deleteStateProps(m_st, messageComputedTags(), lpPropTagArray, lppProblems, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return S_OK;
}

HRESULT MessageObj::saveToStore() {
  StoreDb& db = *m_db;
  HRESULT hr = db.begin();
  if (FAILED(hr)) return setError(hr, "IMessage::SaveChanges: " + db.lastError());
  if (m_st.id) {
    // Deleted while open (by this process or another): not brought back.
    ULONG kind = 0;
    ObjectId parent = 0;
    hr = db.objectKind(m_st.id, kind, parent);
    if (FAILED(hr)) {
      std::string text = db.lastError();
      db.rollback();
      if (hr == MAPI_E_NOT_FOUND)
        return setError(MAPI_E_OBJECT_DELETED, "IMessage::SaveChanges: the message was deleted while it was open");
      return setError(hr, "IMessage::SaveChanges: " + text);
    }
  }
  // A delivery's key is no value of the message: a new message whose key
  // the mailbox holds was delivered before and is not stored again (the
  // change it is part of goes on); else the key is kept with it.
  std::string deliveryKey;
  MessageState keyless;
  const MessageState* state = &m_st;
  auto keyed = m_st.set.find(PROP_ID(PR_TOLVANE_DELIVERY_KEY));
  if (keyed != m_st.set.end()) {
    deliveryKey = keyed->second.bytes;
    keyless = m_st;
    keyless.set.erase(PROP_ID(PR_TOLVANE_DELIVERY_KEY));
    state = &keyless;
  }
  if (!m_st.id && !deliveryKey.empty()) {
    bool held = false;
    hr = db.hasDeliveryKey(deliveryKey, held);
    if (SUCCEEDED(hr) && held) {
      hr = db.commit();  // nothing written: the enclosing change stays as it is
      if (FAILED(hr)) return setError(hr, "IMessage::SaveChanges: " + db.lastError());
      return setError(MAPI_E_COLLISION, "IMessage::SaveChanges: the message was delivered before; not stored again");
    }
    if (FAILED(hr)) {
      std::string text = db.lastError();
      db.rollback();
      return setError(hr, "IMessage::SaveChanges: " + text);
    }
  }
  ObjectId id = 0;
  hr = writeMessageTree(db, *state, m_folder, id);
  if (SUCCEEDED(hr) && !m_st.id && !deliveryKey.empty()) hr = db.keepDeliveryKey(deliveryKey, id);
  if (FAILED(hr)) {
    std::string text = db.lastError();
    db.rollback();
    return setError(hr, "IMessage::SaveChanges: the message could not be stored: " + text);
  }
  hr = db.commit();
  if (FAILED(hr)) return setError(hr, "IMessage::SaveChanges: " + db.lastError());
  showStored(id);
  return S_OK;
}

HRESULT MessageObj::SaveChanges(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMessage::SaveChanges", "flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::SaveChanges: the message was opened for reading only");
  if (m_parent) {
    m_parent->commitEmbedded(std::make_shared<const MessageState>(m_st));
    return S_OK;
  }
  HRESULT hr = saveToStore();
  if (FAILED(hr)) return hr;
  if (ulFlags & KEEP_OPEN_READONLY) m_writable = false;
  return S_OK;
}

HRESULT MessageObj::CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG,
                           LPMAPIPROGRESS, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                           LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMessage::CopyTo", "flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (lppProblems) *lppProblems = nullptr;
  if (!lpDestObj) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::CopyTo: no destination");
  if (lpInterface && *lpInterface != IID_IMessage)
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMessage::CopyTo: a message copies only into a message");
  if (ulFlags & MAPI_MOVE) return setError(MAPI_E_NO_SUPPORT, "IMessage::CopyTo: moving is not offered");
  for (ULONG k = 0; k < ciidExclude; ++k)
    if (rgiidExclude && rgiidExclude[k] == IID_IMessage)
      return setError(MAPI_E_INVALID_PARAMETER, "IMessage::CopyTo: the message interface itself is excluded");
  IMessage* dest = static_cast<IMessage*>(lpDestObj);
  if (dest == static_cast<IMessage*>(this)) return setError(MAPI_E_NO_ACCESS, "IMessage::CopyTo: a message cannot be copied onto itself");
  std::string text;
  HRESULT hr = copyMessage(this, dest, lpExcludeProps, text);
  if (FAILED(hr)) return setError(hr, "IMessage::CopyTo: " + text);
  return S_OK;
}

HRESULT MessageObj::CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IMessage::CopyProps", "");
  if (lppProblems) *lppProblems = nullptr;
  return setError(MAPI_E_NO_SUPPORT, "IMessage::CopyProps is not offered; use CopyTo");
}

HRESULT MessageObj::GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                    ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) {
  TM_CALL_OBJ(this, "IMessage::GetNamesFromIDs", "");
  std::string text;
  HRESULT hr = namesFromIds(*m_db, lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return hr;
}

HRESULT MessageObj::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                    LPSPropTagArray* lppPropTags) {
  TM_CALL_OBJ(this, "IMessage::GetIDsFromNames", "count=" + std::to_string(cPropNames));
  std::string text;
  HRESULT hr = idsFromNames(*m_db, cPropNames, lppPropNames, ulFlags, lppPropTags, text);
  if (FAILED(hr)) return setError(hr, "IMessage::" + text);
  return hr;
}

// Attachments

HRESULT MessageObj::storedAttachments(std::vector<std::pair<ObjectId, int64_t>>& list) {
  list.clear();
  if (!m_st.id) return S_OK;
  return m_db->childList(m_st.id, MAPI_ATTACH, list);
}

HRESULT MessageObj::attachmentNumbers(std::vector<ULONG>& nums) {
  nums.clear();
  std::vector<std::pair<ObjectId, int64_t>> stored;
  HRESULT hr = storedAttachments(stored);
  if (FAILED(hr)) return hr;
  for (const auto& s : stored) {
    ULONG n = static_cast<ULONG>(s.second);
    if (!m_st.deletedAttachments.count(n) && !m_st.attachments.count(n)) nums.push_back(n);
  }
  for (const auto& a : m_st.attachments) nums.push_back(a.first);
  std::sort(nums.begin(), nums.end());
  return S_OK;
}

void MessageObj::commitAttach(std::shared_ptr<const AttachState> state) {
  ULONG num = state->num;
  m_st.deletedAttachments.erase(num);
  m_st.attachments[num] = std::move(state);
}

HRESULT MessageObj::GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMessage::GetAttachmentTable", "flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::GetAttachmentTable: no output");
  *lppTable = nullptr;
  if (ulFlags & MAPI_UNICODE)
    return setError(MAPI_E_BAD_CHARWIDTH, "IMessage::GetAttachmentTable: Unicode strings are not offered");
  // Stored attachments by id (their values are read when the table is
  // used); those saved into the message since it was opened, with their
  // values now.
  std::vector<std::pair<ObjectId, ULONG>> stored;
  if (m_st.id) {
    std::vector<std::pair<ObjectId, int64_t>> list;
    HRESULT hr = storedAttachments(list);
    if (FAILED(hr)) return setError(hr, "IMessage::GetAttachmentTable: " + m_db->lastError());
    for (const auto& s : list) {
      ULONG num = static_cast<ULONG>(s.second);
      if (m_st.deletedAttachments.count(num) || m_st.attachments.count(num)) continue;
      stored.emplace_back(s.first, num);
    }
  }
  std::vector<std::pair<ULONG, PropRow>> rows;
  for (const auto& a : m_st.attachments) {
    std::vector<ULONG> tags;
    HRESULT hr = stateTags(*m_db, *a.second, tags);
    if (FAILED(hr)) return setError(hr, "IMessage::GetAttachmentTable: " + m_db->lastError());
    PropRow row;
    uint64_t size = 0;
    for (ULONG t : tags) {
      Prop p;
      hr = readStateProp(*m_db, *a.second, t, kTableValueLimit, p);
      if (FAILED(hr)) return setError(hr, "IMessage::GetAttachmentTable: " + m_db->lastError());
      if (PROP_ID(t) == PROP_ID(PR_ATTACH_SIZE)) continue;
      size += valueSize(p);
      if (PROP_ID(t) == PROP_ID(PR_ATTACH_DATA_BIN)) continue;
      row.push_back(std::move(p));
    }
    for (const auto& g : a.second->staged) size += g.second.value->size();
    row.push_back(Prop::Long(PR_ATTACH_SIZE, static_cast<LONG>(std::min<uint64_t>(size, 0x7FFFFFFF))));
    row.push_back(Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(a.first)));
    row.push_back(Prop::Binary(PR_INSTANCE_KEY, "new:" + std::to_string(a.first)));
    row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_ATTACH));
    rows.emplace_back(a.first, std::move(row));
  }
  return createAttachmentTable(m_db, m_st.id, std::move(stored), std::move(rows), lppTable);
}

HRESULT MessageObj::OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) {
  TM_CALL_OBJ(this, "IMessage::OpenAttach", "num=" + std::to_string(ulAttachmentNum) + " flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (!lppAttach) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::OpenAttach: no output");
  *lppAttach = nullptr;
  if (lpInterface && *lpInterface != IID_IAttachment && *lpInterface != IID_IMAPIProp && *lpInterface != IID_IUnknown)
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMessage::OpenAttach: the interface is not supported");
  bool writable = m_writable && (ulFlags & (MAPI_MODIFY | MAPI_BEST_ACCESS));
  std::string missing = "IMessage::OpenAttach: the message has no attachment " + std::to_string(ulAttachmentNum);
  if (m_st.deletedAttachments.count(ulAttachmentNum)) return setError(MAPI_E_NOT_FOUND, missing);
  auto it = m_st.attachments.find(ulAttachmentNum);
  if (it != m_st.attachments.end()) {
    *lppAttach = AttachObj::make(this, *it->second, writable);
    return S_OK;
  }
  std::vector<std::pair<ObjectId, int64_t>> stored;
  HRESULT hr = storedAttachments(stored);
  if (FAILED(hr)) return setError(hr, "IMessage::OpenAttach: " + m_db->lastError());
  for (const auto& s : stored) {
    if (static_cast<ULONG>(s.second) != ulAttachmentNum) continue;
    AttachState st;
    st.id = s.first;
    st.num = ulAttachmentNum;
    *lppAttach = AttachObj::make(this, std::move(st), writable);
    return S_OK;
  }
  return setError(MAPI_E_NOT_FOUND, missing);
}

HRESULT MessageObj::CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) {
  TM_CALL_OBJ(this, "IMessage::CreateAttach", "flags=" + std::to_string(ulFlags));
  if (!lppAttach || !lpulAttachmentNum) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::CreateAttach: no output");
  *lppAttach = nullptr;
  *lpulAttachmentNum = 0;
  if (lpInterface && *lpInterface != IID_IAttachment && *lpInterface != IID_IMAPIProp && *lpInterface != IID_IUnknown)
    return setError(MAPI_E_INTERFACE_NOT_SUPPORTED, "IMessage::CreateAttach: the interface is not supported");
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::CreateAttach: the message was opened for reading only");
  // Numbers are never reused while the message is open: the next one is
  // above every stored, new and deleted number.
  ULONG next = m_st.nextAttachNum;
  std::vector<std::pair<ObjectId, int64_t>> stored;
  HRESULT hr = storedAttachments(stored);
  if (FAILED(hr)) return setError(hr, "IMessage::CreateAttach: " + m_db->lastError());
  for (const auto& s : stored) next = std::max(next, static_cast<ULONG>(s.second) + 1);
  for (const auto& a : m_st.attachments) next = std::max(next, a.first + 1);
  for (ULONG d : m_st.deletedAttachments) next = std::max(next, d + 1);
  m_st.nextAttachNum = next + 1;
  AttachState st;
  st.num = next;
  *lpulAttachmentNum = next;
  *lppAttach = AttachObj::make(this, std::move(st), true);
  return S_OK;
}

HRESULT MessageObj::DeleteAttach(ULONG ulAttachmentNum, ULONG, LPMAPIPROGRESS, ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMessage::DeleteAttach", "num=" + std::to_string(ulAttachmentNum) + " flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::DeleteAttach: the message was opened for reading only");
  std::vector<ULONG> nums;
  HRESULT hr = attachmentNumbers(nums);
  if (FAILED(hr)) return setError(hr, "IMessage::DeleteAttach: " + m_db->lastError());
  if (std::find(nums.begin(), nums.end(), ulAttachmentNum) == nums.end())
    return setError(MAPI_E_NOT_FOUND, "IMessage::DeleteAttach: the message has no attachment " + std::to_string(ulAttachmentNum));
  m_st.attachments.erase(ulAttachmentNum);
  m_st.deletedAttachments.insert(ulAttachmentNum);
  return S_OK;
}

// Recipients

HRESULT MessageObj::recipientRows(std::vector<PropRow>& rows) {
  rows.clear();
  if (m_st.recipsChanged) {
    rows = m_st.recips;
    return S_OK;
  }
  if (!m_st.id) return S_OK;
  if (m_storedRecipsRead) {
    rows = m_storedRecips;
    return S_OK;
  }
  std::vector<StoreDb::ChildRow> stored;
  HRESULT hr = m_db->childRows(m_st.id, MAPI_MAILUSER, {}, mapitest::sizeLimit(), stored);
  if (FAILED(hr)) return hr;
  for (auto& s : stored) {
    PropRow row = std::move(s.props);
    row.push_back(Prop::Long(PR_ROWID, static_cast<LONG>(s.position)));
    rows.push_back(std::move(row));
  }
  m_storedRecips = rows;
  m_storedRecipsRead = true;
  return S_OK;
}

HRESULT MessageObj::loadRecipients() {
  if (m_st.recipsChanged) return S_OK;
  std::vector<PropRow> rows;
  HRESULT hr = recipientRows(rows);
  if (FAILED(hr)) return hr;
  m_st.recips = std::move(rows);
  m_st.recipsChanged = true;
  return S_OK;
}

HRESULT MessageObj::GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) {
  TM_CALL_OBJ(this, "IMessage::GetRecipientTable", "flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (!lppTable) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::GetRecipientTable: no output");
  *lppTable = nullptr;
  if (ulFlags & MAPI_UNICODE)
    return setError(MAPI_E_BAD_CHARWIDTH, "IMessage::GetRecipientTable: Unicode strings are not offered");
  std::vector<PropRow> rows;
  HRESULT hr = recipientRows(rows);
  if (FAILED(hr)) return setError(hr, "IMessage::GetRecipientTable: " + m_db->lastError());
  for (PropRow& r : rows) {
    const Prop* rowid = findProp(r, PR_ROWID);
    if (!findProp(r, PR_INSTANCE_KEY)) r.push_back(Prop::Binary(PR_INSTANCE_KEY, objectKey(rowid ? rowid->i : 0)));
    if (!findProp(r, PR_OBJECT_TYPE)) r.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_MAILUSER));
  }
  hr = createMemTable(std::move(rows), reinterpret_cast<const SPropTagArray*>(kRecipientColumns), lppTable);
  if (FAILED(hr)) return setError(hr, "IMessage::GetRecipientTable: the table could not be made");
  return S_OK;
}

HRESULT MessageObj::ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) {
  TM_CALL_OBJ(this, "IMessage::ModifyRecipients",
              "flags=" + std::to_string(ulFlags) + " count=" + std::to_string(lpMods ? lpMods->cEntries : 0));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IMessage::ModifyRecipients: the message was opened for reading only");
  if (!lpMods) return setError(MAPI_E_INVALID_PARAMETER, "IMessage::ModifyRecipients: no recipient list");
  if (ulFlags & ~(MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE))
    return setError(MAPI_E_UNKNOWN_FLAGS, "IMessage::ModifyRecipients: unknown flags");
  // Everything is checked and copied before the list changes.
  std::vector<PropRow> entries(lpMods->cEntries);
  for (ULONG k = 0; k < lpMods->cEntries; ++k) {
    const ADRENTRY& e = lpMods->aEntries[k];
    if (e.cValues && !e.rgPropVals)
      return setError(MAPI_E_INVALID_PARAMETER, "IMessage::ModifyRecipients: entry " + std::to_string(k) + " has no values");
    for (ULONG v = 0; v < e.cValues; ++v) {
      if (!settable(e.rgPropVals[v].ulPropTag)) continue;  // PT_ERROR placeholders and the like
      Prop p;
      if (!Prop::fromMAPI(e.rgPropVals[v], p))
        return setError(MAPI_E_INVALID_PARAMETER, "IMessage::ModifyRecipients: entry " + std::to_string(k) + " has a bad value");
      ULONG t = PROP_TYPE(p.tag);
      if (t == PT_UNICODE) p.tag = CHANGE_PROP_TYPE(p.tag, PT_STRING8);
      else if (t == PT_MV_UNICODE) p.tag = CHANGE_PROP_TYPE(p.tag, PT_MV_STRING8);
      removeTag(entries[k], PROP_ID(p.tag));
      entries[k].push_back(std::move(p));
    }
  }
  HRESULT hr = loadRecipients();
  if (FAILED(hr)) return setError(hr, "IMessage::ModifyRecipients: " + m_db->lastError());
  std::vector<PropRow>& list = m_st.recips;
  auto rowIdOf = [](const PropRow& r) -> int64_t {
    const Prop* p = findProp(r, PR_ROWID);
    return p ? p->i : -1;
  };
  int64_t next = 0;
  for (const PropRow& r : list) next = std::max(next, rowIdOf(r) + 1);

  if (ulFlags == 0) {
    list.clear();
    next = 0;
  }
  if (ulFlags == 0 || (ulFlags & MODRECIP_ADD)) {
    for (PropRow& e : entries) {
      removeTag(e, PROP_ID(PR_ROWID));
      e.push_back(Prop::Long(PR_ROWID, static_cast<LONG>(next++)));
      list.push_back(std::move(e));
    }
    return S_OK;
  }
  for (PropRow& e : entries) {
    int64_t id = rowIdOf(e);
    auto it = std::find_if(list.begin(), list.end(), [&](const PropRow& r) { return rowIdOf(r) == id; });
    if (id < 0 || it == list.end()) continue;  // MAPI ignores rows it does not have
    if (ulFlags & MODRECIP_REMOVE) list.erase(it);
    else *it = std::move(e);
  }
  return S_OK;
}

HRESULT MessageObj::SubmitMessage(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMessage::SubmitMessage", "flags=" + std::to_string(ulFlags));
  if (ulFlags & ~static_cast<ULONG>(FORCE_SUBMIT))
    return setError(MAPI_E_UNKNOWN_FLAGS, "IMessage::SubmitMessage: unknown flags");
  if (m_parent)
    return setError(MAPI_E_NO_SUPPORT, "IMessage::SubmitMessage: an attached message cannot be submitted on its own");
  if (!m_writable)
    return setError(MAPI_E_NO_ACCESS, "IMessage::SubmitMessage: the message was opened for reading only");
  std::vector<PropRow> recips;
  HRESULT hr = recipientRows(recips);
  if (FAILED(hr)) return setError(hr, "IMessage::SubmitMessage: " + m_db->lastError());
  if (recips.empty())
    return setError(MAPI_E_NO_RECIPIENTS, "IMessage::SubmitMessage: the message has no recipients; add at least one "
                                          "with ModifyRecipients before submitting it");

  // Pending changes are saved with the submission, all in one transaction:
  // once it commits the message is in the queue, and survives a crash of
  // this process right after the call returns.
  StoreDb& db = *m_db;
  hr = db.begin();
  if (FAILED(hr)) return setError(hr, "IMessage::SubmitMessage: " + db.lastError());
  auto fail = [&](HRESULT code, const std::string& what) {
    std::string text = db.lastError();
    db.rollback();
    return setError(code, "IMessage::SubmitMessage: " + what + text);
  };
  if (m_st.id) {
    StoreDb::QueueEntry queued;
    bool found = false;
    ULONG kind = 0;
    ObjectId parent = 0;
    hr = db.objectKind(m_st.id, kind, parent);
    if (hr == MAPI_E_NOT_FOUND) {
      db.rollback();
      return setError(MAPI_E_OBJECT_DELETED, "IMessage::SubmitMessage: the message was deleted while it was open");
    }
    if (SUCCEEDED(hr)) hr = db.queueEntryOf(m_st.id, queued, found);
    if (FAILED(hr)) return fail(hr, "");
    if (found) {
      db.rollback();
      return setError(MAPI_E_NO_ACCESS, "IMessage::SubmitMessage: the message has already been submitted and waits "
                                        "in the submission queue");
    }
  }
  ObjectId id = 0;
  hr = writeMessageTree(db, m_st, m_folder, id);
  if (FAILED(hr)) return fail(hr, "the message could not be stored: ");
  PropRow cur;
  hr = db.getProps(id, {PR_MESSAGE_FLAGS}, 0, cur);
  if (FAILED(hr)) return fail(hr, "");
  LONG flags = PROP_TYPE(cur[0].tag) == PT_LONG ? static_cast<LONG>(cur[0].i) : 0;
  FILETIME t = now();
  // The store stamps the submission time; the message stays unsent until
  // the spooler has handed it to the transport.
  hr = db.setProps(id, {Prop::Long(PR_MESSAGE_FLAGS, flags | static_cast<LONG>(MSGFLAG_SUBMIT | MSGFLAG_UNSENT)),
                        Prop::Long(PR_SUBMIT_FLAGS, 0), Prop::Time(PR_CLIENT_SUBMIT_TIME, t)});
  if (FAILED(hr)) return fail(hr, "");
  int64_t ticks = (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  int64_t queueId = 0;
  hr = db.enqueue(id, (ticks - 116444736000000000LL) / 10000, queueId);
  if (FAILED(hr)) return fail(hr, "the message could not be queued: ");
  hr = db.commit();
  if (FAILED(hr)) return setError(hr, "IMessage::SubmitMessage: nothing was submitted: " + db.lastError());
  showStored(id);
  // MAPI allows nothing but Release on a submitted message.
  m_writable = false;
  notifySubmitted(db.path());
  return S_OK;
}

HRESULT MessageObj::SetReadFlag(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IMessage::SetReadFlag", "flags=" + std::to_string(ulFlags));
  if (ulFlags & GENERATE_RECEIPT_ONLY) return S_OK;
  bool clear = (ulFlags & CLEAR_READ_FLAG) != 0;
  auto apply = [clear](int64_t flags) {
    return clear ? (flags & ~static_cast<int64_t>(MSGFLAG_READ)) : (flags | MSGFLAG_READ);
  };
  auto held = m_st.set.find(PROP_ID(PR_MESSAGE_FLAGS));
  if (held != m_st.set.end()) held->second.i = apply(held->second.i);
  if (!m_st.id || m_parent) {
    if (held == m_st.set.end()) m_st.setValue(Prop::Long(PR_MESSAGE_FLAGS, static_cast<LONG>(apply(0))));
    return S_OK;
  }
  // A stored message changes in the store at once, without SaveChanges. A
  // read mark is not mail: its commit need not wait for the disk, and a mark
  // that is already set is not written again (looked at first without the
  // store's write lock, which a walk over read messages would otherwise
  // take once per message).
  StoreDb& db = *m_db;
  int64_t flags = 0;
  auto readFlags = [&] {
    PropRow cur;
    HRESULT got = db.getProps(m_st.id, {PR_MESSAGE_FLAGS}, 0, cur);
    flags = SUCCEEDED(got) && PROP_TYPE(cur[0].tag) == PT_LONG ? cur[0].i : 0;
    return got;
  };
  HRESULT hr = readFlags();
  if (FAILED(hr)) return setError(hr, "IMessage::SetReadFlag: " + db.lastError());
  if (apply(flags) == flags) return S_OK;
  // Read again under the write lock: another writer may have set it since.
  hr = db.begin(false);
  if (SUCCEEDED(hr)) hr = readFlags();
  if (SUCCEEDED(hr) && apply(flags) != flags)
    hr = db.setProps(m_st.id, {Prop::Long(PR_MESSAGE_FLAGS, static_cast<LONG>(apply(flags)))});
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    std::string text = db.lastError();
    db.rollback();
    return setError(hr, "IMessage::SetReadFlag: " + text);
  }
  return S_OK;
}

// ---- AttachObj

AttachObj::AttachObj(MessageObj* message, AttachState state, bool writable)
    : m_msg(message), m_db(message->db()), m_st(std::move(state)), m_writable(writable) {
  m_msg->AddRef();
}

AttachObj::~AttachObj() { m_msg->Release(); }

AttachObj* AttachObj::make(MessageObj* message, AttachState state, bool writable) {
  return new AttachObj(message, std::move(state), writable);
}

void AttachObj::commitEmbedded(std::shared_ptr<const MessageState> state) {
  m_st.embeddedChanged = true;
  m_st.embedded = std::move(state);
}

HRESULT AttachObj::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IAttachment) {
    AddRef();
    *ppv = static_cast<IAttach*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT AttachObj::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
  TM_CALL("IAttach::GetLastError", resultName(hResult));
  return getLastErrorImpl(hResult, ulFlags, lppMAPIError, kComponent);
}

HRESULT AttachObj::hasEmbedded(bool& has, ObjectId& storedId) {
  has = false;
  storedId = 0;
  if (m_st.embeddedChanged) {
    has = m_st.embedded != nullptr;
    return S_OK;
  }
  if (!m_st.id) return S_OK;
  std::vector<std::pair<ObjectId, int64_t>> list;
  HRESULT hr = m_db->childList(m_st.id, MAPI_MESSAGE, list);
  if (FAILED(hr)) return hr;
  if (!list.empty()) {
    has = true;
    storedId = list.front().first;
  }
  return S_OK;
}

PropRow AttachObj::computedProps() {
  PropRow row;
  row.push_back(Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(m_st.num)));
  row.push_back(Prop::Long(PR_OBJECT_TYPE, MAPI_ATTACH));
  if (!m_st.id || m_st.changed() || m_st.embeddedChanged) {
    // Not stored as it is now: the size of what it holds.
    uint64_t size = 0;
    for (const auto& s : m_st.set) size += valueSize(s.second);
    for (const auto& g : m_st.staged) size += g.second.value->size();
    if (m_st.id) {
      uint64_t stored = 0;
      if (SUCCEEDED(m_db->treeSize(m_st.id, stored))) size += stored;
    }
    row.push_back(Prop::Long(PR_ATTACH_SIZE, static_cast<LONG>(std::min<uint64_t>(size, 0x7FFFFFFF))));
  }
  return row;
}

HRESULT AttachObj::readOwn(ULONG tag, ULONG sizeLimit, Prop& out) {
  if (PROP_TYPE(tag) == PT_OBJECT) {
    // Objects are opened with OpenProperty, never read as values.
    bool has = false;
    ObjectId id = 0;
    HRESULT hr = hasEmbedded(has, id);
    if (FAILED(hr)) return setError(hr, m_db->lastError());
    out = Prop::Error(PROP_TAG(PT_ERROR, PROP_ID(tag)), has ? MAPI_E_NOT_ENOUGH_MEMORY : MAPI_E_NOT_FOUND);
    return S_OK;
  }
  HRESULT hr = readStateProp(*m_db, m_st, tag, sizeLimit, out);
  if (FAILED(hr)) setError(hr, m_db->lastError());
  return hr;
}

HRESULT AttachObj::ownTags(std::vector<ULONG>& tags) {
  HRESULT hr = stateTags(*m_db, m_st, tags);
  if (FAILED(hr)) return hr;
  bool has = false;
  ObjectId id = 0;
  hr = hasEmbedded(has, id);
  if (FAILED(hr)) return hr;
  if (has) tags.push_back(PR_ATTACH_DATA_OBJ);
  return S_OK;
}

HRESULT AttachObj::SaveChanges(ULONG ulFlags) {
  TM_CALL_OBJ(this, "IAttach::SaveChanges", "flags=" + std::to_string(ulFlags));
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IAttach::SaveChanges: the attachment was opened for reading only");
  m_msg->commitAttach(std::make_shared<const AttachState>(m_st));
  if (ulFlags & KEEP_OPEN_READONLY) m_writable = false;
  return S_OK;
}

HRESULT AttachObj::GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) {
  TM_CALL_OBJ(this, "IAttach::GetProps", lpPropTagArray ? "count=" + std::to_string(lpPropTagArray->cValues) : "all");
  StoreDb::ReadScope reading(*m_db);
  std::string text;
  HRESULT hr = getPropsFor(*this, lpPropTagArray, ulFlags, lpcValues, lppPropArray, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return hr;
}

HRESULT AttachObj::GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) {
  TM_CALL_OBJ(this, "IAttach::GetPropList", "");
  std::string text;
  HRESULT hr = getPropListFor(*this, ulFlags, lppPropTagArray, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return hr;
}

HRESULT AttachObj::OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                                LPUNKNOWN* lppUnk) {
  TM_CALL_OBJ(this, "IAttach::OpenProperty", tagText(ulPropTag) + " flags=" + std::to_string(ulFlags));
  StoreDb::ReadScope reading(*m_db);
  if (!lppUnk || !lpiid) return setError(MAPI_E_INVALID_PARAMETER, "IAttach::OpenProperty: no interface or output");
  *lppUnk = nullptr;
  if (*lpiid == IID_IStream) {
    IStream* s = nullptr;
    std::string text;
    HRESULT hr = openPropertyStream(m_db, m_st, ulPropTag, ulInterfaceOptions, ulFlags, m_writable, &s, text);
    if (FAILED(hr)) return setError(hr, "IAttach::" + text);
    *lppUnk = s;
    return S_OK;
  }
  if (*lpiid == IID_IMessage && PROP_ID(ulPropTag) == PROP_ID(PR_ATTACH_DATA_OBJ)) {
    bool create = (ulFlags & MAPI_CREATE) != 0;
    bool writable = m_writable && (ulFlags & (MAPI_MODIFY | MAPI_CREATE | MAPI_BEST_ACCESS));
    if (create && !m_writable)
      return setError(MAPI_E_NO_ACCESS, "IAttach::OpenProperty: the attachment was opened for reading only");
    MessageState st;
    if (!create) {
      bool has = false;
      ObjectId storedId = 0;
      HRESULT hr = hasEmbedded(has, storedId);
      if (FAILED(hr)) return setError(hr, "IAttach::OpenProperty: " + m_db->lastError());
      if (!has) return setError(MAPI_E_NOT_FOUND, "IAttach::OpenProperty: the attachment holds no message");
      if (m_st.embeddedChanged) st = *m_st.embedded;
      else st.id = storedId;
    }
    // MAPI_CREATE starts a new, empty message that replaces any old one
    // when saved.
    *lppUnk = static_cast<IMessage*>(MessageObj::embedded(m_msg->store(), this, std::move(st), writable));
    return S_OK;
  }
  return setError(MAPI_E_INTERFACE_NOT_SUPPORTED,
                  "IAttach::OpenProperty: property " + tagText(ulPropTag) + " cannot be opened with that interface");
}

HRESULT AttachObj::SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IAttach::SetProps", "count=" + std::to_string(cValues));
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IAttach::SetProps: the attachment was opened for reading only");
  PropRow computed = {Prop::Long(PR_ATTACH_NUM, 0), Prop::Long(PR_OBJECT_TYPE, 0), Prop::Long(PR_ATTACH_SIZE, 0)};
  std::string text;
  HRESULT hr = setStateProps(m_st, computed, cValues, lpPropArray, lppProblems, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return S_OK;
}

HRESULT AttachObj::DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IAttach::DeleteProps", "");
  if (lppProblems) *lppProblems = nullptr;
  if (!m_writable) return setError(MAPI_E_NO_ACCESS, "IAttach::DeleteProps: the attachment was opened for reading only");
  PropRow computed = {Prop::Long(PR_ATTACH_NUM, 0), Prop::Long(PR_OBJECT_TYPE, 0), Prop::Long(PR_ATTACH_SIZE, 0)};
  if (lpPropTagArray) {
    for (ULONG k = 0; k < lpPropTagArray->cValues; ++k) {
      if (lpPropTagArray->aulPropTag[k] == PR_ATTACH_DATA_OBJ) {
        m_st.embeddedChanged = true;
        m_st.embedded = nullptr;
      }
    }
  }
  std::string text;
  HRESULT hr = deleteStateProps(m_st, computed, lpPropTagArray, lppProblems, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return S_OK;
}

HRESULT AttachObj::CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                          LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IAttach::CopyTo", "");
  if (lppProblems) *lppProblems = nullptr;
  return setError(MAPI_E_NO_SUPPORT, "IAttach::CopyTo is not offered; copy the message");
}

HRESULT AttachObj::CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray* lppProblems) {
  TM_CALL_OBJ(this, "IAttach::CopyProps", "");
  if (lppProblems) *lppProblems = nullptr;
  return setError(MAPI_E_NO_SUPPORT, "IAttach::CopyProps is not offered; copy the message");
}

HRESULT AttachObj::GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                   ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) {
  TM_CALL_OBJ(this, "IAttach::GetNamesFromIDs", "");
  std::string text;
  HRESULT hr = namesFromIds(*m_db, lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return hr;
}

HRESULT AttachObj::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                   LPSPropTagArray* lppPropTags) {
  TM_CALL_OBJ(this, "IAttach::GetIDsFromNames", "count=" + std::to_string(cPropNames));
  std::string text;
  HRESULT hr = idsFromNames(*m_db, cPropNames, lppPropNames, ulFlags, lppPropTags, text);
  if (FAILED(hr)) return setError(hr, "IAttach::" + text);
  return hr;
}

}  // namespace tmapi
