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

  // Writes the part's data to `path`, once: later calls do nothing. Throws
  // CMapiException "Unable to write part to file" when the data cannot be
  // written.
  void writeToFile(const std::string& path);

  static HRESULT copyStreamToFile(LPSTREAM lpStream, platform::OutputFile& file);
  static HRESULT copyAttachmentDataToFile(LPMESSAGE lpMessage, ULONG ulAttachNum, platform::OutputFile& file);

  // Reads PR_ATTACH_SIZE of the part's attachment from the message's
  // attachment table; 0 when it cannot be read.
  void lookUpAttachmentSize();

  int m_nType;
  int m_nSource;
  ULONG m_ulPropTag;
  CMapiMultipart* m_pMultipart;
  std::string m_strDisposition;
  std::string m_strContentType;
  std::string m_strFilePath;
  ULONG m_ulAttachNum;
  std::string m_strFileName;
  ULONG m_ulSize;
  std::string m_strText;
  std::string m_strHtml;
  CMapiMessage* m_pAttachMessage;
  std::string m_strContentId;

 private:
  LPMESSAGE mapiMessage() const;
};

#endif
