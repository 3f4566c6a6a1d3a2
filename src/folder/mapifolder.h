// CMapiFolder: one MAPI folder (the Inbox of a store, or a transport's
// Outbox) with a snapshot of its messages' entry identifiers. It owns every
// message it hands out.
#ifndef TOLVANE_FOLDER_MAPIFOLDER_H
#define TOLVANE_FOLDER_MAPIFOLDER_H

#include <mapix.h>

#include <list>
#include <string>

class CMapiSession;
class CMapiStore;
class CMapiTransport;
class CMapiMessage;

class CMapiFolder {
 public:
  CMapiFolder();
  virtual ~CMapiFolder();
  CMapiFolder(const CMapiFolder&) = delete;
  CMapiFolder& operator=(const CMapiFolder&) = delete;

  // Opens the folder in its store. Throws CMapiException.
  void open(ULONG ulFlags);
  // Reads the message list from the contents table (once; kept until Close).
  void createMessageList();
  ULONG getMessageCount();
  // Opens the message at a 1-based position into `message` and takes it
  // over. Throws "Index is out of range" for a position outside the list.
  bool getMessage(ULONG position, CMapiMessage* message);
  // Releases everything; with expunge, first deletes the messages marked
  // for deletion from the MAPI folder.
  void Close(bool expunge);
  void DeleteMsgFromMapiFolder(CMapiMessage* message);
  void removeMessage(CMapiMessage* message);

  // Called by the folder's store as it closes (the folder may live on until
  // its owner deletes it): releases every MAPI object of the folder and of
  // its messages, which stay the folder's with their contents but can no
  // longer read anything, and marks the folder so that callers can say why.
  void detachFromStore();
  bool isStoreClosed() const { return m_bStoreClosed; }

  LPMAPIFOLDER m_lpFolder;
  LPENTRYID m_lpEntryID;
  ULONG m_cbEntryID;
  CMapiSession* m_pStore;
  CMapiTransport* m_pTransport;
  LPMAPITABLE m_lpContents;
  LPSRowSet m_lpRows;
  bool m_bOpen;
  std::list<CMapiMessage*> m_messages;
  // The store that located this folder (CMapiStore::getInbox), which detaches
  // it when it closes; null for a transport's folder and once detached.
  CMapiStore* m_pOwningStore;
  bool m_bStoreClosed;

 private:
  std::string folderErrorText(HRESULT hr);
  HRESULT deleteEntry(CMapiMessage* message);
};

#endif
