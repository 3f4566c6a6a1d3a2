// Writes a MailItem into a MAPI message through the SDK interfaces only
// (IMAPIProp, IMessage, IAttach, IStream), so that it works with any store
// provider.
#ifndef TOLVANE_MIME_MAPIWRITER_H
#define TOLVANE_MIME_MAPIWRITER_H

#include "mailitem.h"

#include <mapidefs.h>

#include <string>

namespace mapimime {

class MapiWriter {
 public:
  // Attachment data is copied in pieces of this size.
  static constexpr size_t kPieceSize = 64 * 1024;
  // Texts longer than this are written through a stream.
  static constexpr size_t kStreamTextAbove = 1024 * 1024;
  // New X- header names become named properties only while the store has
  // used fewer named-property ids than this (of the 32,767 it has); names
  // it already maps are always used. TOLVANE_MAPI_HEADER_NAME_IDS sets it
  // (0: no new names).
  static constexpr ULONG kHeaderNameIdLimit = 4096;
  static ULONG headerNameIdLimit();

  // Writes the item's properties, named properties, recipients and
  // attachments (embedded messages recursively) into `message`, a new
  // message. Attachments and embedded messages are saved; the message
  // itself is not: the caller's SaveChanges makes the whole visible at once,
  // and releasing it unsaved leaves nothing behind. On failure `error`
  // says what failed, with the provider's own text.
  static HRESULT write(const MailItem& item, LPMESSAGE message, std::string& error);
};

// "what: provider text (0x8004...)" from the object's GetLastError.
std::string mapiErrorText(LPMAPIPROP object, HRESULT hr, const std::string& what);

}  // namespace mapimime

#endif
