#include "content/mapibodypart.h"

#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "message/mapimessage.h"
#include "platform/platform.h"
#include "support/mapiexception.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <memory>

namespace {

// Data moves from the MAPI stream to the file in pieces of this size, so
// that no value is ever held whole and large attachments copy at disk speed.
const ULONG kCopyBufferSize = 1024 * 1024;

}  // namespace

CMapiBodyPart::CMapiBodyPart()
    : m_nType(0), m_nSource(0), m_ulPropTag(0), m_pMultipart(nullptr), m_ulAttachNum(0), m_ulSize(0),
      m_pAttachMessage(nullptr), m_lpDataAttach(nullptr), m_lpDataStream(nullptr), m_ullDataPos(0) {}

CMapiBodyPart::~CMapiBodyPart() {
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

HRESULT CMapiBodyPart::copyAttachmentDataToFile(LPMESSAGE lpMessage, ULONG ulAttachNum, platform::OutputFile& file) {
  LPATTACH lpAttach = nullptr;
  if (!lpMessage || FAILED(lpMessage->OpenAttach(ulAttachNum, nullptr, MAPI_DEFERRED_ERRORS, &lpAttach)) || !lpAttach)
    return E_FAIL;
  LPSTREAM lpStream = nullptr;
  HRESULT hr = lpAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_SHARE_EXCLUSIVE, MAPI_DEFERRED_ERRORS,
                                      reinterpret_cast<LPUNKNOWN*>(&lpStream));
  if (FAILED(hr) || !lpStream) {
    lpAttach->Release();
    return hr == MAPI_E_NOT_FOUND ? MAPI_E_NOT_FOUND : E_FAIL;
  }
  hr = FAILED(copyStreamToFile(lpStream, file)) ? E_FAIL : S_OK;
  lpStream->Release();
  lpAttach->Release();
  return hr;
}

void CMapiBodyPart::writeToFile(const std::string& path) {
  if (!m_strFilePath.empty()) return;
  // The writer opens the data afresh (a store may let one stream of a
  // value be open at a time).
  releaseDataStream();
  // The part takes the file only once it is written: a failed write leaves
  // the part unwritten, so that the caller can try another path, and takes
  // away a file it made.
  if (m_nSource == SOURCE_ATTACHMENT && m_nType == PART_ATTACHED_MESSAGE) {
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

  HRESULT hr = S_OK;
  if (m_nSource == SOURCE_MESSAGE_PROPERTY) {
    LPMESSAGE lpMessage = mapiMessage();
    LPSTREAM lpStream = nullptr;
    // A body that cannot be opened (a report's missing stored body) leaves
    // an empty file.
    if (lpMessage && SUCCEEDED(lpMessage->OpenProperty(m_ulPropTag, &IID_IStream, 0, 0,
                                                       reinterpret_cast<LPUNKNOWN*>(&lpStream))) &&
        lpStream) {
      hr = copyStreamToFile(lpStream, file);
      lpStream->Release();
    }
  } else {
    hr = copyAttachmentDataToFile(mapiMessage(), m_ulAttachNum, file);
  }
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

bool CMapiBodyPart::openDataStream() {
  const char* failure = "Unable to read the part's data";
  LPMESSAGE lpMessage = mapiMessage();
  if (!lpMessage) throw CMapiException(failure);
  if (m_nSource == SOURCE_MESSAGE_PROPERTY) {
    // As writeData: a body that cannot be opened (a report's missing stored
    // body) is empty.
    if (FAILED(lpMessage->OpenProperty(m_ulPropTag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&m_lpDataStream))) ||
        !m_lpDataStream) {
      m_lpDataStream = nullptr;
      return false;
    }
    return true;
  }
  if (m_nSource != SOURCE_ATTACHMENT || m_nType != PART_ATTACHMENT) throw CMapiException(failure);
  if (FAILED(lpMessage->OpenAttach(m_ulAttachNum, nullptr, MAPI_DEFERRED_ERRORS, &m_lpDataAttach)) || !m_lpDataAttach) {
    m_lpDataAttach = nullptr;
    throw CMapiException(failure);
  }
  if (FAILED(m_lpDataAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_SHARE_EXCLUSIVE, MAPI_DEFERRED_ERRORS,
                                          reinterpret_cast<LPUNKNOWN*>(&m_lpDataStream))) ||
      !m_lpDataStream) {
    m_lpDataStream = nullptr;
    releaseDataStream();
    throw CMapiException(failure);
  }
  return true;
}

void CMapiBodyPart::readData(uint64_t offset, void* buf, ULONG n, ULONG& got) {
  got = 0;
  if (n == 0) return;
  if (!m_lpDataStream || offset != m_ullDataPos) {
    if (!m_lpDataStream && !openDataStream()) return;
    if (offset != m_ullDataPos) {
      LARGE_INTEGER to;
      to.QuadPart = static_cast<LONGLONG>(offset);
      if (FAILED(m_lpDataStream->Seek(to, STREAM_SEEK_SET, nullptr))) {
        releaseDataStream();
        throw CMapiException("Unable to read the part's data");
      }
      m_ullDataPos = offset;
    }
  }
  ULONG read = 0;
  if (FAILED(m_lpDataStream->Read(buf, n, &read))) {
    releaseDataStream();
    throw CMapiException("Unable to read the part's data");
  }
  got = read;
  m_ullDataPos += read;
  // At the end the stream (and the attachment it keeps open) is let go; a
  // reader that comes back opens it again.
  if (read == 0) releaseDataStream();
}
