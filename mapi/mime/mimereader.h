// Reads one RFC 5322 message with GMime 3 into a MailItem: the properties,
// recipients and attachments a MAPI delivery agent makes of it (after
// MS-OXCMAIL).
//
// Bad input is read as well as it can be: a broken boundary ends its part
// where the input ends, undecodable text is kept with replacement
// characters, a missing header leaves its property out. Only input that is
// not a message at all (nothing but white space) is refused.
#ifndef TOLVANE_MIME_MIMEREADER_H
#define TOLVANE_MIME_MIMEREADER_H

#include "mailitem.h"

#include <sys/types.h>

#include <string>

typedef struct _GMimeStream GMimeStream;
typedef struct _GMimeMessage GMimeMessage;

namespace mapimime {

// Starts GMime once per process (thread-safe, idempotent).
void initMime();

class MimeReader {
 public:
  // Embedded messages deeper than this are attached as .eml files instead.
  static constexpr int kMaxEmbeddingDepth = 16;
  // Body texts whose encoded form is larger than this are not read here
  // but streamed while written (MailItem::streamedTexts).
  static constexpr size_t kHoldTextUpTo = 1024 * 1024;
  // X- headers kept as named properties per message.
  static constexpr size_t kMaxHeaderProps = 64;

  // Reads the message in `stream`, which must be seekable and stay alive
  // (and unchanged) while the item is used: attachment data is read from
  // it later, piece by piece. False with a sentence in `error` only for
  // input that is not a message.
  static bool read(GMimeStream* stream, MailItem& item, std::string& error);

  // Reads a message held in memory (tests, small inputs).
  static bool readBytes(const std::string& bytes, MailItem& item, std::string& error);

  // Converts a parsed message (depth: how many messages enclose it).
  static void convert(GMimeMessage* message, MailItem& item, int depth);
};

// The decoded content of a leaf part (transfer encoding removed), read in
// pieces.
class DecodedReader {
 public:
  explicit DecodedReader(GMimeObject* part);
  ~DecodedReader();
  DecodedReader(const DecodedReader&) = delete;
  DecodedReader& operator=(const DecodedReader&) = delete;

  // Up to n bytes; 0 at the end; -1 when the input cannot be read.
  ssize_t read(char* buf, size_t n);

 private:
  GMimeStream* m_stream = nullptr;
};

// The whole decoded content of a leaf part (for text and for tests).
std::string decodedContent(GMimeObject* part);

// A text property of the item, whole, also when it is streamed (tests);
// "" when the item has no such text.
std::string itemText(const MailItem& item, ULONG tag);

// The data of an attachment, whole (for tests and small values).
std::string attachmentData(const MailAttachment& attachment);

// The one-off entry identifier of an SMTP address (MS-OXCDATA 2.2.5.1,
// Unicode strings), and a FLATENTRYLIST of entry identifiers with each entry
// starting on a 4-byte boundary.
std::string oneOffEntryId(const std::string& name, const std::string& address);
std::string flatEntryList(const std::vector<std::string>& entryIds);

// An 8.3 form of a file name (PR_ATTACH_FILENAME).
std::string shortFileName(const std::string& longName);

}  // namespace mapimime

#endif
