#include "session/mapistore.h"

#include "folder/mapifolder.h"
#include "support/mapierror.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapiutil.h>

#include <algorithm>
#include <utility>

CMapiStore::CMapiStore(std::string profile, std::string password, std::string store, std::string tempDir) {
  m_strProfile = std::move(profile);
  m_strPassword = std::move(password);
  m_strStore = std::move(store);
  m_strTempDir = std::move(tempDir);
  liveobjects::enter(this, liveobjects::Kind::Store);
}

CMapiStore::~CMapiStore() {
  liveobjects::leave(this);
  // A destructor must not throw: what cannot be released now stays.
  try {
    mapiLog("CMapiStore::~CMapiStore\n");
    // The folders go on (their owner deletes them) without the session.
    while (!m_folders.empty()) {
      CMapiFolder* folder = m_folders.front();
      m_folders.pop_front();
      folder->detachFromStore();
    }
    close();
  } catch (...) {
  }
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
  if (folder.m_pOwningStore != this) {
    if (folder.m_pOwningStore) folder.m_pOwningStore->forgetFolder(&folder);
    m_folders.push_back(&folder);
    folder.m_pOwningStore = this;
  }
  folder.m_pStore = this;
  folder.m_bStoreClosed = false;
}

void CMapiStore::forgetFolder(CMapiFolder* folder) {
  m_folders.remove(folder);
}
