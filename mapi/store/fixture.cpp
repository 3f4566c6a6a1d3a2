// mapifixture: messages built through the store's own interfaces.
#include <tolvane/mapifixture.h>

#include "runtime/prop.h"
#include "store/folder.h"
#include "store/msgstore.h"

#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapiutil.h>
#include <mapix.h>

#include <cstring>
#include <vector>

namespace mapifixture {

Value Value::Long(ULONG tag, LONG v) {
  Value x;
  x.tag = tag;
  x.i = v;
  return x;
}

Value Value::Bool(ULONG tag, bool v) {
  Value x;
  x.tag = tag;
  x.i = v ? 1 : 0;
  return x;
}

Value Value::Time(ULONG tag, const FILETIME& ft) {
  Value x;
  x.tag = tag;
  x.i = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return x;
}

Value Value::UnixTime(ULONG tag, int64_t seconds) {
  Value x;
  x.tag = tag;
  x.i = seconds * 10000000LL + 116444736000000000LL;
  return x;
}

Value Value::String(ULONG tag, std::string v) {
  Value x;
  x.tag = tag;
  x.bytes = std::move(v);
  return x;
}

Value Value::Binary(ULONG tag, std::string v) {
  Value x;
  x.tag = tag;
  x.bytes = std::move(v);
  return x;
}

Value Value::MultiString(ULONG tag, std::vector<std::string> v) {
  Value x;
  x.tag = tag;
  x.mv = std::move(v);
  return x;
}

Value Value::Generated(ULONG tag, uint64_t size, std::function<void(uint64_t, char*, size_t)> generate) {
  Value x;
  x.tag = tag;
  x.size = size;
  x.generate = std::move(generate);
  return x;
}

Recipient Recipient::make(ULONG type, const std::string& name, const std::string& address) {
  Recipient r;
  r.props = {Value::Long(PR_RECIPIENT_TYPE, static_cast<LONG>(type)), Value::String(PR_DISPLAY_NAME_A, name),
             Value::String(PR_EMAIL_ADDRESS_A, address), Value::String(PR_ADDRTYPE_A, "SMTP")};
  return r;
}

Attachment Attachment::file(const std::string& name, std::string data) {
  Attachment a;
  a.props = {Value::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), Value::String(PR_ATTACH_LONG_FILENAME_A, name),
             Value::String(PR_ATTACH_FILENAME_A, name), Value::Binary(PR_ATTACH_DATA_BIN, std::move(data))};
  return a;
}

Attachment Attachment::message(const std::string& displayName, MessageDef def) {
  Attachment a;
  a.props = {Value::Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), Value::String(PR_DISPLAY_NAME_A, displayName)};
  a.embedded = std::make_shared<MessageDef>(std::move(def));
  return a;
}

