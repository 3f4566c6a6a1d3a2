#include "session/mapistore.h"

#include "support/maplog.h"

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
