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
      m_pAttachMessage(nullptr) {}

CMapiBodyPart::~CMapiBodyPart() {
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

  if (m_nSource == SOURCE_ATTACHMENT && m_nType == PART_ATTACHED_MESSAGE) {
    LPMESSAGE lpOwner = m_pAttachMessage ? m_pAttachMessage->m_lpMessage : nullptr;
    LPATTACH lpAttach = nullptr;
    LPMESSAGE lpEmbedded = nullptr;
    HRESULT hr = lpOwner ? lpOwner->OpenAttach(m_ulAttachNum, &IID_IAttachment, 0, &lpAttach) : E_FAIL;
    if (SUCCEEDED(hr) && lpAttach)
      hr = lpAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&lpEmbedded));
    if (SUCCEEDED(hr) && lpEmbedded) {
      m_strFilePath = path;  // the file is the part's from its creation on
      hr = CMapiMessage::SaveToMSG(lpEmbedded, path);
    } else if (SUCCEEDED(hr)) {
      hr = E_FAIL;
    }
    if (lpEmbedded) lpEmbedded->Release();
    if (lpAttach) lpAttach->Release();
    if (FAILED(hr)) throw CMapiException("Unable to write part to file");
    return;
  }
  if (m_nSource != SOURCE_MESSAGE_PROPERTY && !(m_nSource == SOURCE_ATTACHMENT && m_nType == PART_ATTACHMENT)) return;

  // A file that cannot be made is a failure the caller must hear of; the
  // part stays unwritten, so that another path can be tried.
  platform::OutputFile file;
  if (!file.open(path)) throw CMapiException("Unable to write part to file");
  m_strFilePath = path;

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
  if (FAILED(hr) || !closed) throw CMapiException("Unable to write part to file");
}

void CMapiBodyPart::lookUpAttachmentSize() {
  m_ulSize = 0;
  if (m_nSource != SOURCE_ATTACHMENT) return;
  LPMESSAGE lpMessage = mapiMessage();
  LPMAPITABLE lpTable = nullptr;
  if (!lpMessage || FAILED(lpMessage->GetAttachmentTable(0, &lpTable)) || !lpTable) return;
  SizedSPropTagArray(2, columns) = {2, {PR_ATTACH_NUM, PR_ATTACH_SIZE}};
  LPSRowSet lpRows = nullptr;
  if (SUCCEEDED(HrQueryAllRows(lpTable, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &lpRows)) &&
      lpRows) {
    for (ULONG i = 0; i < lpRows->cRows; ++i) {
      const SRow& row = lpRows->aRow[i];
      if (row.cValues >= 2 && row.lpProps && row.lpProps[0].ulPropTag == PR_ATTACH_NUM &&
          static_cast<ULONG>(row.lpProps[0].Value.l) == m_ulAttachNum && row.lpProps[1].ulPropTag == PR_ATTACH_SIZE)
        m_ulSize = static_cast<ULONG>(row.lpProps[1].Value.l);
    }
    FreeProws(lpRows);
  }
  lpTable->Release();
}