namespace {

using tmapi::Prop;
using tmapi::PropRow;

const size_t kPiece = 64 * 1024;

template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

Prop toProp(const Value& v) {
  Prop p;
  p.tag = v.tag;
  p.i = v.i;
  p.d = v.d;
  p.bytes = v.bytes;
  p.mv = v.mv;
  return p;
}

HRESULT fail(HRESULT hr, IMAPIProp* obj, const std::string& what, std::string& error) {
  error = what;
  LPMAPIERROR err = nullptr;
  if (obj && SUCCEEDED(obj->GetLastError(hr, 0, &err)) && err) {
    if (err->lpszError) error += ": " + std::string(reinterpret_cast<const char*>(err->lpszError));
    MAPIFreeBuffer(err);
  }
  return hr;
}

HRESULT setValues(IMAPIProp* obj, const std::vector<Value>& values, std::string& error) {
  PropRow row;
  for (const Value& v : values)
    if (!v.generate) row.push_back(toProp(v));
  if (!row.empty()) {
    ULONG count = 0;
    LPSPropValue mapi = nullptr;
    HRESULT hr = tmapi::rowToMAPI(row, nullptr, &count, &mapi);
    if (FAILED(hr)) return fail(hr, nullptr, "out of memory", error);
    LPSPropProblemArray problems = nullptr;
    hr = obj->SetProps(count, mapi, &problems);
    MAPIFreeBuffer(mapi);
    if (SUCCEEDED(hr) && problems && problems->cProblem) {
      char tag[16];
      snprintf(tag, sizeof tag, "0x%08X", static_cast<unsigned>(problems->aProblem[0].ulPropTag));
      MAPIFreeBuffer(problems);
      error = std::string("the store refused the value ") + tag;
      return MAPI_E_INVALID_PARAMETER;
    }
    MAPIFreeBuffer(problems);
    if (FAILED(hr)) return fail(hr, obj, "SetProps failed", error);
  }
  for (const Value& v : values) {
    if (!v.generate) continue;
    Held<IUnknown> unk;
    HRESULT hr = obj->OpenProperty(v.tag, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY, &unk.p);
    if (FAILED(hr)) return fail(hr, obj, "OpenProperty for a generated value failed", error);
    IStream* s = static_cast<IStream*>(unk.p);
    std::vector<char> buf(kPiece);
    for (uint64_t off = 0; off < v.size; off += kPiece) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, v.size - off));
      v.generate(off, buf.data(), n);
      ULONG put = 0;
      hr = s->Write(buf.data(), static_cast<ULONG>(n), &put);
      if (FAILED(hr) || put != n) {
        error = "writing a generated value failed";
        return FAILED(hr) ? hr : MAPI_E_DISK_ERROR;
      }
    }
    hr = s->Commit(0);
    if (FAILED(hr)) return fail(hr, nullptr, "committing a generated value failed", error);
  }
  return S_OK;
}

HRESULT fillMessage(IMessage* msg, const MessageDef& def, std::string& error);

HRESULT addAttachment(IMessage* msg, const Attachment& a, std::string& error) {
  Held<IAttach> att;
  ULONG num = 0;
  HRESULT hr = msg->CreateAttach(nullptr, 0, &num, &att.p);
  if (FAILED(hr)) return fail(hr, msg, "CreateAttach failed", error);
  hr = setValues(att.p, a.props, error);
  if (FAILED(hr)) return hr;
  if (a.embedded) {
    Held<IUnknown> unk;
    hr = att.p->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, &unk.p);
    if (FAILED(hr)) return fail(hr, att.p, "opening the attachment's message failed", error);
    IMessage* inner = static_cast<IMessage*>(unk.p);
    hr = fillMessage(inner, *a.embedded, error);
    if (FAILED(hr)) return hr;
    hr = inner->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return fail(hr, inner, "saving the attachment's message failed", error);
  }
  hr = att.p->SaveChanges(KEEP_OPEN_READWRITE);
  if (FAILED(hr)) return fail(hr, att.p, "saving the attachment failed", error);
  return S_OK;
}

