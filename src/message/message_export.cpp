// CMapiMessage: export as a .msg file, the delete flag, and the end of a
// message object.
#include "message/mapimessage.h"

#include "content/mapicontent.h"
#include "folder/mapifolder.h"
#include "platform/platform.h"
#include "session/mapisession.h"
#include "session/mapitransport.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <imessage.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstring>

namespace {

// The root storage of a .msg file carries the class of IMessage.
const CLSID kMsgFileClass = {0x00020307, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Left out of the copy: the file carries no plain-text body and no RTF
// synchronisation state of its own.
SizedSPropTagArray(7, g_excludedProps) = {
    7,
    {PR_ACCESS, PR_BODY_A, PR_RTF_SYNC_BODY_COUNT, PR_RTF_SYNC_BODY_CRC, PR_RTF_SYNC_BODY_TAG_A,
     PR_RTF_SYNC_PREFIX_COUNT, PR_RTF_SYNC_TRAILING_COUNT}};

// What one write of a .msg file holds, released on every way out.
struct MsgFileWrite {
  LPMALLOC lpMalloc = nullptr;
  LPWSTR lpwszPath = nullptr;
  LPSTORAGE lpStorage = nullptr;
  LPMSGSESS lpMsgSession = nullptr;
  LPMESSAGE lpMsgFile = nullptr;

  ~MsgFileWrite() {
    if (lpwszPath) MAPIFreeBuffer(lpwszPath);
    if (lpMsgFile) lpMsgFile->Release();
    if (lpMsgSession) CloseIMsgSession(lpMsgSession);
    if (lpStorage) lpStorage->Release();
  }

  HRESULT widenPath(const std::string& path) {
    std::wstring wide = platform::toWide(path);
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>((wide.size() + 1) * sizeof(WCHAR)),
                                    reinterpret_cast<LPVOID*>(&lpwszPath));
    if (FAILED(hr)) return hr;
    memcpy(lpwszPath, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return S_OK;
  }
};

}  // namespace

std::string CMapiMessage::SaveToMSG() {
  mapiLog("CMapiMessage::SaveToMSG->In\n");
  if (!m_lpMessage) fail("CMapiMessage::SavetoMSG failed, m_lpMessage == NULL \n ");

  CMapiSession* pStore = session();
  if (!pStore) fail("CMapiMessage::SaveToMSG failed: the message belongs to no store and has no temporary directory");
  std::string path;
  if (!platform::createUniqueFile(pStore->m_strTempDir, "mpi", ".msg", path)) {
    char text[96];
    snprintf(text, sizeof text, "CMapiMessage::SaveToMSG failed to create temp file: %d\n",
             static_cast<int>(platform::lastError()));
    fail(text);
  }
  m_strTempFile = path;
  mapiLog("SaveToMSG : %s\n", m_strTempFile.c_str());

  MsgFileWrite w;
  w.lpMalloc = MAPIGetDefaultMalloc();
  HRESULT hr = w.widenPath(m_strTempFile);
  auto check = [&](const char* prefix) {
    if (FAILED(hr)) {
      std::string text = prefix;
      getLastError(hr, text);
      fail(text);
    }
  };
  check("CMapiMessage::SavetoMSG, out of memory for the path ");
  hr = StgCreateDocfile(w.lpwszPath, STGM_TRANSACTED | STGM_CREATE | STGM_SHARE_DENY_NONE | STGM_READWRITE, 0,
                        &w.lpStorage);
  check("CMapiMessage::SavetoMSG, StgCreateDocfile failed");
  hr = OpenIMsgSession(w.lpMalloc, 0, &w.lpMsgSession);
  check("CMapiMessage::SavetoMSG, OpenIMsgSession failed ");
  // The storage is committed once, below, not by SaveChanges.
  hr = OpenIMsgOnIStg(w.lpMsgSession, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, w.lpMalloc, nullptr,
                      w.lpStorage, nullptr, 0, IMSG_NO_ISTG_COMMIT, &w.lpMsgFile);
  check("CMapiMessage::SavetoMSG, OpenIMsgOnIStg failed ");
  hr = WriteClassStg(w.lpStorage, kMsgFileClass);
  check("CMapiMessage::SavetoMSG, WriteClassStg failed ");
  hr = m_lpMessage->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&g_excludedProps), 0, nullptr,
                           &IID_IMessage, w.lpMsgFile, 0, nullptr);
  check("CMapiMessage::SavetoMSG, m_lpMessage->CopyTo failed ");
  // A message that could not be written into the storage must not be
  // committed as a whole file.
  hr = w.lpMsgFile->SaveChanges(KEEP_OPEN_READWRITE);
  check("CMapiMessage::SavetoMSG, SaveChanges failed ");
  // The file is a copy for the caller to read, deleted with the message: the
  // system's cache is enough (the message itself is in the store).
  hr = w.lpStorage->Commit(STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE);
  check("CMapiMessage::SavetoMSG, pStorage -> Commit failed ");
  mapiLog("CMapiMessage::SaveToMSG->Out\n");
  return m_strTempFile;
}

