#include "content/mapibodypart.h"

#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "message/mapimessage.h"
#include "platform/platform.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>
#include <memory>

namespace {

// Data moves from the MAPI stream to the file in pieces of this size, so
// that no value is ever held whole and large attachments copy at disk speed.
const ULONG kCopyBufferSize = 1024 * 1024;

}  // namespace

CMapiBodyPart::CMapiBodyPart()
    : m_nType(0), m_nSource(0), m_ulPropTag(0), m_pMultipart(nullptr), m_ulAttachNum(0), m_ulSize(0),
      m_pAttachMessage(nullptr), m_lpDataAttach(nullptr), m_lpDataStream(nullptr), m_ullDataPos(0) {
  liveobjects::enter(this, liveobjects::Kind::BodyPart);
}

CMapiBodyPart::~CMapiBodyPart() {
  liveobjects::leave(this);
  releaseDataStream();
  if (!m_strFilePath.empty()) {
    platform::deleteFile(m_strFilePath);  // a file already gone is fine
    m_strFilePath.clear();
  }
}

LPMESSAGE CMapiBodyPart::mapiMessage() const {
  if (!m_pMultipart || !m_pMultipart->m_pOwnerContent || !m_pMultipart->m_pOwnerContent->m_pMessage) return nullptr;
  return m_pMultipart->m_pOwnerContent->m_pMessage->m_lpMessage;
}

HRESULT CMapiBodyPart::copyStreamToFile(LPSTREAM lpStream, platform::OutputFile& file) {
  if (!lpStream) return E_INVALIDARG;
  std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
  ULONG read = 0;
  if (FAILED(lpStream->Read(buffer.get(), kCopyBufferSize, &read))) return E_FAIL;
  while (read != 0) {
    if (!file.write(buffer.get(), read)) return E_FAIL;
    if (FAILED(lpStream->Read(buffer.get(), kCopyBufferSize, &read))) return E_FAIL;
  }
  return S_OK;
}

void CMapiBodyPart::writeToFile(const std::string& path) {
  if (!m_strFilePath.empty()) return;
  // The part takes the file only once it is written: a failed write leaves
  // the part unwritten, so that the caller can try another path, and takes
  // away a file it made.
  if (isAttachedMessage()) {
    writeAttachedMessage(path);
  } else if (m_nSource == SOURCE_MESSAGE_PROPERTY || (m_nSource == SOURCE_ATTACHMENT && m_nType == PART_ATTACHMENT)) {
    writeData(path);
  } else {
    return;
  }
  m_strFilePath = path;
}

HRESULT CMapiBodyPart::openAttachedMessage(LPMESSAGE* lppMessage) const {
  if (!lppMessage) return E_INVALIDARG;
  *lppMessage = nullptr;
  LPMESSAGE lpOwner = m_pAttachMessage ? m_pAttachMessage->m_lpMessage : nullptr;
  if (!lpOwner) return E_FAIL;
  LPATTACH lpAttach = nullptr;
  HRESULT hr = lpOwner->OpenAttach(m_ulAttachNum, &IID_IAttachment, 0, &lpAttach);
  if (FAILED(hr) || !lpAttach) return FAILED(hr) ? hr : E_FAIL;
  LPMESSAGE lpEmbedded = nullptr;
  hr = lpAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&lpEmbedded));
  // The embedded message keeps what it needs of its attachment.
  lpAttach->Release();
  if (SUCCEEDED(hr) && !lpEmbedded) hr = E_FAIL;
  if (FAILED(hr)) {
    if (lpEmbedded) lpEmbedded->Release();
    return hr;
  }
  *lppMessage = lpEmbedded;
  return S_OK;
}

void CMapiBodyPart::writeAttachedMessage(const std::string& path) {
  struct Opened {
    LPMESSAGE lpEmbedded = nullptr;
    ~Opened() {
      if (lpEmbedded) lpEmbedded->Release();
    }
  } opened;
  HRESULT hr = openAttachedMessage(&opened.lpEmbedded);
  // The path is claimed the way every part file is (new and private, or a
  // regular file of the user; never through a link) before the .msg writer
  // replaces it.
  bool created = false;
  if (SUCCEEDED(hr)) {
    platform::OutputFile claim;
    if (claim.open(path)) {
      created = claim.created();
      claim.close();
    } else {
      hr = E_FAIL;
    }
  }
  if (SUCCEEDED(hr)) {
    hr = CMapiMessage::SaveToMSG(opened.lpEmbedded, path);
    if (FAILED(hr) && created) platform::deleteFile(path);
  }
  if (FAILED(hr)) throw CMapiException("Unable to write part to file");
}

