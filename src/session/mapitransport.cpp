#include "session/mapitransport.h"

#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "platform/platform.h"
#include "support/mapierror.h"
#include "support/liveobjects.h"
#include "support/maplog.h"
#include "support/mapiexception.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>

CMapiTransport::CMapiTransport(std::string profile, std::string password, std::string tempDir,
                               std::string sentFolder)
    : m_pOutbox(nullptr), m_lpSentEntryID(nullptr), m_cbSentEntryID(0) {
  m_strProfile = std::move(profile);
  m_strPassword = std::move(password);
  m_strTempDir = std::move(tempDir);
  m_strSentFolder = std::move(sentFolder);
  liveobjects::enter(this, liveobjects::Kind::Transport);
}

CMapiTransport::~CMapiTransport() {
  liveobjects::leave(this);
  // The messages it created live on until their owner deletes them, but
  // nothing of this session is used again.
  while (!m_messages.empty()) {
    CMapiMessage* message = m_messages.front();
    m_messages.pop_front();
    message->close();
    message->m_pFolder = nullptr;
    message->m_bTransportClosed = true;
  }
  if (m_lpSentEntryID) {
    MAPIFreeBuffer(m_lpSentEntryID);
    m_lpSentEntryID = nullptr;
  }
  // The Outbox goes before the session logs off (the base destructor).
  delete m_pOutbox;
  m_pOutbox = nullptr;
}

void CMapiTransport::open() {
  initialize();
  m_pOutbox = new CMapiFolder();

  LPSPropValue lpOutboxID = nullptr;
  HRESULT hr = HrGetOneProp(m_lpMsgStore, PR_IPM_OUTBOX_ENTRYID, &lpOutboxID);
  if (SUCCEEDED(hr) && lpOutboxID) {
    const SBinary& bin = lpOutboxID->Value.bin;
    LPVOID copy = nullptr;
    if (FAILED(MAPIAllocateBuffer(bin.cb, &copy)) || (!copy && bin.cb)) {
      MAPIFreeBuffer(lpOutboxID);
      throw CMapiException("CMapiTransport::open: out of memory for the Outbox's entry identifier");
    }
    if (bin.cb) memcpy(copy, bin.lpb, bin.cb);
    m_pOutbox->m_lpEntryID = static_cast<LPENTRYID>(copy);
    m_pOutbox->m_cbEntryID = bin.cb;
    ULONG ulObjType = 0;
    hr = m_lpMsgStore->OpenEntry(m_pOutbox->m_cbEntryID, m_pOutbox->m_lpEntryID, nullptr, MAPI_MODIFY, &ulObjType,
                                 reinterpret_cast<LPUNKNOWN*>(&m_pOutbox->m_lpFolder));
    if (FAILED(hr) || !m_pOutbox->m_lpFolder) {
      m_pOutbox->m_lpFolder = nullptr;
      std::string text = mapiErrorText(m_lpMsgStore, hr);
      MAPIFreeBuffer(lpOutboxID);
      throw CMapiException(text);
    }
    m_pOutbox->m_pTransport = this;
  }
  MAPIFreeBuffer(lpOutboxID);

  if (!m_strSentFolder.empty()) {
    getSentFolder(m_strSentFolder, &m_lpSentEntryID, &m_cbSentEntryID);
    // A path that names no folder (a typo, a store whose top folder bears
    // another name) files the copies in the store's own sent folder rather
    // than losing them: only an empty path means "delete once sent".
    if (!m_lpSentEntryID) useStoreSentFolder();
  }
}

void CMapiTransport::useStoreSentFolder() {
  LPSPropValue sent = nullptr;
  HRESULT hr = HrGetOneProp(m_lpMsgStore, PR_IPM_SENTMAIL_ENTRYID, &sent);
  LPVOID copy = nullptr;
  if (SUCCEEDED(hr) && sent && sent->Value.bin.cb && SUCCEEDED(MAPIAllocateBuffer(sent->Value.bin.cb, &copy)) &&
      copy) {
    memcpy(copy, sent->Value.bin.lpb, sent->Value.bin.cb);
    m_lpSentEntryID = static_cast<LPENTRYID>(copy);
    m_cbSentEntryID = sent->Value.bin.cb;
    mapiLog("CMapiTransport::open: no folder has the path \"%s\"; sent messages are filed in the store's sent "
            "folder\n",
            m_strSentFolder.c_str());
  } else {
    mapiLog("CMapiTransport::open: no folder has the path \"%s\" and the store names no sent folder; sent "
            "messages are deleted once sent\n",
            m_strSentFolder.c_str());
  }
  MAPIFreeBuffer(sent);
}

CMapiMessage* CMapiTransport::createMessage() {
  // A store without an Outbox leaves nowhere to create the message.
  if (!m_pOutbox || !m_pOutbox->m_lpFolder)
    throw CMapiException("CMapiTransport::createMessage: the store has no Outbox to create the message in");

  CMapiMessage* pMessage = new CMapiMessage();
  HRESULT hr = m_pOutbox->m_lpFolder->CreateMessage(&IID_IMessage, 0, &pMessage->m_lpMessage);
  if (FAILED(hr) || !pMessage->m_lpMessage) {
    pMessage->m_lpMessage = nullptr;
    std::string text = mapiErrorText(m_pOutbox->m_lpFolder, hr);
    delete pMessage;
    throw CMapiException(text);
  }

  SPropValue props[3];
  memset(props, 0, sizeof props);
  props[0].ulPropTag = PR_MESSAGE_CLASS_A;
  props[0].Value.lpszA = const_cast<LPSTR>("IPM.Note");
  props[1].ulPropTag = PR_CLIENT_SUBMIT_TIME;
  props[1].Value.ft = platform::systemTimeAsFileTime();
  if (m_lpSentEntryID) {
    props[2].ulPropTag = PR_SENTMAIL_ENTRYID;
    props[2].Value.bin.cb = m_cbSentEntryID;
    props[2].Value.bin.lpb = reinterpret_cast<LPBYTE>(m_lpSentEntryID);
  } else {
    props[2].ulPropTag = PR_DELETE_AFTER_SUBMIT;
    props[2].Value.b = 1;
  }
  hr = pMessage->m_lpMessage->SetProps(3, props, nullptr);
  if (FAILED(hr)) {
    std::string text = mapiErrorText(pMessage->m_lpMessage, hr);
    delete pMessage;
    throw CMapiException(text);
  }
  pMessage->m_pFolder = m_pOutbox;
  try {
    m_messages.push_back(pMessage);
  } catch (...) {
    delete pMessage;
    throw;
  }
  return pMessage;
}

void CMapiTransport::forgetMessage(CMapiMessage* message) {
  m_messages.remove(message);
}
