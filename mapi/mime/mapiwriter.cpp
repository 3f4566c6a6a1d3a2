#include "mapiwriter.h"

#include "mimereader.h"
#include "mimetags.h"
#include "textconv.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mapimime {

namespace {

// Releases an interface at the end of a scope.
template <class T>
class Released {
 public:
  Released() = default;
  ~Released() {
    if (m_p) m_p->Release();
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  T* get() const { return m_p; }
  T** out() { return &m_p; }
  LPUNKNOWN* unknownOut() { return reinterpret_cast<LPUNKNOWN*>(&m_p); }
  T* operator->() const { return m_p; }

 private:
  T* m_p = nullptr;
};

// Frees a MAPI buffer at the end of a scope.
class FreedBuffer {
 public:
  explicit FreedBuffer(void* p = nullptr) : m_p(p) {}
  ~FreedBuffer() {
    if (m_p) MAPIFreeBuffer(m_p);
  }
  FreedBuffer(const FreedBuffer&) = delete;
  FreedBuffer& operator=(const FreedBuffer&) = delete;
  void reset(void* p) {
    if (m_p) MAPIFreeBuffer(m_p);
    m_p = p;
  }

 private:
  void* m_p;
};

std::string hexCode(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// Fills one SPropValue; memory for the value is allocated more on `parent`.
HRESULT fillValue(const MailProp& p, LPVOID parent, SPropValue& v) {
  memset(&v, 0, sizeof v);
  v.ulPropTag = p.tag;
  switch (PROP_TYPE(p.tag)) {
    case PT_UNICODE: {
      std::wstring w = utf8ToWide(p.bytes);
      LPVOID mem = nullptr;
      HRESULT hr = MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * sizeof(wchar_t)), parent, &mem);
      if (FAILED(hr)) return hr;
      memcpy(mem, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
      v.Value.lpszW = static_cast<LPWSTR>(mem);
      return S_OK;
    }
    case PT_STRING8:
    case PT_BINARY: {
      LPVOID mem = nullptr;
      ULONG n = static_cast<ULONG>(p.bytes.size() + (PROP_TYPE(p.tag) == PT_STRING8 ? 1 : 0));
      HRESULT hr = MAPIAllocateMore(n ? n : 1, parent, &mem);
      if (FAILED(hr)) return hr;
      memcpy(mem, p.bytes.c_str(), n);
      if (PROP_TYPE(p.tag) == PT_STRING8) {
        v.Value.lpszA = static_cast<LPSTR>(mem);
      } else {
        v.Value.bin.cb = static_cast<ULONG>(p.bytes.size());
        v.Value.bin.lpb = static_cast<LPBYTE>(mem);
      }
      return S_OK;
    }
    case PT_LONG:
      v.Value.l = p.l;
      return S_OK;
    case PT_BOOLEAN:
      v.Value.b = p.l ? 1 : 0;
      return S_OK;
    case PT_SYSTIME:
      v.Value.ft = p.ft;
      return S_OK;
    default:
      return MAPI_E_INVALID_TYPE;
  }
}

bool isLongText(const MailProp& p) {
  return PROP_TYPE(p.tag) == PT_UNICODE && p.bytes.size() > MapiWriter::kStreamTextAbove;
}

// Writes bytes into a property through IStream, in pieces.
HRESULT streamBytes(LPMAPIPROP object, ULONG tag, const std::string& bytes, std::string& error) {
  Released<IStream> stream;
  HRESULT hr = object->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, stream.unknownOut());
  if (FAILED(hr)) {
    error = mapiErrorText(object, hr, "Cannot open a property stream to write");
    return hr;
  }
  for (size_t off = 0; off < bytes.size(); off += MapiWriter::kPieceSize) {
    ULONG n = static_cast<ULONG>(std::min(MapiWriter::kPieceSize, bytes.size() - off));
    ULONG written = 0;
    hr = stream->Write(bytes.data() + off, n, &written);
    if (FAILED(hr) || written != n) {
      error = "Cannot write a property stream (" + hexCode(hr) + ")";
      return FAILED(hr) ? hr : MAPI_E_DISK_ERROR;
    }
  }
  hr = stream->Commit(STGC_DEFAULT);
  if (FAILED(hr)) error = "Cannot commit a property stream (" + hexCode(hr) + ")";
  return hr;
}

// Sets the properties; long texts go through streams (as UTF-8 under the
// PT_STRING8 form of their tag: the store keeps text as UTF-8).
HRESULT setProps(LPMAPIPROP object, const MailProps& props, std::string& error) {
  std::vector<const MailProp*> direct;
  for (const auto& p : props) {
    if (isLongText(p)) {
      HRESULT hr = streamBytes(object, CHANGE_PROP_TYPE(p.tag, PT_STRING8), p.bytes, error);
      if (FAILED(hr)) return hr;
    } else {
      direct.push_back(&p);
    }
  }
  if (direct.empty()) return S_OK;
  LPSPropValue values = nullptr;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * direct.size()),
                                  reinterpret_cast<LPVOID*>(&values));
  if (FAILED(hr)) {
    error = "Out of memory for property values";
    return hr;
  }
  FreedBuffer freeValues(values);
  for (size_t i = 0; i < direct.size(); ++i) {
    hr = fillValue(*direct[i], values, values[i]);
    if (FAILED(hr)) {
      error = "Out of memory for property values";
      return hr;
    }
  }
  LPSPropProblemArray problems = nullptr;
  hr = object->SetProps(static_cast<ULONG>(direct.size()), values, &problems);
  // A property the provider will not take (one it computes itself) is not
  // a reason to refuse the message.
  if (problems) MAPIFreeBuffer(problems);
  if (FAILED(hr)) error = mapiErrorText(object, hr, "Cannot set the properties");
  return hr;
}

