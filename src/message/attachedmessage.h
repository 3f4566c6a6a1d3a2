// CMapiAttachedMessage: a message attached to a received message
// (ATTACH_EMBEDDED_MSG), opened from its attachment as IID_IMessage and read
// like any message of the folder.
//
// It belongs to the content of the message that holds it (CMapiContent),
// not to the folder: it is not in the folder's list, has no number and
// cannot be deleted. Its m_pFolder is the folder of that message, for the
// session (temporary directory, error texts) and for the closed-store check
// of the handles. It is deleted by closeAttachedMessage, or with the content
// that holds it (a change of the delete flag of the outer message, the
// folder's close): whatever comes first. Attached messages of an attached
// message belong to its own content the same way.
#ifndef TOLVANE_MESSAGE_ATTACHEDMESSAGE_H
#define TOLVANE_MESSAGE_ATTACHEDMESSAGE_H

#include "message/mapimessage.h"

class CMapiBodyPart;
class CMapiContent;

class CMapiAttachedMessage : public CMapiMessage {
 public:
  // Opens the attached message of `part` (a PART_ATTACHED_MESSAGE part of
  // the content `owner`) and adds it to the owner's list. Throws
  // CMapiException when the attachment or its message cannot be opened.
  static CMapiAttachedMessage* open(CMapiContent* owner, CMapiBodyPart* part);

  // Leaves the owner's list; the folder is not told anything (the message is
  // not in its list).
  ~CMapiAttachedMessage() override;

  // Releases the MAPI objects of the attached messages of `content`, and of
  // theirs, as the store of their folder closes: nothing of a closed session
  // is used again, not even for Release. The objects stay until their owner
  // deletes them.
  static void detachAll(CMapiContent* content);

  // The content this message belongs to; null once that content let it go.
  CMapiContent* m_pOwnerContent;

 private:
  CMapiAttachedMessage();
};

#endif