void CMapiBodyPart::writeData(const std::string& path) {
  // A file that cannot be made is a failure the caller must hear of.
  platform::OutputFile file;
  if (!file.open(path)) throw CMapiException("Unable to write part to file");

  // From the start of the data; a body text the message does not hold
  // leaves an empty file.
  HRESULT hr = openDataStream();
  if (hr == S_OK) hr = copyStreamToFile(m_lpDataStream, file);
  releaseDataStream();
  bool closed = file.close();
  if (FAILED(hr) || !closed) {
    if (file.created()) platform::deleteFile(path);
    throw CMapiException("Unable to write part to file");
  }
}

void CMapiBodyPart::releaseDataStream() {
  if (m_lpDataStream) m_lpDataStream->Release();
  if (m_lpDataAttach) m_lpDataAttach->Release();
  m_lpDataStream = nullptr;
  m_lpDataAttach = nullptr;
  m_ullDataPos = 0;
}

void CMapiBodyPart::mimeFieldTags(LPMESSAGE message, ULONG (&tags)[kMimeFields]) {
  tags[kMimeCharset] = PR_TEXT_ATTACHMENT_CHARSET_A;
  tags[kMimeContentType] = kNoMimeTag;
  tags[kMimeDisposition] = kNoMimeTag;
  tags[kMimeLocation] = PR_ATTACH_CONTENT_LOCATION_A;
  tags[kMimeFlags] = PR_ATTACH_FLAGS;
  // The two header fields are named properties: their ids come from the
  // message, without making new names (a store that never kept them gives
  // PT_ERROR ids, and the fields are absent).
  static const wchar_t* const kNames[] = {L"Content-Type", L"Content-Disposition"};
  MAPINAMEID names[2];
  LPMAPINAMEID namePtrs[2];
  for (int k = 0; k < 2; ++k) {
    memset(&names[k], 0, sizeof names[k]);
    names[k].lpguid = const_cast<LPGUID>(&kPsInternetHeaders);
    names[k].ulKind = MNID_STRING;
    names[k].Kind.lpwstrName = const_cast<LPWSTR>(kNames[k]);
    namePtrs[k] = &names[k];
  }
  LPSPropTagArray lpIds = nullptr;
  HRESULT hr = message->GetIDsFromNames(2, namePtrs, 0, &lpIds);
  std::unique_ptr<SPropTagArray, decltype(&MAPIFreeBuffer)> idsGuard(lpIds, &MAPIFreeBuffer);
  for (int k = 0; SUCCEEDED(hr) && lpIds && k < 2 && k < static_cast<int>(lpIds->cValues); ++k) {
    if (PROP_TYPE(lpIds->aulPropTag[k]) != PT_ERROR)
      tags[kMimeContentType + k] = PROP_TAG(PT_STRING8, PROP_ID(lpIds->aulPropTag[k]));
  }
}

void CMapiBodyPart::keepMimeFields(const SPropValue* values, ULONG count, const ULONG (&tags)[kMimeFields]) {
  for (int k = 0; k < kMimeFields; ++k) {
    m_mimeFields[k].clear();
    m_mimePresent[k] = false;
    if (static_cast<ULONG>(k) >= count || tags[k] == kNoMimeTag) continue;
    const SPropValue& v = values[k];
    if (v.ulPropTag != tags[k]) continue;
    if (PROP_TYPE(v.ulPropTag) == PT_LONG) {
      m_mimeFields[k] = std::to_string(v.Value.l);
    } else {
      m_mimeFields[k] = v.Value.lpszA ? reinterpret_cast<const char*>(v.Value.lpszA) : "";
    }
    m_mimePresent[k] = true;
  }
  m_bMimeKept = true;
}