// Writes a long text from its part, converted to UTF-8 piece by piece, as
// the PT_STRING8 form of its tag (the store keeps text as UTF-8).
HRESULT streamText(LPMAPIPROP object, const MailStreamedText& text, std::string& error) {
  Released<IStream> stream;
  HRESULT hr = object->OpenProperty(CHANGE_PROP_TYPE(text.tag, PT_STRING8), &IID_IStream, 0,
                                    MAPI_CREATE | MAPI_MODIFY, stream.unknownOut());
  if (FAILED(hr)) {
    error = mapiErrorText(object, hr, "Cannot open a body stream to write");
    return hr;
  }
  Utf8Converter converter(text.charset.empty() ? nullptr : text.charset.c_str());
  DecodedReader reader(text.part.get());
  std::vector<char> buf(MapiWriter::kPieceSize);
  std::string utf8;
  bool end = false;
  while (!end) {
    ssize_t n = reader.read(buf.data(), buf.size());
    if (n < 0) {
      error = "Cannot read a body text from the input";
      return MAPI_E_DISK_ERROR;
    }
    if (n > 0) {
      converter.feed(buf.data(), static_cast<size_t>(n), utf8);
    } else {
      converter.finish(utf8);
      end = true;
    }
    // Whole pieces to the store, the rest at the end.
    if (utf8.empty() || (!end && utf8.size() < MapiWriter::kPieceSize)) continue;
    ULONG written = 0;
    hr = stream->Write(utf8.data(), static_cast<ULONG>(utf8.size()), &written);
    if (FAILED(hr) || written != utf8.size()) {
      error = "Cannot write a body stream (" + hexCode(hr) + ")";
      return FAILED(hr) ? hr : MAPI_E_DISK_ERROR;
    }
    utf8.clear();
  }
  hr = stream->Commit(STGC_DEFAULT);
  if (FAILED(hr)) error = "Cannot commit a body stream (" + hexCode(hr) + ")";
  return hr;
}

