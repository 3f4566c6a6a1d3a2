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
  // The message's Internet header block as it arrived
  // (PR_TRANSPORT_MESSAGE_HEADERS); "" for a message that has none (one
  // composed in MAPI). Throws CMapiException.
  std::string getTransportHeaders();
  // The size the store gives the message (PR_MESSAGE_SIZE), -1 when it
  // gives none. Throws CMapiException.
  LONG getStoredSize();
  // What a MIME form of the message needs beyond its texts: its class
  // (PR_MESSAGE_CLASS, "" for none) and the code page of the charset its
  // body came in (PR_INTERNET_CPID, 0 for none). Throws CMapiException.
  void getMimeForm(std::string& messageClass, LONG& codePage);
  std::string getID();
  std::string getPriority();
  double getSentDate();
  double getReceiveTime();
  CMapiContent* getContent();

  // Addresses, appended to `list`.
  void getFrom(CStringList& list);
  // The author (From:, PR_SENT_REPRESENTING_*), in getFrom's form; the sender
  // (getFrom) when the message names no one it was sent for. Throws
  // CMapiException.
  void getAuthor(CStringList& list);
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

  // Composition (a message created by a transport). Each operation writes
  // its properties to the MAPI message at once; send saves and submits.
  // They throw CMapiException, except setXHeader, which never does.
  void setSubject(std::string subject);
  void addRecipient(std::string name, std::string address, ULONG ulRecipientType);
  void addFrom(std::string name, std::string address);
  void setPriority(LONG priority);
  void setXHeader(std::string name, std::string value);
  void send();
  void setPlainTextBody(std::string body);
  void setHTMLBody(std::string body);
  void setReplyTo(std::string name, std::string address);

  // Attachments of a composed message: the file's bytes become the data of
  // a new attachment, saved with the message later. Throw CMapiException.
  void addAttachment(std::string attachName, std::string mimeType, std::string path);
  void addInlineAttachment(std::string attachName, std::string mimeType, std::string path, std::string contentID);

  // What one of the two attachment operations says when it fails.
  struct AttachTexts;

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
  // A message being composed whose transport was closed: it holds nothing
  // of MAPI any more and is only good for deletion.
  bool m_bTransportClosed;
  // A message a folder opened for reading: its envelope values are read
  // together (getOneProp).
  bool m_bEnvelopeTogether = false;
  // Lets go of the envelope values kept: with the MAPI message (their memory
  // is MAPI's: freed while the session lives), and when this object writes
  // values of the message.
  void forgetEnvelope();

 private:
  // HrGetOneProp, except that the short envelope values of a message a
  // folder opened (subject, dates, priority, importance, sender, size,
  // class, code page, identifier) are read with one GetProps when the first
  // is asked for and kept: they do not change while a received message is
  // open, and one read of the store serves them all instead of one each.
  HRESULT getOneProp(ULONG ulPropTag, LPSPropValue* lppProp);
  LPSPropValue m_lpEnvelope = nullptr;
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
  // The transport that created this message (null for a received one).
  CMapiSession* transport();
  void setOneProp(ULONG ulPropTag, const SPropValue& value, const char* prefix);
  void attachFile(const AttachTexts& texts, const std::string& attachName, const std::string& mimeType,
                  const std::string& path, const std::string* contentID);
};

#endif
