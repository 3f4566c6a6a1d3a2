// IMessage::CopyTo of the store, and the named-property calls.
//
// The copy reaches the destination through its public interface only
// (SetProps, OpenProperty, ModifyRecipients, CreateAttach, SaveChanges), so
// any IMessage can receive it: another store message, or a message on a
// compound file when a message is exported.
#include "store/message.h"

#include "store/msgstore.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapiutil.h>
#include <mapix.h>

#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace tmapi {

namespace {

const size_t kCopyPiece = 64 * 1024;
const ULONG kFirstNamedId = 0x8000;

// Values that belong to the source's place in its store and its access.
const ULONG kNeverCopied[] = {PR_ENTRYID,       PR_RECORD_KEY,       PR_PARENT_ENTRYID, PR_STORE_ENTRYID,
                              PR_STORE_RECORD_KEY, PR_OBJECT_TYPE,   PR_INSTANCE_KEY,   PR_ATTACH_NUM,
                              PR_ATTACH_SIZE,    PR_ROWID,            PR_ACCESS,         PR_ACCESS_LEVEL};

template <typename T>
struct Releaser {
  T* p = nullptr;
  ~Releaser() {
    if (p) p->Release();
  }
};

struct BufferFree {
  void* p = nullptr;
  ~BufferFree() { MAPIFreeBuffer(p); }
};

HRESULT copyStream(IMAPIProp* src, IMAPIProp* dest, ULONG srcTag, ULONG destTag, std::string& text) {
  Releaser<IUnknown> in, out;
  HRESULT hr = src->OpenProperty(srcTag, &IID_IStream, 0, 0, &in.p);
  if (FAILED(hr)) {
    text = "the value " + tagText(srcTag) + " could not be opened for reading";
    return hr;
  }
  hr = dest->OpenProperty(destTag, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY, &out.p);
  if (FAILED(hr)) {
    text = "the destination refused a stream for " + tagText(destTag);
    return hr;
  }
  IStream* r = static_cast<IStream*>(in.p);
  IStream* w = static_cast<IStream*>(out.p);
  std::vector<char> buf(kCopyPiece);
  for (;;) {
    ULONG got = 0;
    hr = r->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (FAILED(hr)) {
      text = "the value " + tagText(srcTag) + " could not be read";
      return hr;
    }
    if (got == 0) break;
    ULONG put = 0;
    hr = w->Write(buf.data(), got, &put);
    if (FAILED(hr) || put != got) {
      text = "the destination refused data for " + tagText(destTag);
      return FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_DISK;
    }
  }
  hr = w->Commit(0);
  if (FAILED(hr)) text = "the destination could not commit " + tagText(destTag);
  return hr;
}

// Maps the source's named property ids to the destination's (creating
// names there). Ids without a name on either side are left out.
void mapNamedIds(IMAPIProp* src, IMAPIProp* dest, const std::vector<ULONG>& tags, std::map<ULONG, ULONG>& map) {
  std::vector<ULONG> named;
  for (ULONG t : tags)
    if (PROP_ID(t) >= kFirstNamedId) named.push_back(PROP_TAG(PT_UNSPECIFIED, PROP_ID(t)));
  if (named.empty()) return;
  BufferFree arrBuf;
  if (FAILED(MAPIAllocateBuffer(CbNewSPropTagArray(named.size()), &arrBuf.p))) return;
  LPSPropTagArray arr = static_cast<LPSPropTagArray>(arrBuf.p);
  arr->cValues = static_cast<ULONG>(named.size());
  for (size_t k = 0; k < named.size(); ++k) arr->aulPropTag[k] = named[k];
  ULONG count = 0;
  LPMAPINAMEID* names = nullptr;
  HRESULT hr = src->GetNamesFromIDs(&arr, nullptr, 0, &count, &names);
  BufferFree namesBuf{names};
  if (FAILED(hr) || count != named.size() || !names) return;
  // Only names that exist go to the destination.
  std::vector<LPMAPINAMEID> given;
  std::vector<ULONG> ids;
  for (ULONG k = 0; k < count; ++k) {
    if (!names[k]) continue;
    given.push_back(names[k]);
    ids.push_back(PROP_ID(named[k]));
  }
  if (given.empty()) return;
  LPSPropTagArray out = nullptr;
  hr = dest->GetIDsFromNames(static_cast<ULONG>(given.size()), given.data(), MAPI_CREATE, &out);
  BufferFree outBuf{out};
  if (FAILED(hr) || !out || out->cValues != given.size()) return;
  for (size_t k = 0; k < given.size(); ++k)
    if (PROP_TYPE(out->aulPropTag[k]) != PT_ERROR) map[ids[k]] = PROP_ID(out->aulPropTag[k]);
}

// Copies every value of src into dest except the ids in `skip`: values up
// to kInlineCopy bytes with one SetProps, larger ones through streams,
// piece by piece, so no large value is ever held whole.
const ULONG kInlineCopy = 64 * 1024;

HRESULT copyValues(PropReader& reader, IMAPIProp* src, IMAPIProp* dest, const std::set<ULONG>& skip, std::string& text) {
  std::vector<ULONG> all;
  HRESULT hr = reader.ownTags(all);
  if (FAILED(hr)) {
    text = "the source's property list could not be read";
    return hr;
  }
  std::vector<ULONG> tags;
  for (ULONG t : all)
    if (PROP_TYPE(t) != PT_OBJECT && !skip.count(PROP_ID(t))) tags.push_back(t);
  if (tags.empty()) return S_OK;
  std::map<ULONG, ULONG> named;
  mapNamedIds(src, dest, tags, named);
  auto destTagOf = [&named](ULONG t) -> ULONG {
    if (PROP_ID(t) < kFirstNamedId) return t;
    auto it = named.find(PROP_ID(t));
    return it == named.end() ? 0 : PROP_TAG(PROP_TYPE(t), it->second);
  };

  PropRow batch;
  std::vector<std::pair<ULONG, ULONG>> streamed;
  for (ULONG t : tags) {
    ULONG destTag = destTagOf(t);
    if (!destTag) continue;
    Prop p;
    hr = reader.readOwn(t, kInlineCopy, p);
    if (FAILED(hr)) {
      text = "the source's value " + tagText(t) + " could not be read";
      return hr;
    }
    if (PROP_TYPE(p.tag) == PT_ERROR) {
      if (p.i == MAPI_E_NOT_ENOUGH_MEMORY) streamed.emplace_back(t, destTag);
      continue;
    }
    p.tag = CHANGE_PROP_TYPE(destTag, PROP_TYPE(p.tag));
    batch.push_back(std::move(p));
  }
  if (!batch.empty()) {
    ULONG count = 0;
    LPSPropValue values = nullptr;
    hr = rowToMAPI(batch, nullptr, &count, &values);
    if (FAILED(hr)) {
      text = "out of memory";
      return hr;
    }
    LPSPropProblemArray problems = nullptr;
    hr = dest->SetProps(count, values, &problems);
    MAPIFreeBuffer(problems);  // values the destination does not take are left out
    MAPIFreeBuffer(values);
    if (FAILED(hr)) {
      text = "the destination refused the values";
      return hr;
    }
  }
  for (const auto& s : streamed) {
    hr = copyStream(src, dest, s.first, s.second, text);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT copyRecipients(MessageObj* src, IMessage* dest, std::string& text) {
  std::vector<PropRow> rows;
  HRESULT hr = src->recipientRows(rows);
  if (FAILED(hr)) {
    text = "the recipients could not be read: " + src->db()->lastError();
    return hr;
  }
  if (rows.empty()) return S_OK;
  LPADRLIST list = nullptr;
  hr = MAPIAllocateBuffer(CbNewADRLIST(rows.size()), reinterpret_cast<LPVOID*>(&list));
  if (FAILED(hr)) {
    text = "out of memory";
    return hr;
  }
  memset(list, 0, CbNewADRLIST(rows.size()));
  for (size_t k = 0; k < rows.size(); ++k) {
    PropRow r;
    for (const Prop& p : rows[k])
      if (PROP_TYPE(p.tag) != PT_ERROR && PROP_ID(p.tag) != PROP_ID(PR_ROWID) &&
          PROP_ID(p.tag) != PROP_ID(PR_INSTANCE_KEY))
        r.push_back(p);
    hr = rowToMAPI(r, nullptr, &list->aEntries[k].cValues, &list->aEntries[k].rgPropVals);
    if (FAILED(hr)) {
      FreePadrlist(list);
      text = "out of memory";
      return hr;
    }
    list->cEntries = static_cast<ULONG>(k + 1);
  }
  hr = dest->ModifyRecipients(MODRECIP_ADD, list);
  FreePadrlist(list);
  if (FAILED(hr)) text = "the destination refused the recipients";
  return hr;
}

HRESULT copyAttachments(MessageObj* src, IMessage* dest, std::string& text) {
  std::vector<ULONG> nums;
  HRESULT hr = src->attachmentNumbers(nums);
  if (FAILED(hr)) {
    text = "the attachments could not be listed: " + src->db()->lastError();
    return hr;
  }
  std::set<ULONG> skip;
  for (ULONG t : kNeverCopied) skip.insert(PROP_ID(t));
  for (ULONG num : nums) {
    Releaser<IAttach> sa, da;
    hr = src->OpenAttach(num, nullptr, 0, &sa.p);
    if (FAILED(hr)) {
      text = "attachment " + std::to_string(num) + " could not be opened";
      return hr;
    }
    ULONG newNum = 0;
    hr = dest->CreateAttach(nullptr, 0, &newNum, &da.p);
    if (FAILED(hr)) {
      text = "the destination could not create an attachment";
      return hr;
    }
    hr = copyValues(*static_cast<AttachObj*>(sa.p), sa.p, da.p, skip, text);
    if (FAILED(hr)) {
      text = "attachment " + std::to_string(num) + ": " + text;
      return hr;
    }
    Releaser<IUnknown> sm, dm;
    hr = sa.p->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &sm.p);
    if (SUCCEEDED(hr)) {
      hr = da.p->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, &dm.p);
      if (FAILED(hr)) {
        text = "the destination could not create the message of attachment " + std::to_string(num);
        return hr;
      }
      IMessage* destMsg = static_cast<IMessage*>(dm.p);
      hr = copyMessage(static_cast<MessageObj*>(static_cast<IMessage*>(sm.p)), destMsg, nullptr, text);
      if (FAILED(hr)) {
        text = "the message of attachment " + std::to_string(num) + ": " + text;
        return hr;
      }
      hr = destMsg->SaveChanges(KEEP_OPEN_READWRITE);
      if (FAILED(hr)) {
        text = "the destination could not save the message of attachment " + std::to_string(num);
        return hr;
      }
    } else if (hr != MAPI_E_NOT_FOUND) {
      text = "the message of attachment " + std::to_string(num) + " could not be opened";
      return hr;
    }
    hr = da.p->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
      text = "the destination could not save attachment " + std::to_string(num);
      return hr;
    }
  }
  return S_OK;
}

}  // namespace