void CMapiBodyPart::getMimeFields(std::string (&fields)[kMimeFields], bool (&present)[kMimeFields]) {
  if (m_nSource != SOURCE_ATTACHMENT) {
    for (int k = 0; k < kMimeFields; ++k) {
      fields[k].clear();
      present[k] = false;
    }
    return;
  }
  if (!m_bMimeKept) {
    LPMESSAGE lpMessage = mapiMessage();
    const char* failure = "Unable to read the part's MIME fields";
    if (!lpMessage) throw CMapiException(failure);
    SizedSPropTagArray(kMimeFields, tags);
    tags.cValues = kMimeFields;
    mimeFieldTags(lpMessage, tags.aulPropTag);
    LPATTACH lpAttach = nullptr;
    HRESULT hr = lpMessage->OpenAttach(m_ulAttachNum, nullptr, 0, &lpAttach);
    if (FAILED(hr) || !lpAttach) throw CMapiException(failure);
    ULONG count = 0;
    LPSPropValue lpValues = nullptr;
    hr = lpAttach->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &lpValues);
    lpAttach->Release();
    std::unique_ptr<SPropValue, decltype(&MAPIFreeBuffer)> valuesGuard(lpValues, &MAPIFreeBuffer);
    if (FAILED(hr) || !lpValues) throw CMapiException(failure);
    keepMimeFields(lpValues, count, tags.aulPropTag);
  }
  for (int k = 0; k < kMimeFields; ++k) {
    fields[k] = m_mimeFields[k];
    present[k] = m_mimePresent[k];
  }
}

HRESULT CMapiBodyPart::openDataStream() {
  releaseDataStream();
  LPMESSAGE lpMessage = mapiMessage();
  if (m_nSource == SOURCE_MESSAGE_PROPERTY) {
    // A body that cannot be opened (a report's missing stored body) is
    // empty.
    LPSTREAM lpStream = nullptr;
    if (!lpMessage ||
        FAILED(lpMessage->OpenProperty(m_ulPropTag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&lpStream))) ||
        !lpStream)
      return S_FALSE;
    m_lpDataStream = lpStream;
    return S_OK;
  }
  if (!lpMessage || m_nSource != SOURCE_ATTACHMENT || m_nType != PART_ATTACHMENT) return E_FAIL;
  LPATTACH lpAttach = nullptr;
  LPSTREAM lpStream = nullptr;
  HRESULT hr = lpMessage->OpenAttach(m_ulAttachNum, nullptr, MAPI_DEFERRED_ERRORS, &lpAttach);
  if (SUCCEEDED(hr) && lpAttach)
    hr = lpAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_SHARE_EXCLUSIVE, MAPI_DEFERRED_ERRORS,
                                reinterpret_cast<LPUNKNOWN*>(&lpStream));
  if (FAILED(hr) || !lpAttach || !lpStream) {
    if (lpStream) lpStream->Release();
    if (lpAttach) lpAttach->Release();
    return FAILED(hr) ? hr : E_FAIL;
  }
  m_lpDataAttach = lpAttach;
  m_lpDataStream = lpStream;
  return S_OK;
}

void CMapiBodyPart::readData(uint64_t offset, void* buf, ULONG n, ULONG& got) {
  const char* failure = "Unable to read the part's data";
  got = 0;
  if (n == 0) return;
  if (!m_lpDataStream) {
    HRESULT hr = openDataStream();
    if (hr == S_FALSE) return;  // a body text the message does not hold
    if (FAILED(hr)) throw CMapiException(failure);
  }
  if (offset != m_ullDataPos) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (FAILED(m_lpDataStream->Seek(to, STREAM_SEEK_SET, nullptr))) {
      releaseDataStream();
      throw CMapiException(failure);
    }
    m_ullDataPos = offset;
  }
  if (FAILED(m_lpDataStream->Read(buf, n, &got))) {
    got = 0;
    releaseDataStream();
    throw CMapiException(failure);
  }
  m_ullDataPos += got;
  // At the end the stream (and the attachment it keeps open) is let go; a
  // reader that comes back opens it again.
  if (got == 0) releaseDataStream();
}
