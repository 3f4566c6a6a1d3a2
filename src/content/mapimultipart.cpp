#include "content/mapimultipart.h"

#include "content/mapibodypart.h"
#include "support/liveobjects.h"

#include <stdexcept>
#include <utility>

CMapiMultipart::CMapiMultipart(CMapiContent* owner) : m_pOwnerContent(owner) {
  liveobjects::enter(this, liveobjects::Kind::Multipart);
}

CMapiMultipart::~CMapiMultipart() {
  liveobjects::leave(this);
  for (CMapiBodyPart* part : m_parts) delete part;
  m_parts.clear();
}

CMapiBodyPart* CMapiMultipart::appendPropertyPart(int nType, ULONG ulPropTag, std::string disposition,
                                                  std::string contentType) {
  CMapiBodyPart* part = new CMapiBodyPart;
  part->m_nType = nType;
  part->m_nSource = SOURCE_MESSAGE_PROPERTY;
  part->m_ulPropTag = ulPropTag;
  part->m_pMultipart = this;
  part->m_strDisposition = std::move(disposition);
  part->m_strContentType = std::move(contentType);
  m_parts.push_back(part);
  return part;
}

void CMapiMultipart::addTextPart(int nType, ULONG ulPropTag, std::string disposition, std::string contentType,
                                 std::string text) {
  appendPropertyPart(nType, ulPropTag, std::move(disposition), std::move(contentType))->m_strText = std::move(text);
}

void CMapiMultipart::addHtmlPart(int nType, ULONG ulPropTag, std::string disposition, std::string contentType,
                                 std::string html) {
  appendPropertyPart(nType, ulPropTag, std::move(disposition), std::move(contentType))->m_strHtml = std::move(html);
}

CMapiBodyPart* CMapiMultipart::addAttachmentPart(int nType, ULONG ulAttachNum, std::string fileName, std::string disposition,
                                       std::string contentType, CMapiMessage* attachMessage, std::string contentId,
                                       ULONG ulSize) {
  CMapiBodyPart* part = new CMapiBodyPart;
  part->m_nType = nType;
  part->m_nSource = SOURCE_ATTACHMENT;
  part->m_ulPropTag = ulAttachNum;
  part->m_ulAttachNum = ulAttachNum;
  part->m_pMultipart = this;
  part->m_strFileName = std::move(fileName);
  part->m_strDisposition = std::move(disposition);
  part->m_strContentType = std::move(contentType);
  part->m_pAttachMessage = attachMessage;
  part->m_strContentId = std::move(contentId);
  part->m_ulSize = ulSize;
  m_parts.push_back(part);
  return part;
}

int CMapiMultipart::getCount() const { return static_cast<int>(m_parts.size()); }

CMapiBodyPart* CMapiMultipart::getPart(int index) const {
  if (index < 0 || index >= getCount()) throw std::out_of_range("body part index out of range");
  return m_parts[static_cast<size_t>(index)];
}
