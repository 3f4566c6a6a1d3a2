// CMapiBodyPart: one part of a message's content, and its output to a file
// that belongs to the part.
#ifndef TOLVANE_CONTENT_MAPIBODYPART_H
#define TOLVANE_CONTENT_MAPIBODYPART_H

#include <mapix.h>

#include <cstdint>
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

  // Reads up to n bytes of the part's data, from offset on, into buf (a
  // body text or an attachment; an attached message's data is the .msg file
  // that writeToFile writes). got is 0 only at the end of the data, and a
  // body text the message does not hold reads as empty. The stream stays
  // open from one call to the next that goes on where it ended, and is let
  // go at the end of the data and with the part. Throws CMapiException
  // "Unable to read the part's data" when the data cannot be read.
  void readData(uint64_t offset, void* buf, ULONG n, ULONG& got);

  // Opens the message of an attached-message part (its attachment's
  // PR_ATTACH_DATA_OBJ as IID_IMessage) into *lppMessage, which the caller
  // releases. A failure leaves *lppMessage null.
  HRESULT openAttachedMessage(LPMESSAGE* lppMessage) const;

  // What a MIME form of an attachment needs beyond its type, name and
  // content identifier, as the store keeps it: the charset of a text
  // (PR_TEXT_ATTACHMENT_CHARSET), the Content-Type and Content-Disposition
  // as they arrived (PS_INTERNET_HEADERS), the content location and
  // PR_ATTACH_FLAGS. Fields the attachment lacks (and all of a body text)
  // are left out of `present`. Throws CMapiException.
  // They are read once: from the row of the attachment table that made the
  // part when it had them (keepMimeFields), else from the attachment.
  enum MimeField { kMimeCharset, kMimeContentType, kMimeDisposition, kMimeLocation, kMimeFlags, kMimeFields };
  void getMimeFields(std::string (&fields)[kMimeFields], bool (&present)[kMimeFields]);

  // The tags of the MIME fields, in that order, in the store of `message`:
  // the two named ones resolved without making new names; one the store
  // never named is kNoMimeTag (the field is absent).
  static constexpr ULONG kNoMimeTag = PROP_TAG(PT_NULL, 0);
  static void mimeFieldTags(LPMESSAGE message, ULONG (&tags)[kMimeFields]);
  // Keeps the MIME fields from values read for those tags (GetProps' result
  // or a table row): a value whose tag is not the one asked for is absent.
  void keepMimeFields(const SPropValue* values, ULONG count, const ULONG (&tags)[kMimeFields]);

  static HRESULT copyStreamToFile(LPSTREAM lpStream, platform::OutputFile& file);

  // An attachment that holds a message (its data is a .msg file).
  bool isAttachedMessage() const { return m_nSource == SOURCE_ATTACHMENT && m_nType == PART_ATTACHED_MESSAGE; }

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
  // Opens the part's data from its start as m_lpDataStream (and, for an
  // attachment, m_lpDataAttach): S_OK; S_FALSE for a body text the message
  // does not hold (the data is empty); else the failure.
  HRESULT openDataStream();
  void releaseDataStream();

  bool m_bMimeKept = false;
  std::string m_mimeFields[kMimeFields];
  bool m_mimePresent[kMimeFields] = {};

  // The stream readData reads from, the attachment it belongs to, and where
  // the next read of it starts.
  LPATTACH m_lpDataAttach;
  LPSTREAM m_lpDataStream;
  uint64_t m_ullDataPos;
};

#endif