HRESULT CMapiMessage::SaveToMSG(LPMESSAGE pMessage, const std::string& path) {
  if (!pMessage) {
    mapiLog("CMapiMessage::SaveToMSG failed, pMessage == NULL\n");
    return 1;
  }
  // Each step needs the one before: stop at the first failure and report it.
  MsgFileWrite w;
  w.lpMalloc = MAPIGetDefaultMalloc();
  HRESULT hr = w.widenPath(path);
  if (SUCCEEDED(hr)) hr = StgCreateDocfile(w.lpwszPath, STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE, 0, &w.lpStorage);
  if (SUCCEEDED(hr)) hr = OpenIMsgSession(w.lpMalloc, 0, &w.lpMsgSession);
  if (SUCCEEDED(hr))
    hr = OpenIMsgOnIStg(w.lpMsgSession, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, w.lpMalloc, nullptr,
                        w.lpStorage, nullptr, 0, IMSG_NO_ISTG_COMMIT, &w.lpMsgFile);
  if (SUCCEEDED(hr)) hr = WriteClassStg(w.lpStorage, kMsgFileClass);
  if (SUCCEEDED(hr))
    hr = pMessage->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&g_excludedProps), 0, nullptr, &IID_IMessage,
                          w.lpMsgFile, 0, nullptr);
  if (SUCCEEDED(hr)) hr = w.lpMsgFile->SaveChanges(KEEP_OPEN_READWRITE);
  // Written like any part file: complete and in place, left to the system's
  // cache (the message is in the store).
  if (SUCCEEDED(hr)) hr = w.lpStorage->Commit(STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE);
  return hr;
}

void CMapiMessage::removeTempFile(const char* deletedFormat, const char* failedFormat) {
  if (m_strTempFile.empty() || !platform::fileExists(m_strTempFile)) return;
  // The destructor calls this: the file goes and the name is forgotten
  // whatever the log does (it allocates, and may fail to).
  bool deleted = platform::deleteFile(m_strTempFile);
  try {
    mapiLog(deleted ? deletedFormat : failedFormat, m_strTempFile.c_str());
  } catch (...) {
  }
  if (deleted) m_strTempFile.clear();
}

void CMapiMessage::setDeleteFlag(bool bDelete) {
  mapiLog("CMapiMessage::setDeleteFlag : %d\n", bDelete ? 1 : 0);
  m_bDelete = bDelete;
  delete m_pContent;
  m_pContent = nullptr;
  removeTempFile("CMapiMessage::setDeleteFlag Deleting file : %s\n",
                 "CMapiMessage::setDeleteFlag , failed to delete file %s\n");
}

void CMapiMessage::close() {
  m_cbEntryID = 0;
  m_lpEntryID = nullptr;
  if (m_lpMessage) {
    forgetEnvelope();
    m_lpMessage->Release();
    m_lpMessage = nullptr;
  }
  delete m_pContent;
  m_pContent = nullptr;
}

CMapiMessage::~CMapiMessage() {
  liveobjects::leave(this);
  if (m_lpMessage) forgetEnvelope();
  removeTempFile("CMapiMessage::~CMapiMessage Deleting file : %s\n",
                 "CMapiMessage::~CMapiMessage:  failed to delete temp file : %s\n");
  // A message being composed leaves the list of its transport.
  if (m_pFolder && m_pFolder->m_pTransport && !m_bOwnedByFolder) m_pFolder->m_pTransport->forgetMessage(this);
  if (m_pFolder) {
    // A destructor must not throw; whatever fails here, the message leaves
    // its folder's list.
    try {
      mapiLog("CMapiMessage::~CMapiMessage %d\n", m_bDelete ? 1 : 0);
      if (m_bDelete) {
        mapiLog("CMapiMessage::~CMapiMessage: Deleting Message from Inbox: %s\n", m_strTempFile.c_str());
        m_pFolder->DeleteMsgFromMapiFolder(this);
      }
    } catch (...) {
    }
    m_pFolder->removeMessage(this);
    m_pFolder = nullptr;
  }
  close();
}
