// CMapiContent: the multipart view of one received message (its body texts,
// its usable attachments, and for a non-delivery report a generated text).
#ifndef TOLVANE_CONTENT_MAPICONTENT_H
#define TOLVANE_CONTENT_MAPICONTENT_H

#include <string>
#include <vector>

class CMapiMessage;
class CMapiMultipart;

class CMapiContent {
 public:
  CMapiContent();
  virtual ~CMapiContent();
  CMapiContent(const CMapiContent&) = delete;
  CMapiContent& operator=(const CMapiContent&) = delete;

  // Builds every part. Throws CMapiException when the message's property
  // list cannot be read or the report text fails.
  void calculateMultipart();
  bool isMultipart();
  // Appends the attachment parts; failures are logged, never raised.
  void createAttachmentParts();
  // The unreachable-recipient block of a non-delivery report (at most one
  // entry). Throws CMapiException when the recipient table fails.
  void getReportData(std::vector<std::string>& list);

  CMapiMessage* m_pMessage;
  CMapiMultipart* m_pMultipart;
  bool m_bMultipart;
  bool m_bCalculated;
  bool m_bHasHtml;
  bool m_bHasText;
  bool m_bHasAttachments;
  // The attached messages opened from this content's parts
  // (CMapiAttachedMessage): they belong to it and go with it.
  std::vector<CMapiMessage*> m_attached;

 private:
  void ensureMultipart();
  std::string buildReportText();
};

#endif
