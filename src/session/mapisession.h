// CMapiSession: a logon to a MAPI profile with its default message store; the
// base of the store (reading) and the transport (sending).
#ifndef TOLVANE_SESSION_MAPISESSION_H
#define TOLVANE_SESSION_MAPISESSION_H

#include <mapix.h>

#include <string>

// Process-wide MAPI start-up state: set when MAPIInitialize succeeded, and
// the system error code of its last failure.
extern bool g_bMapiInitialized;
extern DWORD g_dwInitError;

// Finds the default store of the session's store table: its entry
// identifier in a new MAPIAllocateBuffer buffer.
HRESULT HrMAPIFindDefaultMsgStore(LPMAPISESSION lpSession, ULONG* lpcbEntryID, LPENTRYID* lppEntryID);

class CMapiSession {
 public:
  CMapiSession();
  virtual ~CMapiSession();
  CMapiSession(const CMapiSession&) = delete;
  CMapiSession& operator=(const CMapiSession&) = delete;

  // Starts MAPI once per process, as a service. Never throws; a failure is
  // kept and reported by the next initialize().
  static void initMapi();

  // Logs on to m_strProfile and opens its default store. Throws
  // CMapiException.
  void initialize();

  // Releases the address book and the store and logs the session off. Safe
  // to call any number of times.
  void close();

  // The SMTP proxy address ("SMTP:..." as stored) of the address-book entry
  // with this entry identifier, or of the Exchange user with this
  // distinguished name; empty when there is none. Throw CMapiException only
  // when the address book cannot be opened.
  std::string getSMTPAddress(ULONG cbEntryID, LPBYTE lpEntryID);
  std::string getSMTPAddress(std::string distinguishedName);

  // The entry identifier of the folder at `path` (backslash-separated
  // display names below "Top of Information Store"), in a new
  // MAPIAllocateBuffer buffer; null and 0 when the path is empty or names no
  // folder (logged). Never throws.
  void getSentFolder(std::string path, LPENTRYID* lppEntryID, ULONG* lpcbEntryID);

  // Resolves the entries of lpAdrList in place through the address book,
  // without a dialog; returns MAPI's result.
  HRESULT resolveAddress(LPADRLIST lpAdrList);

  // The session's address book, opened on first use. Throws CMapiException
  // when it cannot be opened (the text is logged with logFormat).
  LPADRBOOK addressBook(const char* logFormat);

  LPMAPISESSION m_lpSession;
  std::string m_strProfile;
  std::string m_strPassword;
  std::string m_strTempDir;
  LPMDB m_lpMsgStore;
  LPENTRYID m_lpStoreEntryID;
  ULONG m_cbStoreEntryID;
  LPADRBOOK m_lpAddrBook;

 private:
  void logoffSession();
  void openAddressBook(const char* logFormat);
};

#endif
