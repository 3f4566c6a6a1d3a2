// CMapiMessage: one MAPI message, received (opened by its folder) or being
// composed (created in a transport's Outbox).
#ifndef TOLVANE_MESSAGE_MAPIMESSAGE_H
#define TOLVANE_MESSAGE_MAPIMESSAGE_H

#include <mapix.h>

#include <string>
#include <vector>

class CMapiFolder;
class CMapiContent;
class CMapiSession;

using CStringList = std::vector<std::string>;

class CMapiMessage {
 public:
  CMapiMessage();
  virtual ~CMapiMessage();
  CMapiMessage(const CMapiMessage&) = delete;
  CMapiMessage& operator=(const CMapiMessage&) = delete;

  // Appends a text describing the failure `hr` of this message (its
  // MAPIERROR record, or the system's text when there is no message).
  void getLastError(HRESULT hr, std::string& text);

  std::string getSubject();
  std::string getText();
  std::string getHTML();
  std::string getID();
  std::string getPriority();
  double getSentDate();
  double getReceiveTime();
  CMapiContent* getContent();

  // Addresses, appended to `list`.
  void getFrom(CStringList& list);
  void getAddress(CStringList& list, ULONG ulRecipientType);
  void getTo(CStringList& list);
  void getCC(CStringList& list);
  void getBCC(CStringList& list);
  void getReplyTo(CStringList& list);

  // Writes the message as a .msg file in the store's temporary directory
  // and returns its path. Throws CMapiException.
  std::string SaveToMSG();
  // Writes any message as a .msg file at `path`; 1 when no message is given,
  // else the result of the final commit.
  static HRESULT SaveToMSG(LPMESSAGE pMessage, const std::string& path);

  void setDeleteFlag(bool bDelete);
  bool getDeleteFlag() const { return m_bDelete; }
  void close();

  CMapiFolder* m_pFolder;
  CMapiContent* m_pContent;
  LPMESSAGE m_lpMessage;
  std::string m_strTempFile;
  bool m_bDelete;
  bool m_bOwnedByFolder;
  LPENTRYID m_lpEntryID;
  ULONG m_cbEntryID;

 private:
  // HrGetOneProp of a PT_STRING8 property: true with the text, false when
  // absent; other failures come back in hr.
  HRESULT readString(ULONG ulPropTag, std::string& value);
  // A body text; absent gives "", other failures raise prefix + error text.
  std::string readBody(ULONG ulPropTag, const char* prefix);
  double readDate(ULONG ulPropTag, const char* prefix, bool nullIsNamed, const char* nullText);
  [[noreturn]] void fail(const std::string& text);
  void removeTempFile(const char* deletedFormat, const char* failedFormat);
  std::string normalizeAddress(std::string address);
  CMapiSession* session();
};

#endif
