// Reads one RFC 5322 message with GMime 3 into a MailItem: the properties,
// recipients and attachments a MAPI delivery agent makes of it (after
// MS-OXCMAIL).
//
// Bad input is read as well as it can be: a broken boundary ends its part
// where the input ends, undecodable text is kept with replacement
// characters, a missing header leaves its property out, a header block that
// ends without its blank line ends at the first line that is not a field.
// Only input that is not a message at all (nothing but white space) is
// refused.
//
// The header block is read by the reader itself, within DeliveryLimits
// (GMime parses only the body and the fields that describe it); header text
// is decoded by headertext.h. Whatever a limit leaves out is named in an
// "X-Tolvane-Truncated" header of the item, never a failure: a mail server
// would otherwise retry the message forever.
#ifndef TOLVANE_MIME_MIMEREADER_H
#define TOLVANE_MIME_MIMEREADER_H

#include "headerblock.h"
#include "mailitem.h"

#include <sys/types.h>

#include <string>

typedef struct _GMimeStream GMimeStream;
typedef struct _GMimeMessage GMimeMessage;

namespace mapimime {

// Starts GMime once per process (thread-safe, idempotent). From then on
// GMime's parser leaves message/rfc822 (and message/global, message/news)
// parts unparsed, as leaves: the reader reads attached messages itself,
// within the delivery limits.
void initMime();

// What delivery keeps of one message at most. The defaults are far above
// what real mail holds; each can be set by an environment variable.
struct DeliveryLimits {
  // Bytes of header fields kept per message (TOLVANE_MAPI_MAX_HEADER_BYTES),
  // no field more than a quarter of it; at least 4096.
  size_t maxHeaderBytes = 1024 * 1024;
  // Recipients (To, Cc and Bcc together; rows of a non-delivery report;
  // Reply-To entries) kept per message (TOLVANE_MAPI_MAX_RECIPIENTS).
  size_t maxRecipients = 10000;
  // Nesting of address groups (TOLVANE_MAPI_MAX_GROUP_NESTING): mailboxes
  // in groups nested deeper are left out. RFC 5322 allows none.
  int maxGroupDepth = 8;

  // The defaults, with the environment's settings where they are numbers.
  static DeliveryLimits fromEnvironment();
};

// The header of the item that names what the limits left out, e.g.
// "recipients 10000 of 400000; headers 1048576 of 20971547 bytes".
extern const char* const kTruncationHeader;  // "X-Tolvane-Truncated"

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
  // input that is not a message. The limits are the environment's.
  static bool read(GMimeStream* stream, MailItem& item, std::string& error);
  static bool read(GMimeStream* stream, const DeliveryLimits& limits, MailItem& item, std::string& error);

  // Reads a message held in memory (tests, small inputs).
  static bool readBytes(const std::string& bytes, MailItem& item, std::string& error);
  static bool readBytes(const std::string& bytes, const DeliveryLimits& limits, MailItem& item,
                        std::string& error);

  // Converts a message: its header fields and its body (null: none).
  // depth: how many messages enclose it.
  static void convert(const HeaderBlock& headers, GMimeObject* body, MailItem& item, int depth,
                      const DeliveryLimits& limits);
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

// The PR_EMAIL_ADDRESS value of an address that came with Internet mail.
// Readers of the store take an address without "@" for the name of an
// address-book entry and look it up ("/o=corp/.../cn=boss" would become the
// directory's boss@corp): an address without a domain, or one that holds
// "SMTP:" itself, is stored behind the "SMTP:" prefix, which readers remove
// without a lookup, so that it reads back exactly as it was written.
std::string emailAddressValue(const std::string& address);

// The truncation note of an item, "" when nothing was left out.
std::string truncationNote(const MailItem& item);

// An 8.3 form of a file name (PR_ATTACH_FILENAME).
std::string shortFileName(const std::string& longName);

}  // namespace mapimime

#endif
