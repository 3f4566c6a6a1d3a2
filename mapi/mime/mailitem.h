// The result of reading one RFC 5322 message: the MAPI properties,
// recipients and attachments it becomes, before anything touches a store.
// MimeReader fills it; MapiWriter writes it into an IMessage.
//
// Text values are UTF-8 here and become PT_UNICODE values when written.
// Attachment data is not copied: an attachment keeps a reference to its
// GMime part and is decoded piece by piece while it is written.
#ifndef TOLVANE_MIME_MAILITEM_H
#define TOLVANE_MIME_MAILITEM_H

#include <mapidefs.h>

#include <memory>
#include <string>
#include <vector>

typedef struct _GMimeObject GMimeObject;
typedef struct _GMimeStream GMimeStream;

namespace mapimime {

// One property value. The tag's type says which member holds the value:
// PT_UNICODE (text, UTF-8), PT_BINARY (bytes), PT_LONG, PT_BOOLEAN,
// PT_SYSTIME.
struct MailProp {
  ULONG tag = 0;
  std::string bytes;
  LONG l = 0;
  FILETIME ft{};

  static MailProp text(ULONG tag, std::string utf8);
  static MailProp binary(ULONG tag, std::string bytes);
  static MailProp longValue(ULONG tag, LONG value);
  static MailProp boolean(ULONG tag, bool value);
  static MailProp time(ULONG tag, FILETIME value);
};

using MailProps = std::vector<MailProp>;

// The first value with this tag, or null.
const MailProp* findProp(const MailProps& props, ULONG tag);

// A named property of PS_INTERNET_HEADERS: an Internet header kept by name.
struct MailHeaderProp {
  std::string name;   // the header's field name, as written
  std::string value;  // decoded, UTF-8
};

struct MailRecipient {
  ULONG type = MAPI_TO;  // MAPI_TO, MAPI_CC, MAPI_BCC
  std::string name;      // display name (the address when the header gave none)
  std::string address;   // SMTP address
  MailProps extra;       // report properties of a non-delivery report row
};

struct MailItem;

// Reference-counted handle of a GObject of GMime (g_object_ref / unref):
// a parsed part, or a stream of the input.
template <class T>
class GRef {
 public:
  GRef() = default;
  explicit GRef(T* object);  // takes a new reference
  GRef(const GRef& other);
  GRef& operator=(const GRef& other);
  ~GRef();
  T* get() const { return m_object; }

 private:
  T* m_object = nullptr;
};
using GObjectRef = GRef<GMimeObject>;
using GStreamRef = GRef<GMimeStream>;

struct MailAttachment {
  ULONG method = ATTACH_BY_VALUE;  // ATTACH_BY_VALUE or ATTACH_EMBEDDED_MSG
  MailProps props;                 // names, MIME tag, content id, ...
  // By value: the leaf part whose decoded content is the attachment data.
  GObjectRef part;
  // By value without a part: the data itself (small generated data).
  std::string inlineData;
  // By value, a MIME entity kept as it arrived (a signed message): its
  // content header fields, then the bytes of `entityBody` unchanged.
  std::string entityHead;
  GStreamRef entityBody;
  // Header fields of the part kept by name (PS_INTERNET_HEADERS): its
  // Content-Type as written when it has parameters beyond the charset, and
  // its Content-Disposition as written ("" when it had none).
  std::vector<MailHeaderProp> headers;
  // Embedded message.
  std::unique_ptr<MailItem> embedded;
};

// A text too long to hold in memory (a body of many MiB): converted to
// UTF-8 from its part piece by piece while it is written.
struct MailStreamedText {
  ULONG tag = 0;  // PT_UNICODE tag: PR_BODY_W or the HTML body
  GObjectRef part;
  std::string charset;
};

struct MailItem {
  MailProps props;
  std::vector<MailStreamedText> streamedTexts;
  std::vector<MailHeaderProp> headers;
  std::vector<MailRecipient> recipients;
  std::vector<MailAttachment> attachments;
  // Keeps the parsed message (and the parts the attachments refer to)
  // alive while the item is written.
  GObjectRef message;
};

}  // namespace mapimime

#endif
