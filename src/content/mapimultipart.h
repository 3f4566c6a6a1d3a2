// CMapiMultipart: the ordered parts of a message's content; owns them.
#ifndef TOLVANE_CONTENT_MAPIMULTIPART_H
#define TOLVANE_CONTENT_MAPIMULTIPART_H

#include <mapix.h>

#include <string>
#include <vector>

class CMapiBodyPart;
class CMapiContent;
class CMapiMessage;

class CMapiMultipart {
 public:
  explicit CMapiMultipart(CMapiContent* owner);
  virtual ~CMapiMultipart();
  CMapiMultipart(const CMapiMultipart&) = delete;
  CMapiMultipart& operator=(const CMapiMultipart&) = delete;

  void addTextPart(int nType, ULONG ulPropTag, std::string disposition, std::string contentType, std::string text);
  void addHtmlPart(int nType, ULONG ulPropTag, std::string disposition, std::string contentType, std::string html);
  // An attachment part (kept by the multipart); ulSize is the attachment's PR_ATTACH_SIZE.
  CMapiBodyPart* addAttachmentPart(int nType, ULONG ulAttachNum, std::string fileName, std::string disposition,
                         std::string contentType, CMapiMessage* attachMessage, std::string contentId, ULONG ulSize);

  int getCount() const;
  // The part at a 0-based index; std::out_of_range outside 0 to count - 1.
  CMapiBodyPart* getPart(int index) const;

  CMapiContent* m_pOwnerContent;
  std::vector<CMapiBodyPart*> m_parts;

 private:
  CMapiBodyPart* appendPropertyPart(int nType, ULONG ulPropTag, std::string disposition, std::string contentType);
};

#endif