// How many of `wanted` new names the store can still map while staying
// below `limit` named-property ids. Stores hand out ids one after another
// from 0x8000, so the ids just below the limit tell: those in use are taken
// from the room. A store that cannot tell gets no new names.
ULONG roomForNames(LPMESSAGE message, ULONG wanted, ULONG limit) {
  const ULONG kFirstNamedId = 0x8000, kIds = 0xFFFE - kFirstNamedId + 1;
  if (limit > kIds) limit = kIds;
  if (wanted == 0 || limit == 0) return 0;
  if (wanted > limit) wanted = limit;
  LPSPropTagArray probe = nullptr;
  if (FAILED(MAPIAllocateBuffer(CbNewSPropTagArray(wanted), reinterpret_cast<LPVOID*>(&probe)))) return 0;
  FreedBuffer freeProbe(probe);
  probe->cValues = wanted;
  for (ULONG k = 0; k < wanted; ++k) probe->aulPropTag[k] = PROP_TAG(PT_UNSPECIFIED, kFirstNamedId + limit - wanted + k);
  ULONG count = 0;
  LPMAPINAMEID* names = nullptr;
  HRESULT hr = message->GetNamesFromIDs(&probe, nullptr, 0, &count, &names);
  FreedBuffer freeNames(names);
  if (FAILED(hr) || !names || count != wanted) return 0;
  ULONG room = 0;
  for (ULONG k = 0; k < count; ++k)
    if (!names[k]) ++room;
  return room;
}

// X- headers become named properties of PS_INTERNET_HEADERS. A name the
// store already maps is always used; a new one only while the store has
// used fewer than MapiWriter::headerNameIdLimit() named-property ids:
// mail from outside, with made-up names by the thousand, would otherwise
// use up the store's 32,767 ids for good. The headers left out stay in
// PR_TRANSPORT_MESSAGE_HEADERS. The fields an attachment keeps of its part
// are set on `target`, the attachment, with the names of its message.
HRESULT setHeaderProps(LPMESSAGE message, const std::vector<MailHeaderProp>& headers, std::string& error,
                       LPMAPIPROP target = nullptr) {
  if (headers.empty()) return S_OK;
  std::vector<std::wstring> names;
  names.reserve(headers.size());
  for (const auto& h : headers) names.push_back(utf8ToWide(h.name));
  std::vector<MAPINAMEID> ids(headers.size());
  std::vector<LPMAPINAMEID> idPtrs(headers.size());
  GUID guid = kPsInternetHeaders;
  for (size_t i = 0; i < headers.size(); ++i) {
    ids[i].lpguid = &guid;
    ids[i].ulKind = MNID_STRING;
    ids[i].Kind.lpwstrName = const_cast<LPWSTR>(names[i].c_str());
    idPtrs[i] = &ids[i];
  }
  // (A store whose names are used up says MAPI_E_TOO_BIG: the message is
  // delivered without these properties all the same.)
  LPSPropTagArray tags = nullptr;
  HRESULT hr = message->GetIDsFromNames(static_cast<ULONG>(ids.size()), idPtrs.data(), 0, &tags);
  FreedBuffer freeTags(tags);
  if (hr == MAPI_E_TOO_BIG) return S_OK;
  if (FAILED(hr) || !tags || tags->cValues != headers.size()) {
    error = mapiErrorText(message, hr, "Cannot name the Internet header properties");
    return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
  }
  std::vector<ULONG> propTags(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  std::vector<size_t> unmapped;
  for (size_t i = 0; i < propTags.size(); ++i)
    if (PROP_TYPE(propTags[i]) == PT_ERROR) unmapped.push_back(i);
  ULONG room = unmapped.empty() ? 0
                                : roomForNames(message, static_cast<ULONG>(unmapped.size()),
                                               MapiWriter::headerNameIdLimit());
  if (room > 0) {
    std::vector<LPMAPINAMEID> fresh;
    for (ULONG k = 0; k < room; ++k) fresh.push_back(idPtrs[unmapped[k]]);
    LPSPropTagArray created = nullptr;
    hr = message->GetIDsFromNames(room, fresh.data(), MAPI_CREATE, &created);
    FreedBuffer freeCreated(created);
    if (hr == MAPI_E_TOO_BIG) {
      created = nullptr;
    } else if (FAILED(hr) || !created || created->cValues != room) {
      error = mapiErrorText(message, hr, "Cannot name the Internet header properties");
      return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    }
    for (ULONG k = 0; created && k < room; ++k) propTags[unmapped[k]] = created->aulPropTag[k];
  }
  MailProps props;
  for (size_t i = 0; i < propTags.size(); ++i) {
    if (PROP_TYPE(propTags[i]) == PT_ERROR) continue;  // this name is not mapped
    props.push_back(MailProp::text(PROP_TAG(PT_UNICODE, PROP_ID(propTags[i])), headers[i].value));
  }
  return setProps(target ? target : message, props, error);
}

HRESULT setRecipients(LPMESSAGE message, const std::vector<MailRecipient>& recipients, std::string& error) {
  if (recipients.empty()) return S_OK;
  LPADRLIST list = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewADRLIST(recipients.size()), reinterpret_cast<LPVOID*>(&list));
  if (FAILED(hr)) {
    error = "Out of memory for the recipient list";
    return hr;
  }
  list->cEntries = 0;
  for (const auto& r : recipients) {
    MailProps row;
    row.push_back(MailProp::longValue(PR_RECIPIENT_TYPE, static_cast<LONG>(r.type)));
    row.push_back(MailProp::text(PR_DISPLAY_NAME_W, r.name));
    row.push_back(MailProp::text(PR_EMAIL_ADDRESS_W, emailAddressValue(r.address)));
    row.push_back(MailProp::text(PR_ADDRTYPE_W, "SMTP"));
    row.push_back(MailProp::text(kPrSmtpAddress, r.address));
    row.push_back(MailProp::binary(PR_ENTRYID, oneOffEntryId(r.name, r.address)));
    row.push_back(MailProp::binary(PR_SEARCH_KEY, "SMTP:" + lowerAscii(r.address) + '\0'));
    row.push_back(MailProp::longValue(PR_DISPLAY_TYPE, DT_MAILUSER));
    row.push_back(MailProp::longValue(PR_OBJECT_TYPE, MAPI_MAILUSER));
    for (const auto& e : r.extra) row.push_back(e);
    LPSPropValue values = nullptr;
    hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * row.size()), reinterpret_cast<LPVOID*>(&values));
    if (FAILED(hr)) break;
    ADRENTRY& entry = list->aEntries[list->cEntries++];
    entry.ulReserved1 = 0;
    entry.cValues = static_cast<ULONG>(row.size());
    entry.rgPropVals = values;
    for (size_t i = 0; i < row.size() && SUCCEEDED(hr); ++i) hr = fillValue(row[i], values, values[i]);
    if (FAILED(hr)) break;
  }
  if (FAILED(hr)) {
    FreePadrlist(list);
    error = "Out of memory for the recipient list";
    return hr;
  }
  hr = message->ModifyRecipients(MODRECIP_ADD, list);
  FreePadrlist(list);
  if (FAILED(hr)) error = mapiErrorText(message, hr, "Cannot add the recipients");
  return hr;
}