HRESULT fillMessage(IMessage* msg, const MessageDef& def, std::string& error) {
  HRESULT hr = setValues(msg, def.props, error);
  if (FAILED(hr)) return hr;
  if (!def.recipients.empty()) {
    LPADRLIST list = nullptr;
    size_t n = def.recipients.size();
    hr = MAPIAllocateBuffer(CbNewADRLIST(n), reinterpret_cast<LPVOID*>(&list));
    if (FAILED(hr)) return fail(hr, nullptr, "out of memory", error);
    memset(list, 0, CbNewADRLIST(n));
    for (size_t k = 0; k < n; ++k) {
      PropRow row;
      for (const Value& v : def.recipients[k].props) row.push_back(toProp(v));
      hr = tmapi::rowToMAPI(row, nullptr, &list->aEntries[k].cValues, &list->aEntries[k].rgPropVals);
      if (FAILED(hr)) {
        FreePadrlist(list);
        return fail(hr, nullptr, "out of memory", error);
      }
      list->cEntries = static_cast<ULONG>(k + 1);
    }
    hr = msg->ModifyRecipients(MODRECIP_ADD, list);
    FreePadrlist(list);
    if (FAILED(hr)) return fail(hr, msg, "ModifyRecipients failed", error);
  }
  for (const Attachment& a : def.attachments) {
    hr = addAttachment(msg, a, error);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

namespace {

struct OpenedStore {
  tmapi::MsgStore* store = nullptr;
  tmapi::ObjectId folder = 0;
  ~OpenedStore() {
    if (store) store->Release();
  }
};

HRESULT openFolder(const std::string& name, Folder folder, OpenedStore& out, std::string& error) {
  std::string path = name;
  if (name.find('/') == std::string::npos) {
    mapiprofile::Profile profile;
    HRESULT hr = mapiprofile::load(name, profile, error);
    if (FAILED(hr)) return hr;
    path = profile.storePath;
  }
  // The store's identity first, so that the store object can be opened.
  tmapi::StoreDb* raw = nullptr;
  HRESULT hr = tmapi::StoreDb::open(path, &raw, error);
  if (FAILED(hr)) return hr;
  MAPIUID uid = raw->uid();
  delete raw;
  hr = tmapi::MsgStore::open(path, uid, "", "", &out.store, error);
  if (FAILED(hr)) return hr;
  const tmapi::StoreFolders& f = out.store->db()->folders();
  switch (folder) {
    case Folder::Inbox: out.folder = f.inbox; break;
    case Folder::Outbox: out.folder = f.outbox; break;
    case Folder::SentItems: out.folder = f.sentItems; break;
    case Folder::DeletedItems: out.folder = f.deletedItems; break;
    case Folder::Drafts: out.folder = f.drafts; break;
  }
  if (!out.folder) {
    error = "the store has no such folder";
    return MAPI_E_NOT_FOUND;
  }
  return S_OK;
}

HRESULT storeMessage(const OpenedStore& os, const MessageDef& def, std::string& entryId, std::string& error) {
  Held<IMAPIFolder> fld{tmapi::FolderObj::make(os.store, os.folder, true)};
  Held<IMessage> msg;
  HRESULT hr = fld.p->CreateMessage(nullptr, 0, &msg.p);
  if (FAILED(hr)) return fail(hr, fld.p, "CreateMessage failed", error);
  hr = fillMessage(msg.p, def, error);
  if (FAILED(hr)) return hr;
  hr = msg.p->SaveChanges(KEEP_OPEN_READWRITE);
  if (FAILED(hr)) return fail(hr, msg.p, "saving the message failed", error);
  LPSPropValue eid = nullptr;
  hr = HrGetOneProp(msg.p, PR_ENTRYID, &eid);
  if (FAILED(hr)) return fail(hr, msg.p, "the new message has no entry identifier", error);
  entryId.assign(reinterpret_cast<const char*>(eid->Value.bin.lpb), eid->Value.bin.cb);
  MAPIFreeBuffer(eid);
  return S_OK;
}

}  // namespace

HRESULT addMessage(const std::string& store, const MessageDef& def, std::string& entryId, std::string& error,
                   Folder folder) {
  entryId.clear();
  error.clear();
  OpenedStore os;
  HRESULT hr = openFolder(store, folder, os, error);
  if (FAILED(hr)) return hr;
  return storeMessage(os, def, entryId, error);
}

HRESULT addMessages(const std::string& store, const std::vector<MessageDef>& defs, std::vector<std::string>& entryIds,
                    std::string& error, Folder folder) {
  entryIds.clear();
  error.clear();
  OpenedStore os;
  HRESULT hr = openFolder(store, folder, os, error);
  if (FAILED(hr)) return hr;
  // One transaction around all: each message's own save nests in it.
  tmapi::StoreDb& db = *os.store->db();
  hr = db.begin();
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  std::vector<std::string> ids;
  ids.reserve(defs.size());
  for (const MessageDef& def : defs) {
    std::string eid;
    hr = storeMessage(os, def, eid, error);
    if (FAILED(hr)) {
      db.rollback();
      return hr;
    }
    ids.push_back(std::move(eid));
  }
  hr = db.commit();
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  entryIds = std::move(ids);
  return S_OK;
}

}  // namespace mapifixture
