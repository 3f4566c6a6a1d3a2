// CMapiFolder: one MAPI folder (the Inbox of a store, or a transport's
// Outbox) with a snapshot of its messages' entry identifiers. It owns every
// message it hands out.
#ifndef TOLVANE_FOLDER_MAPIFOLDER_H
#define TOLVANE_FOLDER_MAPIFOLDER_H

#include <mapix.h>

#include <list>
#include <string>
#include <vector>

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

  // For a reader that shows the stored read state (the JavaMail provider):
  // messages fetched from now on are not marked read, and the snapshot
  // carries each message's read state. Takes effect at the next snapshot, so
  // it is set right after open.
  void keepReadState() { m_bKeepReadState = true; }
  // Whether the message at a 1-based position was read when the snapshot was
  // taken (true when the store did not say).
  bool wasRead(ULONG position);
  // Adds the messages that arrived since the snapshot at its end; the
  // positions of the others stay. Returns how many were added.
  ULONG refresh();
  // Deletes the messages marked for deletion that were fetched through this
  // folder, takes them out of the snapshot (the ones after them move up) and
  // deletes them. Returns their former 1-based positions, in order; a message
  // the store would not delete stays, still marked.
  std::vector<ULONG> expungeMarked();

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
  // Reads every row of a fresh contents table with the snapshot's columns;
  // null (logged) when that fails. `count` is what GetRowCount said.
  LPSRowSet readRows(ULONG& count);
  const SRow& rowAt(ULONG position);
  void freeRows();

  // The snapshot's positions in order: rows of m_lpRows and of m_moreRows
  // (what refresh added), less those expunged.
  std::vector<const SRow*> m_order;
  std::vector<LPSRowSet> m_moreRows;
  // Rows of the contents table when it was last read, to tell new mail.
  ULONG m_tableRows = 0;
  bool m_bKeepReadState = false;
};

#endif
