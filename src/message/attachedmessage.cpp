#include "message/attachedmessage.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapicode.h>

#include <algorithm>
#include <memory>

CMapiAttachedMessage::CMapiAttachedMessage() : m_pOwnerContent(nullptr) {
  // Replaces the base's entry; the base destructor removes it.
  liveobjects::enter(this, liveobjects::Kind::AttachedMessage);
}

CMapiAttachedMessage::~CMapiAttachedMessage() {
  if (m_pOwnerContent) {
    auto& list = m_pOwnerContent->m_attached;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    m_pOwnerContent = nullptr;
  }
  // The folder does not hold this message: the base destructor must neither
  // look for it in the folder's list nor delete it from the folder.
  m_bDelete = false;
  m_pFolder = nullptr;
  // The base destructor releases the MAPI message and deletes the content,
  // which deletes the attached messages of this one.
}

CMapiAttachedMessage* CMapiAttachedMessage::open(CMapiContent* owner, CMapiBodyPart* part) {
  if (!owner || !owner->m_pMessage || !part || part->m_nType != PART_ATTACHED_MESSAGE)
    throw CMapiException("The body part is not an attached message");
  CMapiMessage* outer = owner->m_pMessage;
  if (!outer->m_lpMessage) throw CMapiException("The message that holds the attached message is not open");
  std::unique_ptr<CMapiAttachedMessage> message(new CMapiAttachedMessage);
  LPMESSAGE lpEmbedded = nullptr;
  HRESULT hr = part->openAttachedMessage(&lpEmbedded);
  if (FAILED(hr) || !lpEmbedded) {
    std::string text = "Unable to open the attached message: ";
    outer->getLastError(hr, text);
    mapiLog("CMapiAttachedMessage::open %s\n", text.c_str());
    throw CMapiException(text);
  }
  message->m_lpMessage = lpEmbedded;
  message->m_pFolder = outer->m_pFolder;
  message->m_bOwnedByFolder = false;
  message->m_pOwnerContent = owner;
  owner->m_attached.push_back(message.get());
  return message.release();
}

void CMapiAttachedMessage::detachAll(CMapiContent* content) {
  if (!content) return;
  for (CMapiMessage* message : content->m_attached) {
    if (message->m_lpMessage) {
      message->m_lpMessage->Release();
      message->m_lpMessage = nullptr;
    }
    detachAll(message->m_pContent);
  }
}