HRESULT writeAttachmentData(LPATTACH attach, const MailAttachment& a, std::string& error) {
  Released<IStream> stream;
  HRESULT hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                    stream.unknownOut());
  if (FAILED(hr)) {
    error = mapiErrorText(attach, hr, "Cannot open the attachment data to write");
    return hr;
  }
  auto put = [&](const char* data, size_t n) -> HRESULT {
    ULONG written = 0;
    HRESULT whr = stream->Write(data, static_cast<ULONG>(n), &written);
    if (FAILED(whr) || written != n) {
      error = "Cannot write the attachment data (" + hexCode(whr) + ")";
      return FAILED(whr) ? whr : MAPI_E_DISK_ERROR;
    }
    return S_OK;
  };
  if (a.part.get()) {
    // The decoder hands out a few KiB at a time; the store gets whole pieces.
    DecodedReader reader(a.part.get());
    std::vector<char> buf(MapiWriter::kPieceSize);
    size_t filled = 0;
    while (true) {
      ssize_t n = reader.read(buf.data() + filled, buf.size() - filled);
      if (n < 0) {
        error = "Cannot read the attachment from the input";
        return MAPI_E_DISK_ERROR;
      }
      filled += static_cast<size_t>(n);
      if (filled == buf.size() || (n == 0 && filled > 0)) {
        hr = put(buf.data(), filled);
        if (FAILED(hr)) return hr;
        filled = 0;
      }
      if (n == 0) break;
    }
  } else if (a.entityBody.get()) {
    hr = put(a.entityHead.data(), a.entityHead.size());
    if (FAILED(hr)) return hr;
    GMimeStream* body = a.entityBody.get();
    g_mime_stream_reset(body);
    std::vector<char> buf(MapiWriter::kPieceSize);
    ssize_t n;
    while ((n = g_mime_stream_read(body, buf.data(), buf.size())) > 0) {
      hr = put(buf.data(), static_cast<size_t>(n));
      if (FAILED(hr)) return hr;
    }
    if (n < 0) {
      error = "Cannot read the signed message from the input";
      return MAPI_E_DISK_ERROR;
    }
  } else {
    for (size_t off = 0; off < a.inlineData.size(); off += MapiWriter::kPieceSize) {
      hr = put(a.inlineData.data() + off, std::min(MapiWriter::kPieceSize, a.inlineData.size() - off));
      if (FAILED(hr)) return hr;
    }
  }
  hr = stream->Commit(STGC_DEFAULT);
  if (FAILED(hr)) error = "Cannot commit the attachment data (" + hexCode(hr) + ")";
  return hr;
}