HRESULT copyMessage(MessageObj* src, IMessage* dest, const SPropTagArray* excluded, std::string& text) {
  std::set<ULONG> skip;
  for (ULONG t : kNeverCopied) skip.insert(PROP_ID(t));
  bool recipients = true, attachments = true;
  if (excluded) {
    for (ULONG k = 0; k < excluded->cValues; ++k) {
      ULONG t = excluded->aulPropTag[k];
      if (t == PR_MESSAGE_RECIPIENTS) recipients = false;
      else if (t == PR_MESSAGE_ATTACHMENTS) attachments = false;
      else skip.insert(PROP_ID(t));
    }
  }
  HRESULT hr = copyValues(*src, src, dest, skip, text);
  if (SUCCEEDED(hr) && recipients) hr = copyRecipients(src, dest, text);
  if (SUCCEEDED(hr) && attachments) hr = copyAttachments(src, dest, text);
  return hr;
}

// ---- named properties

HRESULT namesFromIds(StoreDb& db, LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                     LPMAPINAMEID** names, std::string& text) {
  if (!count || !names) {
    text = "GetNamesFromIDs: no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  *count = 0;
  *names = nullptr;
  if (!tags || !*tags) {
    text = "GetNamesFromIDs: listing every name is not offered; pass the tags";
    return MAPI_E_NO_SUPPORT;
  }
  LPSPropTagArray in = *tags;
  LPMAPINAMEID* out = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (in->cValues ? in->cValues : 1)),
                                  reinterpret_cast<LPVOID*>(&out));
  if (FAILED(hr)) {
    text = "GetNamesFromIDs: out of memory";
    return hr;
  }
  bool missing = false;
  for (ULONG k = 0; k < in->cValues; ++k) {
    out[k] = nullptr;
    ULONG id = PROP_ID(in->aulPropTag[k]);
    GUID g;
    ULONG kind = 0;
    LONG lid = 0;
    std::string name;
    if (id < kFirstNamedId || FAILED(db.namedPropName(id, g, kind, lid, name)) ||
        (guid && memcmp(guid, &g, sizeof g) != 0) || (kind == MNID_ID && (flags & MAPI_NO_IDS)) ||
        (kind == MNID_STRING && (flags & MAPI_NO_STRINGS))) {
      missing = true;
      continue;
    }
    LPMAPINAMEID n = nullptr;
    LPGUID pg = nullptr;
    if (FAILED(hr = MAPIAllocateMore(sizeof(MAPINAMEID), out, reinterpret_cast<LPVOID*>(&n))) ||
        FAILED(hr = MAPIAllocateMore(sizeof(GUID), out, reinterpret_cast<LPVOID*>(&pg)))) {
      MAPIFreeBuffer(out);
      text = "GetNamesFromIDs: out of memory";
      return hr;
    }
    *pg = g;
    n->lpguid = pg;
    n->ulKind = kind;
    if (kind == MNID_ID) {
      n->Kind.lID = lid;
    } else {
      SPropValue v;
      hr = copyToMAPI(Prop::String(PROP_TAG(PT_UNICODE, 1), name), v, out);
      if (FAILED(hr)) {
        MAPIFreeBuffer(out);
        text = "GetNamesFromIDs: out of memory";
        return hr;
      }
      n->Kind.lpwstrName = v.Value.lpszW;
    }
    out[k] = n;
  }
  *count = in->cValues;
  *names = out;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT idsFromNames(StoreDb& db, ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags,
                     std::string& text) {
  if (!tags) {
    text = "GetIDsFromNames: no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  *tags = nullptr;
  if (!count || !names) {
    text = "GetIDsFromNames: listing every name is not offered; pass the names";
    return MAPI_E_NO_SUPPORT;
  }
  LPSPropTagArray out = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(count), reinterpret_cast<LPVOID*>(&out));
  if (FAILED(hr)) {
    text = "GetIDsFromNames: out of memory";
    return hr;
  }
  out->cValues = count;
  bool missing = false;
  bool create = (flags & MAPI_CREATE) != 0;
  for (ULONG k = 0; k < count; ++k) {
    out->aulPropTag[k] = PROP_TAG(PT_ERROR, 0);
    const MAPINAMEID* n = names[k];
    if (!n || !n->lpguid || (n->ulKind == MNID_STRING && !n->Kind.lpwstrName)) {
      MAPIFreeBuffer(out);
      text = "GetIDsFromNames: name " + std::to_string(k) + " is malformed";
      return MAPI_E_INVALID_PARAMETER;
    }
    std::string name;
    if (n->ulKind == MNID_STRING) {
      SPropValue v;
      v.ulPropTag = PROP_TAG(PT_UNICODE, 1);
      v.Value.lpszW = n->Kind.lpwstrName;
      Prop p;
      Prop::fromMAPI(v, p);
      name = p.bytes;
    }
    ULONG id = 0;
    hr = db.namedPropId(*n->lpguid, n->ulKind, n->ulKind == MNID_ID ? n->Kind.lID : 0, name, create, id);
    if (hr == MAPI_E_NOT_FOUND) {
      missing = true;
      continue;
    }
    if (FAILED(hr)) {
      MAPIFreeBuffer(out);
      text = "GetIDsFromNames: " + db.lastError();
      return hr;
    }
    out->aulPropTag[k] = PROP_TAG(PT_UNSPECIFIED, id);
  }
  *tags = out;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

}  // namespace tmapi
