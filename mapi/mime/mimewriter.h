// MAPI to MIME: turns an outgoing MAPI message into an RFC 5322 message, the
// reverse of delivery. It reads the message through the SDK interfaces only
// (IMAPIProp, IMessage, IAttach, IStream), so it works with any store
// provider, and writes the MIME text to a GMime stream without holding any
// attachment whole: attachment data is read from the property's stream and
// encoded piece by piece as the message is written.
//
// What becomes what:
//   From / Sender      PR_SENDER_* (or PR_SENT_REPRESENTING_*, or the
//                      options' default sender when the message names none)
//   To / Cc            the recipient table (MAPI_TO, MAPI_CC); MAPI_BCC
//                      recipients go into the envelope only, never a header
//   Reply-To           PR_REPLY_RECIPIENT_ENTRIES (one-off entries) with
//                      PR_REPLY_RECIPIENT_NAMES
//   Subject            PR_SUBJECT, RFC 2047 encoded when not plain ASCII
//   Date               PR_CLIENT_SUBMIT_TIME (else the time of writing)
//   Message-ID         PR_INTERNET_MESSAGE_ID, generated when absent
//   X-Priority,
//   Importance         PR_PRIORITY (and PR_IMPORTANCE when set)
//   other headers      every named property of PS_INTERNET_HEADERS, except
//                      names that are not valid field names and names of
//                      headers written here (From, To, Cc, Bcc, Subject,
//                      Date, Message-ID, MIME-Version, Content-*, ...)
//   body               PR_BODY as text/plain, PR_BODY_HTML / PR_HTML as
//                      text/html; both: multipart/alternative
//   attachments        with PR_ATTACH_CONTENT_ID: multipart/related with
//                      the HTML body; others: multipart/mixed. File names
//                      RFC 2231 encoded; PR_ATTACH_MIME_TAG as the
//                      Content-Type, else a guess from the file name's
//                      extension, else application/octet-stream; binary
//                      data in base64; embedded messages as message/rfc822.
// No header value ever carries a bare CR or LF that would start a new
// header line: values are folded or stripped.
//
// Decisions the callers rely on:
//   - From is PR_SENT_REPRESENTING_* when the message has it (sent on
//     someone's behalf), with Sender from PR_SENDER_* when that address
//     differs; otherwise From is PR_SENDER_*. The envelope sender is the
//     From address. A sender address without a domain is resolved through
//     the address book like a recipient's.
//   - Every recipient row of type MAPI_TO, MAPI_CC or MAPI_BCC is in the
//     envelope, in table order. A row whose address is no usable Internet
//     address (none at all, no domain and not in the address book, another
//     address type, characters an address cannot hold) is there with
//     deliverable = false and a problem sentence, and is left out of To and
//     Cc: a header only ever names addresses one can reply to.
//   - A message that names no sender with an Internet address takes the
//     options' default sender; without one, writing fails with
//     MAPI_E_INVALID_PARAMETER (an attached message is written without From).
//   - A damaged PR_REPLY_RECIPIENT_ENTRIES is left out (no Reply-To); the
//     message is still written.
//   - PR_PRIORITY (else PR_IMPORTANCE) gives one level for both headers:
//     urgent "X-Priority: 1" and "Importance: high", non-urgent
//     "X-Priority: 5" and "Importance: low", normal neither.
//   - Bodies are UTF-8 in quoted-printable with their line ends made LF;
//     all attachment data is base64, so the whole output is 7-bit. Only
//     ATTACH_BY_VALUE and ATTACH_EMBEDDED_MSG attachments are written (a
//     reference is a local path, an OLE object has no MIME form); one
//     without data is an empty part.
//   - Lines end in LF unless the options ask for CRLF; `out` is written to
//     but neither flushed nor closed.
#ifndef TOLVANE_MIME_MIMEWRITER_H
#define TOLVANE_MIME_MIMEWRITER_H

#include <mapidefs.h>
#include <mapix.h>

#include <string>
#include <vector>

typedef struct _GMimeStream GMimeStream;

namespace mapimime {

// One recipient of the envelope, in recipient-table order.
struct EnvelopeRecipient {
  ULONG rowId = 0;          // PR_ROWID of the recipient row
  ULONG type = MAPI_TO;     // MAPI_TO, MAPI_CC, MAPI_BCC
  std::string displayName;  // UTF-8
  std::string address;      // the SMTP address, empty when none could be found
  // False when the row has no usable SMTP address (no address at all, or a
  // name without "@" that the address book did not resolve); `problem` then
  // says why, for the non-delivery report.
  bool deliverable = true;
  std::string problem;
};

struct OutgoingEnvelope {
  std::string sender;  // envelope sender (the From address), may be empty
  std::vector<EnvelopeRecipient> recipients;
  std::string messageId;           // as written in the header, with <>
  bool messageIdGenerated = false;  // the message had none: store it
  std::string subject;             // UTF-8, for logs and reports
};

struct MimeWriteOptions {
  // The sender when the message names none (the profile's identity).
  std::string defaultFromName;
  std::string defaultFromAddress;
  // Domain of generated Message-IDs (else taken from the sender address).
  std::string messageIdDomain;
  // The session's address book, for recipients that the address book
  // resolved (address type "EX", a directory entry identifier): their SMTP
  // address is the entry's. May be null: such recipients are then not
  // deliverable.
  LPADRBOOK addrBook = nullptr;
  // Lines end in CRLF (SMTP's canonical form) instead of LF.
  bool crlfLineEnds = false;
};

// Writes `message` as MIME to `out` and describes its envelope. The message
// is only read. On failure `error` says what failed (with the provider's
// text) and nothing useful is in `out`.
HRESULT writeMimeMessage(LPMESSAGE message, const MimeWriteOptions& options, GMimeStream* out,
                         OutgoingEnvelope& envelope, std::string& error);

// The entry identifiers of a FLATENTRYLIST (PR_REPLY_RECIPIENT_ENTRIES):
// false, with `entries` empty, when a count or size points past the end of
// the value; nothing outside the value is ever read.
bool parseFlatEntryList(const std::string& value, std::vector<std::string>& entries);

}  // namespace mapimime

#endif
