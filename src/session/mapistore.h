// CMapiStore: the session behind a Java store handle, through which mail is
// read.
#ifndef TOLVANE_SESSION_MAPISTORE_H
#define TOLVANE_SESSION_MAPISTORE_H

#include "session/mapisession.h"

#include <list>
#include <string>

class CMapiFolder;

class CMapiStore : public CMapiSession {
 public:
  CMapiStore(std::string profile, std::string password, std::string store, std::string tempDir);
  // Detaches every folder located through this store that still exists
  // (CMapiFolder::detachFromStore), then logs off.
  ~CMapiStore() override;

  // Points `folder` at the store's receive folder (the Inbox) and links it
  // to this store; the folder is not opened here. Throws CMapiException.
  void getInbox(CMapiFolder& folder);

  // A folder of this store that is being deleted leaves the store's list.
  void forgetFolder(CMapiFolder* folder);

  // The store name the caller gave; kept only: the profile's default store
  // is opened whatever it says.
  std::string m_strStore;

 private:
  // The folders located through this store that still exist.
  std::list<CMapiFolder*> m_folders;
};

#endif
