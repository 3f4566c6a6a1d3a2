// CMapiTransport: the session behind a Java transport handle, through which
// mail is composed and sent. It owns the store's Outbox, where it creates
// each new message, and knows the folder that keeps sent copies.
#ifndef TOLVANE_SESSION_MAPITRANSPORT_H
#define TOLVANE_SESSION_MAPITRANSPORT_H

#include "session/mapisession.h"

#include <list>
#include <string>

class CMapiFolder;
class CMapiMessage;

class CMapiTransport : public CMapiSession {
 public:
  CMapiTransport(std::string profile, std::string password, std::string tempDir, std::string sentFolder);
  // Detaches the messages it created (see m_messages), then releases the
  // Outbox and logs off.
  ~CMapiTransport() override;

  // Logs on, opens the Outbox and resolves the sent folder (a path that
  // names no folder gives the store's own sent folder, logged; sent
  // messages are deleted only without a path, or when the store names no
  // sent folder either). Throws CMapiException.
  void open();

  // A new message in the Outbox, owned by the caller. Throws
  // CMapiException.
  CMapiMessage* createMessage();
  // A message of this transport that is being deleted leaves its list.
  void forgetMessage(CMapiMessage* message);

  CMapiFolder* m_pOutbox;
  std::string m_strSentFolder;
  LPENTRYID m_lpSentEntryID;
  ULONG m_cbSentEntryID;

 private:
  void useStoreSentFolder();
  // The messages this transport created that still exist. Closing the
  // transport releases their MAPI messages (before the session logs off) and
  // marks them m_bTransportClosed; their owner still deletes them.
  std::list<CMapiMessage*> m_messages;
};

#endif