HRESULT writeAttachment(LPMESSAGE message, const MailAttachment& a, std::string& error) {
  Released<IAttach> attach;
  ULONG number = 0;
  HRESULT hr = message->CreateAttach(nullptr, 0, &number, attach.out());
  if (FAILED(hr)) {
    error = mapiErrorText(message, hr, "Cannot create an attachment");
    return hr;
  }
  MailProps props = a.props;
  props.push_back(MailProp::longValue(PR_ATTACH_METHOD, static_cast<LONG>(a.method)));
  props.push_back(MailProp::longValue(PR_RENDERING_POSITION, -1));
  hr = setProps(attach.get(), props, error);
  if (FAILED(hr)) return hr;
  hr = setHeaderProps(message, a.headers, error, attach.get());
  if (FAILED(hr)) return hr;
  if (a.method == ATTACH_EMBEDDED_MSG && a.embedded) {
    Released<IMessage> inner;
    hr = attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, inner.unknownOut());
    if (FAILED(hr)) {
      error = mapiErrorText(attach.get(), hr, "Cannot create the attached message");
      return hr;
    }
    hr = MapiWriter::write(*a.embedded, inner.get(), error);
    if (FAILED(hr)) return hr;
    hr = inner->SaveChanges(0);
    if (FAILED(hr)) {
      error = mapiErrorText(inner.get(), hr, "Cannot save the attached message");
      return hr;
    }
  } else {
    // PR_ATTACH_SIZE is the store's to keep (the size of the whole
    // attachment object).
    hr = writeAttachmentData(attach.get(), a, error);
    if (FAILED(hr)) return hr;
  }
  hr = attach->SaveChanges(0);
  if (FAILED(hr)) error = mapiErrorText(attach.get(), hr, "Cannot save an attachment");
  return hr;
}

}  // namespace

ULONG MapiWriter::headerNameIdLimit() {
  const char* v = getenv("TOLVANE_MAPI_HEADER_NAME_IDS");
  if (!v || !*v) return kHeaderNameIdLimit;
  char* end = nullptr;
  unsigned long n = strtoul(v, &end, 10);
  return end && !*end && *v != '-' ? static_cast<ULONG>(std::min<unsigned long>(n, 0x7FFF)) : kHeaderNameIdLimit;
}

std::string mapiErrorText(LPMAPIPROP object, HRESULT hr, const std::string& what) {
  std::string text = what;
  LPMAPIERROR info = nullptr;
  if (object && SUCCEEDED(object->GetLastError(hr, 0, &info)) && info) {
    if (info->lpszError && *info->lpszError) text += ": " + std::string(info->lpszError);
    MAPIFreeBuffer(info);
  }
  return text + " (" + hexCode(hr) + ")";
}

HRESULT MapiWriter::write(const MailItem& item, LPMESSAGE message, std::string& error) {
  HRESULT hr = setProps(message, item.props, error);
  if (FAILED(hr)) return hr;
  for (const auto& t : item.streamedTexts) {
    hr = streamText(message, t, error);
    if (FAILED(hr)) return hr;
  }
  hr = setHeaderProps(message, item.headers, error);
  if (FAILED(hr)) return hr;
  hr = setRecipients(message, item.recipients, error);
  if (FAILED(hr)) return hr;
  for (const auto& a : item.attachments) {
    hr = writeAttachment(message, a, error);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace mapimime
