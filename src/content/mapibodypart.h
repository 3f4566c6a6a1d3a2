// CMapiBodyPart: one part of a message's content, and its output to a file
// that belongs to the part.
#ifndef TOLVANE_CONTENT_MAPIBODYPART_H
#define TOLVANE_CONTENT_MAPIBODYPART_H

#include <mapix.h>

#include <string>

class CMapiMessage;
class CMapiMultipart;

namespace platform {
class OutputFile;
}

enum {
  PART_HTML_BODY = 1,
  PART_TEXT_BODY = 2,
  PART_ATTACHMENT = 4,
  PART_ATTACHED_MESSAGE = 5,
};

enum {
  SOURCE_MESSAGE_PROPERTY = 1,
  SOURCE_ATTACHMENT = 2,
};

class CMapiBodyPart {
 public:
  CMapiBodyPart();
  virtual ~CMapiBodyPart();
  CMapiBodyPart(const CMapiBodyPart&) = delete;
  CMapiBodyPart& operator=(const CMapiBodyPart&) = delete;

  std::string getContentType() const { return m_strContentType; }
  std::string getDisposition() const { return m_strDisposition; }
  std::string getText() const { return m_strText; }
  std::string getHtml() const { return m_strHtml; }
  std::string getFileName() const { return m_strFileName; }
  std::string getContentId() const { return m_strContentId; }

  // Writes the part's data to `path` (platform::OutputFile's rules: a new
  // file private to the user, or a regular file of the user emptied; never
  // through a symbolic link), once: after a successful write later calls do
  // nothing. Throws CMapiException "Unable to write part to file" when the
  // data cannot be written; the part then stays unwritten and a file the
  // call made is removed.
  void writeToFile(const std::string& path);

  // Opens the message of an attached-message part (its attachment's
  // PR_ATTACH_DATA_OBJ as IID_IMessage) into *lppMessage, which the caller
  // releases. A failure leaves *lppMessage null.
  HRESULT openAttachedMessage(LPMESSAGE* lppMessage) const;

  static HRESULT copyStreamToFile(LPSTREAM lpStream, platform::OutputFile& file);
  static HRESULT copyAttachmentDataToFile(LPMESSAGE lpMessage, ULONG ulAttachNum, platform::OutputFile& file);

  int m_nType;
  int m_nSource;
  ULONG m_ulPropTag;
  CMapiMultipart* m_pMultipart;
  std::string m_strDisposition;
  std::string m_strContentType;
  std::string m_strFilePath;
  ULONG m_ulAttachNum;
  std::string m_strFileName;
  // PR_ATTACH_SIZE of an attachment, from its row of the attachment table
  // that made the parts; 0 for the body texts and when the row has none.
  ULONG m_ulSize;
  std::string m_strText;
  std::string m_strHtml;
  CMapiMessage* m_pAttachMessage;
  std::string m_strContentId;

 private:
  LPMESSAGE mapiMessage() const;
  void writeAttachedMessage(const std::string& path);
  void writeData(const std::string& path);
};

#endif
