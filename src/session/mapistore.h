// CMapiStore: the session behind a Java store handle, through which mail is
// read.
#ifndef TOLVANE_SESSION_MAPISTORE_H
#define TOLVANE_SESSION_MAPISTORE_H

#include "session/mapisession.h"

#include <list>
#include <memory>
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

  // Whether a CMapiStore exists at this address: a store registers itself as
  // it is made and leaves as it is deleted, so that a handle to a deleted
  // store is refused rather than followed.
  static bool exists(const CMapiStore* store);

  // The store name the caller gave; kept only: the profile's default store
  // is opened whatever it says.
  std::string m_strStore;
  // What the JNI bridge attaches to the store (the Java side's view of its
  // life); released when the store is deleted, after its folders are
  // detached.
  std::shared_ptr<void> m_pBridgeLink;

 private:
  // The folders located through this store that still exist.
  std::list<CMapiFolder*> m_folders;
};

#endif
