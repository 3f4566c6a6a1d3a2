#include "session/mapistore.h"

#include "folder/mapifolder.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapiutil.h>

#include <utility>

CMapiStore::CMapiStore(std::string profile, std::string password, std::string store, std::string tempDir) {
  m_strProfile = std::move(profile);
  m_strPassword = std::move(password);
  m_strStore = std::move(store);
  m_strTempDir = std::move(tempDir);
}

CMapiStore::~CMapiStore() {
  mapiLog("CMapiStore::~CMapiStore\n");
  close();
}

void CMapiStore::getInbox(CMapiFolder& folder) {
  mapiLog("CMapiStore::getInbox \n");
  if (!m_lpMsgStore) throw CMapiException("CMapiStore::getInbox: the store is not open");
  HRESULT hr = m_lpMsgStore->GetReceiveFolder(nullptr, 0, &folder.m_cbEntryID, &folder.m_lpEntryID, nullptr);
  if (FAILED(hr)) {
    folder.m_cbEntryID = 0;
    folder.m_lpEntryID = nullptr;
    std::string text = mapiErrorText(m_lpMsgStore, hr);
    mapiLog("%s\n", text.c_str());
    throw CMapiException(text);
  }
  folder.m_pStore = this;
}
