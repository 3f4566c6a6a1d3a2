// Copying a message held by IMsgOnIStg to another message (IMAPIProp::CopyTo
// and CopyProps), through the destination's public interface only: SetProps,
// streams for big values, ModifyRecipients, CreateAttach and embedded
// messages opened with OpenProperty(PR_ATTACH_DATA_OBJ). Named properties
// are mapped by name onto the destination's ids.
#include "msgfile/msgcopy.h"

#include "runtime/text.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapix.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace tmapi {
namespace msgfile {

namespace {

constexpr size_t kChunk = 64 * 1024;

std::string hexTag(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

template <typename T>
struct Rel {
  T* p = nullptr;
  ~Rel() {
    if (p) p->Release();
  }
};

struct Buf {
  void* p = nullptr;
  ~Buf() { MAPIFreeBuffer(p); }
};

class Copier {
 public:
  Copier(const NameMap& names, const CopySelection& sel, std::string& error)
      : m_names(names), m_sel(sel), m_error(error) {}

  HRESULT message(const MsgData& msg, IMessage* dest, bool top);
  HRESULT props(const PropMap& props, IMAPIProp* dest, bool top);
  HRESULT attachment(const AttachData& att, IAttach* dest);

 private:
  HRESULT fail(HRESULT hr, const std::string& what) {
    if (m_error.empty()) m_error = "CopyTo: " + what;
    return hr;
  }
  // The destination's id of a named property of ours (0: cannot be mapped).
  ULONG destId(ULONG id, IMAPIProp* dest);
  HRESULT stream(const Value& v, ULONG tag, IMAPIProp* dest);

  const NameMap& m_names;
  const CopySelection& m_sel;
  std::string& m_error;
  std::map<std::pair<IMAPIProp*, ULONG>, ULONG> m_ids;
};

ULONG Copier::destId(ULONG id, IMAPIProp* dest) {
  if (id < 0x8000) return id;
  auto key = std::make_pair(dest, id);
  auto it = m_ids.find(key);
  if (it != m_ids.end()) return it->second;
  ULONG result = 0;
  size_t index = id - 0x8000;
  if (index < m_names.props.size()) {
    const NamedProp& np = m_names.props[index];
    MAPINAMEID name{};
    GUID guid = np.guid;
    name.lpguid = &guid;
    name.ulKind = np.kind;
    std::wstring w;
    if (np.kind == MNID_ID) {
      name.Kind.lID = np.id;
    } else {
      w = utf8ToWideString(np.name);
      name.Kind.lpwstrName = &w[0];
    }
    LPMAPINAMEID names[] = {&name};
    LPSPropTagArray tags = nullptr;
    HRESULT hr = dest->GetIDsFromNames(1, names, MAPI_CREATE, &tags);
    if (SUCCEEDED(hr) && tags && tags->cValues == 1 && PROP_TYPE(tags->aulPropTag[0]) != PT_ERROR)
      result = PROP_ID(tags->aulPropTag[0]);
    MAPIFreeBuffer(tags);
  }
  m_ids[key] = result;
  return result;
}

HRESULT Copier::stream(const Value& v, ULONG tag, IMAPIProp* dest) {
  Rel<IUnknown> unk;
  HRESULT hr = dest->OpenProperty(tag, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY, &unk.p);
  if (FAILED(hr)) return fail(hr, "the destination refused a stream for " + hexTag(tag));
  IStream* out = static_cast<IStream*>(unk.p);
  std::string buf(kChunk, '\0');
  uint64_t off = 0;
  for (;;) {
    size_t got = 0;
    int err = 0;
    if (!v.big->read(off, &buf[0], buf.size(), got, err)) return fail(MAPI_E_DISK_ERROR, "reading " + hexTag(tag));
    if (got == 0) break;
    ULONG put = 0;
    hr = out->Write(buf.data(), static_cast<ULONG>(got), &put);
    if (FAILED(hr) || put != got) return fail(FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_DISK, "writing " + hexTag(tag));
    off += got;
  }
  hr = out->Commit(STGC_DEFAULT);
  return FAILED(hr) ? fail(hr, "committing " + hexTag(tag)) : S_OK;
}

HRESULT Copier::props(const PropMap& props, IMAPIProp* dest, bool top) {
  std::vector<std::pair<ULONG, const Value*>> small, big;
  std::map<ULONG, bool> present;
  if (top && m_sel.noReplace) {
    LPSPropTagArray list = nullptr;
    if (SUCCEEDED(dest->GetPropList(0, &list)) && list)
      for (ULONG k = 0; k < list->cValues; ++k) present[PROP_ID(list->aulPropTag[k])] = true;
    MAPIFreeBuffer(list);
  }
  for (const auto& e : props) {
    if (top && !m_sel.wants(e.first)) continue;
    if (present.count(e.first)) continue;
    ULONG type = PROP_TYPE(e.second.prop.tag);
    if (type == PT_OBJECT || type == PT_ERROR || type == PT_NULL) continue;
    ULONG id = destId(e.first, dest);
    if (!id) continue;  // a name the destination cannot take
    (e.second.big ? big : small).emplace_back(PROP_TAG(type, id), &e.second);
  }
  if (!small.empty()) {
    Buf values;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(small.size() * sizeof(SPropValue)), &values.p);
    if (FAILED(hr)) return fail(hr, "out of memory");
    auto* arr = static_cast<LPSPropValue>(values.p);
    memset(arr, 0, small.size() * sizeof(SPropValue));
    for (size_t k = 0; k < small.size(); ++k) {
      Prop p = small[k].second->prop;
      p.tag = small[k].first;
      hr = copyToMAPI(p, arr[k], values.p);
      if (FAILED(hr)) return fail(hr, "out of memory");
    }
    LPSPropProblemArray problems = nullptr;
    hr = dest->SetProps(static_cast<ULONG>(small.size()), arr, &problems);
    MAPIFreeBuffer(problems);  // values the destination does not take are left out
    if (FAILED(hr)) return fail(hr, "the destination refused the values");
  }
  for (const auto& b : big) {
    HRESULT hr = stream(*b.second, b.first, dest);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Copier::attachment(const AttachData& att, IAttach* dest) {
  // Everything of an attachment is copied, whatever was excluded above it.
  CopySelection all;
  Copier inner(m_names, all, m_error);
  HRESULT hr = inner.props(att.props, dest, true);
  if (FAILED(hr)) return hr;
  if (att.embedded) {
    Rel<IUnknown> unk;
    hr = dest->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, &unk.p);
    if (FAILED(hr)) return fail(hr, "the destination refused an embedded message");
    IMessage* msg = static_cast<IMessage*>(unk.p);
    hr = inner.message(*att.embedded, msg, true);
    if (FAILED(hr)) return hr;
    hr = msg->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return fail(hr, "the embedded message could not be saved");
  }
  hr = dest->SaveChanges(KEEP_OPEN_READWRITE);
  return FAILED(hr) ? fail(hr, "the attachment could not be saved") : S_OK;
}

HRESULT Copier::message(const MsgData& msg, IMessage* dest, bool top) {
  HRESULT hr = props(msg.props, dest, top);
  if (FAILED(hr)) return hr;
  if ((!top || m_sel.wants(PROP_ID(PR_MESSAGE_RECIPIENTS))) && !msg.recipients.empty()) {
    size_t n = msg.recipients.size();
    Buf list;
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(n)), &list.p);
    if (FAILED(hr)) return fail(hr, "out of memory");
    auto* adr = static_cast<LPADRLIST>(list.p);
    memset(adr, 0, CbNewADRLIST(n));
    adr->cEntries = static_cast<ULONG>(n);
    HRESULT copyHr = S_OK;
    for (size_t k = 0; k < n && SUCCEEDED(copyHr); ++k) {
      PropRow row;
      for (const Prop& p : msg.recipients[k]) {
        if (p.tag == PR_ROWID) continue;
        Prop q = p;
        ULONG id = destId(PROP_ID(p.tag), dest);
        if (!id) continue;
        q.tag = PROP_TAG(PROP_TYPE(p.tag), id);
        row.push_back(std::move(q));
      }
      copyHr = rowToMAPI(row, nullptr, &adr->aEntries[k].cValues, &adr->aEntries[k].rgPropVals);
    }
    if (SUCCEEDED(copyHr)) copyHr = dest->ModifyRecipients(MODRECIP_ADD, adr);
    for (size_t k = 0; k < n; ++k) MAPIFreeBuffer(adr->aEntries[k].rgPropVals);
    if (FAILED(copyHr)) return fail(copyHr, "the destination refused the recipients");
  }
  if (!top || m_sel.wants(PROP_ID(PR_MESSAGE_ATTACHMENTS))) {
    for (const auto& e : msg.attachments) {
      ULONG num = 0;
      Rel<IAttach> att;
      hr = dest->CreateAttach(nullptr, 0, &num, &att.p);
      if (FAILED(hr)) return fail(hr, "the destination refused an attachment");
      hr = attachment(*e.second, att.p);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

}  // namespace

bool CopySelection::wants(ULONG id) const {
  if (include) return std::find(ids.begin(), ids.end(), id) != ids.end();
  return std::find(ids.begin(), ids.end(), id) == ids.end();
}

HRESULT copyMessageTo(const MsgData& msg, const NameMap& names, const CopySelection& sel, IMessage* dest,
                      std::string& error) {
  Copier c(names, sel, error);
  return c.message(msg, dest, true);
}

HRESULT copyAttachTo(const AttachData& att, const NameMap& names, const CopySelection& sel, IAttach* dest,
                     std::string& error) {
  Copier c(names, sel, error);
  HRESULT hr = c.props(att.props, dest, true);
  if (FAILED(hr) || !att.embedded || !sel.wants(PROP_ID(PR_ATTACH_DATA_OBJ))) return hr;
  IUnknown* unk = nullptr;
  hr = dest->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, &unk);
  if (FAILED(hr)) {
    if (error.empty()) error = "CopyTo: the destination refused an embedded message";
    return hr;
  }
  IMessage* msg = static_cast<IMessage*>(unk);
  CopySelection all;
  hr = copyMessageTo(*att.embedded, names, all, msg, error);
  if (SUCCEEDED(hr)) hr = msg->SaveChanges(KEEP_OPEN_READWRITE);
  msg->Release();
  return hr;
}

}  // namespace msgfile
}  // namespace tmapi
