#include "mimereader.h"

#include "dsn.h"
#include "headertext.h"
#include "mimetags.h"
#include "textconv.h"

#include <mapitags.h>

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <strings.h>

namespace mapimime {

const GUID kPsInternetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const char* const kSignedMessageClass = "IPM.Note.SMIME.MultipartSigned";
const char* const kSignedEntityName = "smime.p7m";

// ---- MailItem helpers ------------------------------------------------------

MailProp MailProp::text(ULONG tag, std::string utf8) {
  MailProp p;
  p.tag = tag;
  p.bytes = std::move(utf8);
  return p;
}
MailProp MailProp::binary(ULONG tag, std::string bytes) {
  MailProp p;
  p.tag = tag;
  p.bytes = std::move(bytes);
  return p;
}
MailProp MailProp::longValue(ULONG tag, LONG value) {
  MailProp p;
  p.tag = tag;
  p.l = value;
  return p;
}
MailProp MailProp::boolean(ULONG tag, bool value) {
  MailProp p;
  p.tag = tag;
  p.l = value ? 1 : 0;
  return p;
}
MailProp MailProp::time(ULONG tag, FILETIME value) {
  MailProp p;
  p.tag = tag;
  p.ft = value;
  return p;
}

const MailProp* findProp(const MailProps& props, ULONG tag) {
  for (const auto& p : props)
    if (p.tag == tag) return &p;
  return nullptr;
}

template <class T>
GRef<T>::GRef(T* object) : m_object(object) {
  if (m_object) g_object_ref(m_object);
}
template <class T>
GRef<T>::GRef(const GRef& other) : GRef(other.m_object) {}
template <class T>
GRef<T>& GRef<T>::operator=(const GRef& other) {
  if (other.m_object) g_object_ref(other.m_object);
  if (m_object) g_object_unref(m_object);
  m_object = other.m_object;
  return *this;
}
template <class T>
GRef<T>::~GRef() {
  if (m_object) g_object_unref(m_object);
}
template class GRef<GMimeObject>;
template class GRef<GMimeStream>;

void initMime() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_mime_init();
    // Attached messages are parsed by the reader (parseMessage below), one
    // at a time and within the delivery limits, not by GMime while it parses
    // the message that holds them: GMime would keep every field and address
    // of their headers in memory, 65 times their size for nested groups.
    // For the parser they are leaves, their content the message as written.
    // (This is GMime's table for the whole process; nothing else here parses
    // mail.)
    g_mime_object_register_type("message", "rfc822", GMIME_TYPE_PART);
    g_mime_object_register_type("message", "global", GMIME_TYPE_PART);
    g_mime_object_register_type("message", "news", GMIME_TYPE_PART);
  });
}

// ---- Decoding --------------------------------------------------------------

DecodedReader::DecodedReader(GMimeObject* part) {
  if (!part || !GMIME_IS_PART(part)) return;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (!content) return;
  GMimeStream* source = g_mime_data_wrapper_get_stream(content);
  if (!source) return;
  g_mime_stream_reset(source);
  GMimeStream* filtered = g_mime_stream_filter_new(source);
  switch (g_mime_data_wrapper_get_encoding(content)) {
    case GMIME_CONTENT_ENCODING_BASE64:
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
    case GMIME_CONTENT_ENCODING_UUENCODE: {
      GMimeFilter* decoder = g_mime_filter_basic_new(g_mime_data_wrapper_get_encoding(content), FALSE);
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), decoder);
      g_object_unref(decoder);
      break;
    }
    default:
      break;
  }
  m_stream = filtered;
}

DecodedReader::~DecodedReader() {
  if (m_stream) g_object_unref(m_stream);
}

ssize_t DecodedReader::read(char* buf, size_t n) {
  if (!m_stream) return 0;
  ssize_t got = g_mime_stream_read(m_stream, buf, n);
  if (got > 0) return got;
  if (got == 0 || g_mime_stream_eos(m_stream)) return 0;
  return -1;
}

std::string decodedContent(GMimeObject* part) {
  DecodedReader reader(part);
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = reader.read(buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string itemText(const MailItem& item, ULONG tag) {
  if (const MailProp* p = findProp(item.props, tag)) return p->bytes;
  for (const auto& t : item.streamedTexts) {
    if (t.tag != tag) continue;
    Utf8Converter converter(t.charset.empty() ? nullptr : t.charset.c_str());
    DecodedReader reader(t.part.get());
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = reader.read(buf, sizeof buf)) > 0) converter.feed(buf, static_cast<size_t>(n), out);
    converter.finish(out);
    return out;
  }
  return "";
}

std::string attachmentData(const MailAttachment& attachment) {
  if (attachment.part.get()) return decodedContent(attachment.part.get());
  if (!attachment.entityBody.get()) return attachment.inlineData;
  std::string out = attachment.entityHead;
  GMimeStream* body = attachment.entityBody.get();
  g_mime_stream_reset(body);
  char buf[65536];
  ssize_t n;
  while ((n = g_mime_stream_read(body, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// ---- Entry identifiers -----------------------------------------------------

namespace {

void appendUtf16z(std::string& out, const std::string& utf8) {
  std::wstring w = utf8ToWide(utf8);
  for (wchar_t wc : w) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c >= 0x10000) {
      c -= 0x10000;
      uint16_t hi = static_cast<uint16_t>(0xD800 + (c >> 10)), lo = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
      out += static_cast<char>(hi & 0xFF);
      out += static_cast<char>(hi >> 8);
      out += static_cast<char>(lo & 0xFF);
      out += static_cast<char>(lo >> 8);
    } else {
      out += static_cast<char>(c & 0xFF);
      out += static_cast<char>((c >> 8) & 0xFF);
    }
  }
  out += '\0';
  out += '\0';
}

void appendLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

std::string oneOffEntryId(const std::string& name, const std::string& address) {
  static const unsigned char kOneOffProvider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                    0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  std::string id(4, '\0');  // flags
  id.append(reinterpret_cast<const char*>(kOneOffProvider), 16);
  id += '\0';  // version
  id += '\0';
  // Unicode strings, no rich information (MAPI_ONE_OFF_UNICODE |
  // MAPI_ONE_OFF_NO_RICH_INFO), little-endian.
  id += static_cast<char>(0x01);
  id += static_cast<char>(0x80);
  appendUtf16z(id, name.empty() ? address : name);
  appendUtf16z(id, "SMTP");
  appendUtf16z(id, address);
  return id;
}

std::string flatEntryList(const std::vector<std::string>& entryIds) {
  std::string entries;
  for (const auto& id : entryIds) {
    appendLe32(entries, static_cast<uint32_t>(id.size()));
    entries += id;
    while (entries.size() % 4) entries += '\0';
  }
  std::string list;
  appendLe32(list, static_cast<uint32_t>(entryIds.size()));
  appendLe32(list, static_cast<uint32_t>(entries.size()));
  return list + entries;
}

std::string shortFileName(const std::string& longName) {
  std::string base = longName, ext;
  size_t dot = longName.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    base = longName.substr(0, dot);
    ext = longName.substr(dot + 1);
  }
  auto clean = [](const std::string& s, size_t max) {
    std::string out;
    for (unsigned char c : s) {
      if (out.size() == max) break;
      if (c >= 0x80) {
        // One '_' for each non-ASCII character (skip continuation bytes).
        if ((c & 0xC0) != 0x80) out += '_';
        continue;
      }
      if (c == ' ' || c == '.') continue;
      if (strchr("\"*+,/:;<=>?[\\]|", c) || c < 0x20) {
        out += '_';
        continue;
      }
      out += static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    return out;
  };
  std::string b = clean(base, 8), e = clean(ext, 3);
  if (b.empty()) b = "ATTACH";
  return e.empty() ? b : b + "." + e;
}

// ---- Limits ----------------------------------------------------------------

const char* const kTruncationHeader = "X-Tolvane-Truncated";

namespace {

// A positive number from the environment, else `fallback`.
size_t settingOf(const char* name, size_t fallback, size_t minimum) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long long n = strtoull(v, &end, 10);
  if (errno || !end || *end || *v == '-' || n == 0) return fallback;
  return n < minimum ? minimum : static_cast<size_t>(n);
}

}  // namespace

DeliveryLimits DeliveryLimits::fromEnvironment() {
  DeliveryLimits limits;
  limits.maxHeaderBytes = settingOf("TOLVANE_MAPI_MAX_HEADER_BYTES", limits.maxHeaderBytes, 4096);
  limits.maxRecipients = settingOf("TOLVANE_MAPI_MAX_RECIPIENTS", limits.maxRecipients, 1);
  limits.maxGroupDepth =
      static_cast<int>(std::min<size_t>(settingOf("TOLVANE_MAPI_MAX_GROUP_NESTING", limits.maxGroupDepth, 1), 1000));
  return limits;
}

std::string emailAddressValue(const std::string& address) {
  if (address.find('@') == std::string::npos || lowerAscii(address).find("smtp:") != std::string::npos)
    return "SMTP:" + address;
  return address;
}

std::string truncationNote(const MailItem& item) {
  for (const auto& h : item.headers)
    if (h.name == kTruncationHeader) return h.value;
  return "";
}

// ---- Conversion ------------------------------------------------------------

namespace {

std::string str(const char* s) { return s ? std::string(s) : std::string(); }

// The raw value of a field of a parsed part, or null.
const char* rawField(GMimeObject* obj, const char* name) {
  GMimeHeaderList* list = g_mime_object_get_header_list(obj);
  GMimeHeader* h = list ? g_mime_header_list_get_header(list, name) : nullptr;
  if (!h) return nullptr;
  const char* raw = g_mime_header_get_raw_value(h);
  return raw ? raw : g_mime_header_get_value(h);
}

std::string mediaType(GMimeObject* obj) {
  // RFC 2045 5.2: a Content-Type that is not "type/subtype" ("text" alone,
  // as some mailers write) is read as text/plain. GMime makes such a part
  // application/octet-stream.
  if (const char* raw = rawField(obj, "Content-Type")) {
    std::string value = unfoldHeader(raw);
    value = trim(value.substr(0, value.find(';')));
    size_t slash = value.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == value.size()) return "text/plain";
  }
  GMimeContentType* ct = g_mime_object_get_content_type(obj);
  if (!ct) return "text/plain";
  return lowerAscii(str(g_mime_content_type_get_media_type(ct)) + "/" +
                    str(g_mime_content_type_get_media_subtype(ct)));
}

// A field of the block, unfolded and trimmed; "" when it is missing.
std::string fieldText(const HeaderBlock& block, const char* name) {
  const HeaderLine* l = block.find(name);
  return l ? sanitizeUtf8(trim(unfoldHeader(l->raw))) : std::string();
}

FILETIME fileTimeOf(GDateTime* dt) { return fileTimeFromUnix(g_date_time_to_unix(dt)); }

bool parseDate(const std::string& text, FILETIME& ft) {
  if (text.empty()) return false;
  GDateTime* dt = g_mime_utils_header_decode_date(text.c_str());
  if (!dt) return false;
  ft = fileTimeOf(dt);
  g_date_time_unref(dt);
  return true;
}

// Reads the file name of a part: the RFC 2231 or RFC 2047 encoded
// "filename" of Content-Disposition or "name" of Content-Type, without any
// folder the sender's system put in front.
std::string fileNameOf(GMimeObject* obj) {
  if (!GMIME_IS_PART(obj)) return "";
  std::string name;
  bool found = false;
  if (const char* raw = rawField(obj, "Content-Disposition")) name = decodeParameter(unfoldHeader(raw), "filename", &found);
  if (!found || trim(name).empty()) {
    if (const char* raw = rawField(obj, "Content-Type")) name = decodeParameter(unfoldHeader(raw), "name", &found);
  }
  name = trim(name);
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  return name;
}

std::string extensionFor(const std::string& type) {
  static const struct {
    const char* type;
    const char* ext;
  } kTable[] = {{"text/plain", "txt"},        {"text/html", "html"},          {"text/calendar", "ics"},
                {"text/csv", "csv"},          {"text/xml", "xml"},            {"image/jpeg", "jpg"},
                {"image/png", "png"},         {"image/gif", "gif"},           {"image/svg+xml", "svg"},
                {"application/pdf", "pdf"},   {"application/zip", "zip"},     {"message/rfc822", "eml"},
                {"application/xml", "xml"},   {"message/delivery-status", "txt"},
                {"text/rfc822-headers", "txt"}, {"application/pkcs7-signature", "p7s"},
                {"application/pgp-signature", "asc"}};
  for (const auto& e : kTable)
    if (type == e.type) return e.ext;
  if (type.rfind("image/", 0) == 0) return type.substr(6);
  if (type.rfind("text/", 0) == 0) return "txt";
  return "bin";
}

// Whether a leaf part's content, as it stands in the input (encoded), is
// longer than `limit` bytes. The content of a message read through a
// GMimeStreamCat is counted by reading it: GMime 3.2.13 gives a substream of
// a cat stream the length from its source's start, not its own.
bool encodedLongerThan(GMimeObject* obj, size_t limit) {
  if (!GMIME_IS_PART(obj)) return false;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(obj));
  GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (!stream) return false;
  if (!GMIME_IS_STREAM_CAT(stream)) return g_mime_stream_length(stream) > static_cast<gint64>(limit);
  g_mime_stream_reset(stream);
  std::vector<char> buf(64 * 1024);
  size_t total = 0;
  ssize_t n;
  while (total <= limit && (n = g_mime_stream_read(stream, buf.data(), buf.size())) > 0) total += static_cast<size_t>(n);
  g_mime_stream_reset(stream);
  return total > limit;
}

bool isAttachmentDisposition(GMimeObject* obj) {
  GMimeContentDisposition* d = g_mime_object_get_content_disposition(obj);
  return d && g_mime_content_disposition_is_attachment(d);
}

GMimeMessage* parseMessage(GMimeStream* stream, HeaderBlock& block, gint64* bodyOffset = nullptr);

// What the properties of an attachment do not say of its part: the charset
// of a text (PR_TEXT_ATTACHMENT_CHARSET), the Content-Type as written when it
// has other parameters (format, method, name, ...), the Content-Disposition
// as written, or "" when the part had none.
void keepPartFields(GMimeObject* obj, const std::string& type, MailAttachment& a) {
  const char* charset = g_mime_object_get_content_type_parameter(obj, "charset");
  if (type.rfind("text/", 0) == 0 && charset && *charset)
    a.props.push_back(MailProp::text(kPrTextAttachmentCharset, sanitizeUtf8(trim(charset))));
  if (const char* raw = rawField(obj, "Content-Type")) {
    std::string value = trim(unfoldHeader(raw));
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    GMimeParamList* params = ct ? g_mime_content_type_get_parameters(ct) : nullptr;
    bool more = false;
    for (int i = 0; params && i < g_mime_param_list_length(params); ++i) {
      const char* name = g_mime_param_get_name(g_mime_param_list_get_parameter_at(params, i));
      if (name && strcasecmp(name, "charset") != 0) more = true;
    }
    // (Only a type as GMime read it: "text" alone was taken for text/plain.)
    std::string written = lowerAscii(trim(value.substr(0, value.find(';'))));
    if (more && written == type) a.headers.push_back({"Content-Type", sanitizeUtf8(value)});
  }
  const char* disposition = rawField(obj, "Content-Disposition");
  a.headers.push_back({"Content-Disposition", disposition ? sanitizeUtf8(trim(unfoldHeader(disposition))) : ""});
}

class Converter {
 public:
  Converter(MailItem& item, int depth, const DeliveryLimits& limits)
      : m_item(item), m_depth(depth), m_limits(limits) {}

  // The input the message was read from and where its body starts in it:
  // a signed message keeps its body from there, as it arrived.
  void setSource(GMimeStream* input, gint64 bodyOffset) {
    m_input = input;
    m_bodyOffset = bodyOffset;
  }

  void run(const HeaderBlock& headers, GMimeObject* body);

 private:
  void headers(const HeaderBlock& block);
  void addresses(const HeaderBlock& block);
  std::vector<AddressListMailbox> mailboxes(const HeaderBlock& block, const char* field, size_t max);
  void priority(const HeaderBlock& block);
  void walk(GMimeObject* obj, int level);
  void signedEntity(const HeaderBlock& block, GMimeMultipart* mp);
  void noteBodyCharset(bool plain, const char* charset);
  void alternative(GMimeMultipart* mp, int level);
  void related(GMimeMultipart* mp, int level);
  void report(GMimeMultipart* mp, int level);
  void leaf(GMimeObject* obj, bool relatedPart);
  bool takeAsBody(GMimeObject* obj, bool inAlternative);
  void attach(GMimeObject* obj, bool relatedPart);
  void attachedMessage(GMimeObject* part);
  void attachMessageFile(GMimeObject* part);
  void embed(const HeaderBlock& headers, GMimeMessage* inner, GMimeObject* container, bool original);
  void deliveryStatus(GMimeObject* part);
  void finishReport();
  void noteTruncation(const std::string& what);

  MailItem& m_item;
  int m_depth;
  const DeliveryLimits& m_limits;
  GMimeStream* m_input = nullptr;
  gint64 m_bodyOffset = -1;
  // The charset of the body (the plain text's, else the HTML's) and
  // whether it is the plain text's.
  std::string m_bodyCharset;
  bool m_bodyCharsetOfText = false;
  bool m_haveText = false;
  bool m_haveHtml = false;
  int m_alternativeDepth = 0;  // inside a multipart that is one rendering of an alternative
  bool m_textStreamed = false;
  bool m_htmlStreamed = false;
  std::string m_text;
  std::string m_html;
  // A delivery status report being read.
  bool m_inReport = false;
  bool m_haveStatus = false;
  DeliveryStatus m_status;
  std::string m_originalSubject;
  bool m_haveOriginalSubject = false;
  FILETIME m_originalTime{};
  bool m_haveOriginalTime = false;
  FILETIME m_messageTime{};
  // What the limits left out ("recipients 10000 of 400000", ...).
  std::vector<std::string> m_truncated;
  // Mailboxes in groups nested too deep, of all address fields.
  size_t m_tooDeep = 0;
  // Mailboxes of the fields the last mailboxes() call read, kept or not.
  size_t m_lastTotal = 0;
};

void Converter::run(const HeaderBlock& block, GMimeObject* body) {
  m_item.props.push_back(MailProp::text(PR_MESSAGE_CLASS_W, "IPM.Note"));
  if (block.truncated())
    noteTruncation("headers " + std::to_string(block.bytesKept()) + " of " + std::to_string(block.bytesSeen()) +
                   " bytes");
  if (block.partHeaderBytesSeen > block.partHeaderBytesKept)
    noteTruncation("part headers " + std::to_string(block.partHeaderBytesKept) + " of " +
                   std::to_string(block.partHeaderBytesSeen) + " bytes");
  headers(block);
  addresses(block);
  priority(block);
  if (body && m_depth == 0 && m_input && GMIME_IS_MULTIPART(body) && mediaType(body) == "multipart/signed") {
    signedEntity(block, GMIME_MULTIPART(body));
  } else if (body) {
    walk(body, 0);
  }
  if (m_inReport) finishReport();
  if (m_haveText && !m_textStreamed) m_item.props.push_back(MailProp::text(PR_BODY_W, m_text));
  if (m_haveHtml && !m_htmlStreamed) m_item.props.push_back(MailProp::text(kPrBodyHtml, m_html));
  // PR_INTERNET_CPID names the charset the body came in (the text is kept
  // as Unicode all the same), so that the body can be written out again in
  // it; a body without a charset is US-ASCII (RFC 2045), and one in a
  // charset without a code page, or no body, is UTF-8.
  LONG cpid = kCpUtf8;
  if (m_haveText || m_haveHtml) {
    cpid = m_bodyCharset.empty() ? kCpUsAscii : codePageOfCharset(m_bodyCharset);
    if (cpid == 0) cpid = kCpUtf8;
  }
  m_item.props.push_back(MailProp::longValue(kPrInternetCpid, cpid));
  m_item.props.push_back(MailProp::longValue(kPrMessageCodepage, kCpUtf8));
  bool hasAttach = !m_item.attachments.empty();
  m_item.props.push_back(MailProp::boolean(PR_HASATTACH, hasAttach));
  m_item.props.push_back(MailProp::longValue(PR_MESSAGE_FLAGS, hasAttach ? MSGFLAG_HASATTACH : 0));
  if (m_tooDeep > 0)
    noteTruncation("addresses in groups nested deeper than " + std::to_string(m_limits.maxGroupDepth) + " " +
                   std::to_string(m_tooDeep));
  if (!m_truncated.empty()) {
    std::string note;
    for (const auto& t : m_truncated) note += (note.empty() ? "" : "; ") + t;
    m_item.headers.insert(m_item.headers.begin(), MailHeaderProp{kTruncationHeader, note});
    // The transport headers say it as well (the named property may find no
    // room in a store whose names are used up).
    for (auto& p : m_item.props)
      if (p.tag == PR_TRANSPORT_MESSAGE_HEADERS_W) p.bytes = std::string(kTruncationHeader) + ": " + note + "\n" + p.bytes;
  }
}

void Converter::noteTruncation(const std::string& what) { m_truncated.push_back(what); }

void Converter::headers(const HeaderBlock& block) {
  if (const HeaderLine* s = block.find("Subject")) {
    std::string subject = trim(decodeHeaderText(unfoldHeader(s->raw)));
    m_item.props.push_back(MailProp::text(PR_SUBJECT_W, subject));
    // "Re: " and the like: the prefix is what stands before the first
    // colon when that is short and has no blank (MS-OXCMAIL).
    std::string prefix, normalized = subject;
    size_t colon = subject.find(':');
    if (colon != std::string::npos && colon > 0 && colon <= 3 && subject.find(' ') > colon) {
      size_t rest = subject.find_first_not_of(' ', colon + 1);
      prefix = subject.substr(0, colon + 1) + " ";
      normalized = rest == std::string::npos ? "" : subject.substr(rest);
    }
    m_item.props.push_back(MailProp::text(PR_SUBJECT_PREFIX_W, prefix));
    m_item.props.push_back(MailProp::text(PR_NORMALIZED_SUBJECT_W, normalized));
    m_item.props.push_back(MailProp::text(PR_CONVERSATION_TOPIC_W, normalized));
  }

  if (const HeaderLine* l = block.find("Message-ID")) {
    char* id = g_mime_utils_decode_message_id(unfoldHeader(l->raw).c_str());
    if (id && *id) m_item.props.push_back(MailProp::text(kPrInternetMessageId, "<" + sanitizeUtf8(id) + ">"));
    g_free(id);
  }
  std::string inReplyTo = fieldText(block, "In-Reply-To");
  if (!inReplyTo.empty()) m_item.props.push_back(MailProp::text(kPrInReplyToId, inReplyTo));
  std::string references = fieldText(block, "References");
  if (!references.empty()) m_item.props.push_back(MailProp::text(kPrInternetReferences, references));

  FILETIME now = fileTimeNow();
  m_messageTime = now;
  parseDate(fieldText(block, "Date"), m_messageTime);
  m_item.props.push_back(MailProp::time(PR_CLIENT_SUBMIT_TIME, m_messageTime));
  if (m_depth == 0) m_item.props.push_back(MailProp::time(PR_MESSAGE_DELIVERY_TIME, now));

  if (m_depth == 0 && !block.lines().empty())
    m_item.props.push_back(MailProp::text(PR_TRANSPORT_MESSAGE_HEADERS_W, sanitizeUtf8(block.text())));
  // X- headers as named properties; the first of several with one name,
  // and no more than kMaxHeaderProps of them (each new name takes one of the
  // store's named properties for good).
  std::set<std::string> seen = {lowerAscii(kTruncationHeader)};  // only delivery says that
  for (const auto& l : block.lines()) {
    if (m_item.headers.size() >= MimeReader::kMaxHeaderProps) break;
    const std::string& name = l.name;
    if (name.size() < 3 || (name[0] != 'X' && name[0] != 'x') || name[1] != '-') continue;
    if (!seen.insert(lowerAscii(name)).second) continue;
    m_item.headers.push_back({sanitizeUtf8(name), trim(decodeHeaderText(unfoldHeader(l.raw)))});
  }
}

// The mailboxes of every field of this name, at most `max`; the counts of
// those left out are noted.
std::vector<AddressListMailbox> Converter::mailboxes(const HeaderBlock& block, const char* field, size_t max) {
  std::vector<AddressListMailbox> out;
  size_t total = 0;
  for (const auto& l : block.lines()) {
    if (strcasecmp(l.name.c_str(), field) != 0) continue;
    AddressListCounts counts;
    std::vector<AddressListMailbox> some =
        parseAddressList(unfoldHeader(l.raw), max - std::min(max, out.size()), m_limits.maxGroupDepth, &counts);
    total += counts.mailboxes - counts.tooDeep;
    m_tooDeep += counts.tooDeep;
    for (auto& m : some) {
      if (m.name.empty()) m.name = m.address;
      out.push_back(std::move(m));
    }
  }
  m_lastTotal = total;
  return out;
}

void Converter::addresses(const HeaderBlock& block) {
  std::vector<AddressListMailbox> from = mailboxes(block, "From", 1);
  std::vector<AddressListMailbox> sender = mailboxes(block, "Sender", 1);
  if (sender.empty()) sender = from;
  if (from.empty()) from = sender;
  if (!sender.empty()) {
    const AddressListMailbox& s = sender.front();
    m_item.props.push_back(MailProp::text(PR_SENDER_NAME_W, s.name));
    m_item.props.push_back(MailProp::text(PR_SENDER_EMAIL_ADDRESS_W, emailAddressValue(s.address)));
    m_item.props.push_back(MailProp::text(PR_SENDER_ADDRTYPE_W, "SMTP"));
    m_item.props.push_back(MailProp::binary(PR_SENDER_ENTRYID, oneOffEntryId(s.name, s.address)));
    m_item.props.push_back(MailProp::binary(PR_SENDER_SEARCH_KEY, "SMTP:" + lowerAscii(s.address) + '\0'));
    m_item.props.push_back(MailProp::text(kPrSenderSmtpAddress, s.address));
  }
  if (!from.empty()) {
    const AddressListMailbox& f = from.front();
    m_item.props.push_back(MailProp::text(PR_SENT_REPRESENTING_NAME_W, f.name));
    m_item.props.push_back(MailProp::text(PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, emailAddressValue(f.address)));
    m_item.props.push_back(MailProp::text(PR_SENT_REPRESENTING_ADDRTYPE_W, "SMTP"));
    m_item.props.push_back(MailProp::binary(PR_SENT_REPRESENTING_ENTRYID, oneOffEntryId(f.name, f.address)));
    m_item.props.push_back(
        MailProp::binary(PR_SENT_REPRESENTING_SEARCH_KEY, "SMTP:" + lowerAscii(f.address) + '\0'));
    m_item.props.push_back(MailProp::text(kPrSentRepresentingSmtpAddress, f.address));
  }

  static const struct {
    const char* field;
    ULONG type;
  } kKinds[] = {{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}};
  size_t total = 0;
  for (const auto& k : kKinds) {
    size_t room = m_limits.maxRecipients - std::min(m_limits.maxRecipients, m_item.recipients.size());
    std::vector<AddressListMailbox> boxes = mailboxes(block, k.field, room);
    total += m_lastTotal;
    for (auto& b : boxes) {
      MailRecipient r;
      r.type = k.type;
      r.name = std::move(b.name);
      r.address = std::move(b.address);
      m_item.recipients.push_back(std::move(r));
    }
  }
  if (total > m_item.recipients.size())
    noteTruncation("recipients " + std::to_string(m_item.recipients.size()) + " of " + std::to_string(total));

  std::vector<AddressListMailbox> replyTo = mailboxes(block, "Reply-To", m_limits.maxRecipients);
  if (m_lastTotal > replyTo.size())
    noteTruncation("reply-to " + std::to_string(replyTo.size()) + " of " + std::to_string(m_lastTotal));
  if (!replyTo.empty()) {
    std::string names;
    std::vector<std::string> ids;
    for (const auto& r : replyTo) {
      if (!names.empty()) names += "; ";
      names += r.name;
      ids.push_back(oneOffEntryId(r.name, r.address));
    }
    m_item.props.push_back(MailProp::text(PR_REPLY_RECIPIENT_NAMES_W, names));
    m_item.props.push_back(MailProp::binary(PR_REPLY_RECIPIENT_ENTRIES, flatEntryList(ids)));
  }
}

void Converter::priority(const HeaderBlock& block) {
  // PR_PRIORITY: 1 urgent, 0 normal, -1 non-urgent. PR_IMPORTANCE: 2 high,
  // 1 normal, 0 low. The first of X-Priority, Importance and Priority that
  // the message has and that makes sense sets both; without any the message
  // is normal.
  LONG prio = 0;
  std::string x = fieldText(block, "X-Priority");
  std::string importance = lowerAscii(fieldText(block, "Importance"));
  std::string priority = lowerAscii(fieldText(block, "Priority"));
  if (!x.empty() && x[0] >= '1' && x[0] <= '5') {
    prio = x[0] <= '2' ? 1 : (x[0] == '3' ? 0 : -1);
  } else if (importance == "high" || importance == "normal" || importance == "low") {
    prio = importance == "high" ? 1 : (importance == "low" ? -1 : 0);
  } else if (priority == "urgent" || priority == "normal" || priority == "non-urgent") {
    prio = priority == "urgent" ? 1 : (priority == "non-urgent" ? -1 : 0);
  }
  m_item.props.push_back(MailProp::longValue(PR_PRIORITY, prio));
  m_item.props.push_back(MailProp::longValue(PR_IMPORTANCE, prio + 1));
}

void Converter::walk(GMimeObject* obj, int level) {
  if (GMIME_IS_MESSAGE_PART(obj)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
    if (inner) {
      embed(HeaderBlock::fromGMime(GMIME_OBJECT(inner), m_limits.maxHeaderBytes), inner, obj, m_inReport);
    } else {
      attach(obj, false);
    }
    return;
  }
  if (GMIME_IS_MULTIPART(obj)) {
    GMimeMultipart* mp = GMIME_MULTIPART(obj);
    std::string type = mediaType(obj);
    if (type == "multipart/alternative") {
      alternative(mp, level);
    } else if (type == "multipart/related") {
      related(mp, level);
    } else if (type == "multipart/report" &&
               lowerAscii(str(g_mime_object_get_content_type_parameter(obj, "report-type"))) == "delivery-status" &&
               !m_inReport) {
      report(mp, level);
    } else {
      int n = g_mime_multipart_get_count(mp);
      for (int i = 0; i < n; ++i) walk(g_mime_multipart_get_part(mp, i), level + 1);
    }
    return;
  }
  leaf(obj, false);
}

bool Converter::takeAsBody(GMimeObject* obj, bool inAlternative) {
  if (!GMIME_IS_PART(obj) || isAttachmentDisposition(obj) || !fileNameOf(obj).empty()) return false;
  std::string type = mediaType(obj);
  bool plain = type == "text/plain", html = type == "text/html";
  if (!plain && !html) return false;
  // Outside an alternative only the first text part is the body; the
  // parts after it are attachments, so that nothing is lost.
  if (!inAlternative && m_alternativeDepth == 0 && (m_haveText || m_haveHtml)) return false;
  if ((plain && m_haveText) || (html && m_haveHtml)) return false;
  const char* charset = g_mime_object_get_content_type_parameter(obj, "charset");
  noteBodyCharset(plain, charset);
  if (encodedLongerThan(obj, MimeReader::kHoldTextUpTo)) {
    MailStreamedText t;
    t.tag = plain ? PR_BODY_W : kPrBodyHtml;
    t.part = GObjectRef(obj);
    t.charset = str(charset);
    m_item.streamedTexts.push_back(t);
    (plain ? m_haveText : m_haveHtml) = true;
    (plain ? m_textStreamed : m_htmlStreamed) = true;
    return true;
  }
  std::string text = toUtf8(decodedContent(obj), charset);
  if (plain && lowerAscii(str(g_mime_object_get_content_type_parameter(obj, "format"))) == "flowed")
    text = unflow(text, lowerAscii(str(g_mime_object_get_content_type_parameter(obj, "delsp"))) == "yes");
  if (plain) {
    m_text = std::move(text);
    m_haveText = true;
  } else {
    m_html = std::move(text);
    m_haveHtml = true;
  }
  return true;
}

void Converter::noteBodyCharset(bool plain, const char* charset) {
  if (m_bodyCharsetOfText) return;
  if (plain || (!m_haveText && !m_haveHtml)) {
    m_bodyCharset = trim(str(charset));
    m_bodyCharsetOfText = plain;
  }
}

// A signed message (multipart/signed) is kept as it arrived, so that its
// signature can still be checked: one attachment holds the whole signed
// entity (its content header fields and its body byte for byte), and the
// message class says so (IPM.Note.SMIME.MultipartSigned). The body texts of
// the signed content are read as for any message, for those who only read
// the message; its attachments stay in the entity, not stored twice.
void Converter::signedEntity(const HeaderBlock& block, GMimeMultipart* mp) {
  if (g_mime_multipart_get_count(mp) > 0) {
    size_t before = m_item.attachments.size();
    walk(g_mime_multipart_get_part(mp, 0), 1);
    m_item.attachments.resize(before);
  }
  for (auto& p : m_item.props)
    if (p.tag == PR_MESSAGE_CLASS_W) p.bytes = kSignedMessageClass;
  MailAttachment a;
  std::string eol = "\n";
  for (const auto& l : block.lines()) {
    if (strncasecmp(l.name.c_str(), "content-", 8) != 0) continue;
    a.entityHead += l.name + ":" + l.raw;
    if (l.raw.empty() || l.raw.back() != '\n') a.entityHead += '\n';
    eol = l.raw.size() >= 2 && l.raw.compare(l.raw.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "\n";
  }
  a.entityHead += eol;
  GMimeStream* body = g_mime_stream_substream(m_input, m_bodyOffset, m_input->bound_end);
  a.entityBody = GStreamRef(body);
  if (body) g_object_unref(body);
  a.props.push_back(MailProp::text(PR_ATTACH_LONG_FILENAME_W, kSignedEntityName));
  a.props.push_back(MailProp::text(PR_ATTACH_FILENAME_W, shortFileName(kSignedEntityName)));
  a.props.push_back(MailProp::text(PR_ATTACH_EXTENSION_W, ".p7m"));
  a.props.push_back(MailProp::text(PR_DISPLAY_NAME_W, kSignedEntityName));
  a.props.push_back(MailProp::text(PR_ATTACH_MIME_TAG_W, "multipart/signed"));
  m_item.attachments.push_back(std::move(a));
}

void Converter::leaf(GMimeObject* obj, bool relatedPart) {
  std::string type = mediaType(obj);
  if (type == "message/rfc822" || type == "message/global" || type == "message/news") {
    attachedMessage(obj);
    return;
  }
  if (m_inReport && type == "message/delivery-status") {
    deliveryStatus(obj);
    attach(obj, false);
    return;
  }
  if (m_inReport && type == "text/rfc822-headers") {
    // The headers of the undelivered message: an embedded message without
    // content, its fields read within the limits as they are decoded.
    DecodedReader reader(obj);
    HeaderBlock block(m_limits.maxHeaderBytes);
    int64_t end = 0;
    scanHeaderBlock([&reader](char* buf, size_t n) { return reader.read(buf, n); }, block, end);
    if (!block.lines().empty()) {
      embed(block, nullptr, obj, true);
    } else {
      attach(obj, false);
    }
    return;
  }
  if (!relatedPart && takeAsBody(obj, false)) return;
  attach(obj, relatedPart);
}

void Converter::alternative(GMimeMultipart* mp, int level) {
  int n = g_mime_multipart_get_count(mp);
  for (int i = 0; i < n; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(mp, i);
    if (GMIME_IS_MULTIPART(child)) {
      // Another rendering of the body (multipart/related, or the
      // multipart/mixed of HTML pieces and attachments some mailers write):
      // its first text of a kind not yet found is that body.
      ++m_alternativeDepth;
      walk(child, level + 1);
      --m_alternativeDepth;
      continue;
    }
    if (takeAsBody(child, true)) continue;
    std::string type = mediaType(child);
    // Other renderings of the text (text/enriched, a second plain or HTML
    // version) add nothing; anything else (a calendar) is kept.
    if (type.rfind("text/", 0) == 0 && type != "text/calendar" && !isAttachmentDisposition(child)) continue;
    leaf(child, false);
  }
}

void Converter::related(GMimeMultipart* mp, int level) {
  int n = g_mime_multipart_get_count(mp);
  if (n == 0) return;
  // The root is the part named by "start", else the first.
  int root = 0;
  std::string start = str(g_mime_object_get_content_type_parameter(GMIME_OBJECT(mp), "start"));
  if (start.size() > 2 && start.front() == '<' && start.back() == '>') start = start.substr(1, start.size() - 2);
  if (!start.empty()) {
    for (int i = 0; i < n; ++i) {
      const char* cid = g_mime_object_get_content_id(g_mime_multipart_get_part(mp, i));
      if (cid && start == cid) root = i;
    }
  }
  GMimeObject* rootPart = g_mime_multipart_get_part(mp, root);
  if (GMIME_IS_MULTIPART(rootPart)) {
    walk(rootPart, level + 1);
  } else if (!takeAsBody(rootPart, true)) {
    leaf(rootPart, false);
  }
  for (int i = 0; i < n; ++i) {
    if (i == root) continue;
    GMimeObject* child = g_mime_multipart_get_part(mp, i);
    if (GMIME_IS_PART(child)) {
      attach(child, true);
    } else {
      walk(child, level + 1);
    }
  }
}

void Converter::report(GMimeMultipart* mp, int level) {
  m_inReport = true;
  int n = g_mime_multipart_get_count(mp);
  for (int i = 0; i < n; ++i) walk(g_mime_multipart_get_part(mp, i), level + 1);
}

// The failed recipients of the report, read as the part is decoded: no more
// than the limit are kept, however many the report names.
void Converter::deliveryStatus(GMimeObject* part) {
  DeliveryStatusReader status(m_limits.maxRecipients, true);
  DecodedReader reader(part);
  std::vector<char> buf(64 * 1024);
  ssize_t n;
  while ((n = reader.read(buf.data(), buf.size())) > 0) status.feed(buf.data(), static_cast<size_t>(n));
  m_status = status.finish();
  m_haveStatus = true;
}

void Converter::finishReport() {
  if (!m_haveStatus) return;
  std::vector<const DsnRecipient*> failed;
  for (const auto& r : m_status.recipients)
    if (r.action == "failed") failed.push_back(&r);
  if (failed.empty()) return;
  for (auto& p : m_item.props)
    if (p.tag == PR_MESSAGE_CLASS_W) p.bytes = "REPORT.IPM.Note.NDR";
  if (m_haveOriginalSubject) m_item.props.push_back(MailProp::text(PR_ORIGINAL_SUBJECT_W, m_originalSubject));
  if (m_haveOriginalTime) m_item.props.push_back(MailProp::time(PR_ORIGINAL_SUBMIT_TIME, m_originalTime));
  // The recipient table of a report lists the recipients it reports on.
  m_item.recipients.clear();
  // (The message's own recipients no longer count against the limit.)
  for (auto it = m_truncated.begin(); it != m_truncated.end();)
    it = it->rfind("recipients ", 0) == 0 ? m_truncated.erase(it) : it + 1;
  if (m_status.recipientsSeen > failed.size())
    noteTruncation("recipients " + std::to_string(failed.size()) + " of " + std::to_string(m_status.recipientsSeen));
  FILETIME arrival = m_messageTime;
  parseDate(m_status.arrivalDate, arrival);
  for (const DsnRecipient* r : failed) {
    MailRecipient row;
    row.type = MAPI_TO;
    row.address = r->finalRecipient.empty() ? r->originalRecipient : r->finalRecipient;
    if (row.address.size() > 2 && row.address.front() == '<' && row.address.back() == '>')
      row.address = row.address.substr(1, row.address.size() - 2);
    row.name = row.address;
    FILETIME when = arrival;
    parseDate(r->lastAttemptDate, when);
    std::string text = r->diagnostic;
    if (text.empty()) text = describeStatus(r->status);
    if (text.empty()) text = "Delivery failed";
    std::string info = r->status;
    if (info.empty()) info = "5.0.0";
    row.extra.push_back(MailProp::time(PR_REPORT_TIME, when));
    row.extra.push_back(MailProp::text(PR_REPORT_TEXT_W, text));
    row.extra.push_back(MailProp::text(PR_SUPPLEMENTARY_INFO_W, info));
    m_item.recipients.push_back(row);
  }
}

// A message/rfc822 part (a leaf for GMime, see initMime): read like the
// message that holds it, within the same limits, and embedded.
void Converter::attachedMessage(GMimeObject* part) {
  GMimeDataWrapper* content = GMIME_IS_PART(part) ? g_mime_part_get_content(GMIME_PART(part)) : nullptr;
  GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
  GMimeContentEncoding encoding = content ? g_mime_data_wrapper_get_encoding(content) : GMIME_CONTENT_ENCODING_DEFAULT;
  bool asWritten = encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
                   encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY;
  // Too deep to nest further, or encoded (RFC 2046 allows no encoding
  // here): kept as a file.
  if (!raw || !asWritten || m_depth + 1 > MimeReader::kMaxEmbeddingDepth) {
    attachMessageFile(part);
    return;
  }
  g_mime_stream_reset(raw);
  HeaderBlock block(m_limits.maxHeaderBytes);
  GMimeMessage* inner = parseMessage(raw, block);
  if (!inner || block.lines().empty()) {
    // No message in it: its bytes as they are.
    if (inner) g_object_unref(inner);
    attach(part, false);
    return;
  }
  embed(block, inner, part, m_inReport);
  g_object_unref(inner);
}

void Converter::attachMessageFile(GMimeObject* part) {
  MailAttachment a;
  a.part = GObjectRef(part);
  a.props.push_back(MailProp::text(PR_ATTACH_LONG_FILENAME_W, "message.eml"));
  a.props.push_back(MailProp::text(PR_ATTACH_FILENAME_W, "MESSAGE.EML"));
  a.props.push_back(MailProp::text(PR_ATTACH_EXTENSION_W, ".eml"));
  a.props.push_back(MailProp::text(PR_DISPLAY_NAME_W, "message.eml"));
  a.props.push_back(MailProp::text(PR_ATTACH_MIME_TAG_W, "message/rfc822"));
  m_item.attachments.push_back(std::move(a));
}

// An attached message: its fields and body (`inner`, null for the headers
// of a report without a body), in the part `container`.
void Converter::embed(const HeaderBlock& block, GMimeMessage* inner, GMimeObject* container, bool original) {
  if (original && !m_haveOriginalSubject) {
    if (const HeaderLine* s = block.find("Subject")) {
      m_originalSubject = trim(decodeHeaderText(unfoldHeader(s->raw)));
      m_haveOriginalSubject = true;
    }
    m_haveOriginalTime = parseDate(fieldText(block, "Date"), m_originalTime);
  }
  MailAttachment a;
  if (m_depth + 1 > MimeReader::kMaxEmbeddingDepth) {
    // Too deep to nest further: keep the message as a file.
    if (inner) {
      GMimeStream* mem = g_mime_stream_mem_new();
      g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, mem);
      GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
      a.inlineData.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
      g_object_unref(mem);
    } else {
      a.part = GObjectRef(container);
    }
    a.props.push_back(MailProp::text(PR_ATTACH_LONG_FILENAME_W, "message.eml"));
    a.props.push_back(MailProp::text(PR_ATTACH_FILENAME_W, "MESSAGE.EML"));
    a.props.push_back(MailProp::text(PR_ATTACH_EXTENSION_W, ".eml"));
    a.props.push_back(MailProp::text(PR_DISPLAY_NAME_W, "message.eml"));
    a.props.push_back(MailProp::text(PR_ATTACH_MIME_TAG_W, "message/rfc822"));
    m_item.attachments.push_back(std::move(a));
    return;
  }
  a.method = ATTACH_EMBEDDED_MSG;
  a.embedded.reset(new MailItem);
  if (inner) a.embedded->message = GObjectRef(GMIME_OBJECT(inner));
  MimeReader::convert(block, inner ? g_mime_message_get_mime_part(inner) : nullptr, *a.embedded, m_depth + 1,
                      m_limits);
  const MailProp* subject = findProp(a.embedded->props, PR_SUBJECT_W);
  std::string display = subject && !subject->bytes.empty() ? subject->bytes : "Attached message";
  a.props.push_back(MailProp::text(PR_DISPLAY_NAME_W, display));
  a.props.push_back(MailProp::text(PR_ATTACH_MIME_TAG_W, mediaType(container)));
  const char* cid = g_mime_object_get_content_id(container);
  if (cid && *cid) a.props.push_back(MailProp::text(kPrAttachContentId, sanitizeUtf8(cid)));
  m_item.attachments.push_back(std::move(a));
}

void Converter::attach(GMimeObject* obj, bool relatedPart) {
  MailAttachment a;
  std::string type = mediaType(obj);
  std::string name = fileNameOf(obj);
  if (name.empty()) {
    std::string ext = extensionFor(type);
    const char* stem = type.rfind("image/", 0) == 0           ? "image"
                       : type == "message/delivery-status"     ? "delivery-status"
                       : type == "text/rfc822-headers"         ? "headers"
                                                               : "attachment";
    name = std::string(stem) + "." + ext;
  }
  if (GMIME_IS_PART(obj)) {
    a.part = GObjectRef(obj);
  } else {
    // A container that cannot be read as what it says: keep its bytes.
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(obj, nullptr, mem);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    a.inlineData.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(mem);
  }
  a.props.push_back(MailProp::text(PR_ATTACH_LONG_FILENAME_W, name));
  a.props.push_back(MailProp::text(PR_ATTACH_FILENAME_W, shortFileName(name)));
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) a.props.push_back(MailProp::text(PR_ATTACH_EXTENSION_W, name.substr(dot)));
  a.props.push_back(MailProp::text(PR_DISPLAY_NAME_W, name));
  a.props.push_back(MailProp::text(PR_ATTACH_MIME_TAG_W, type));
  const char* cid = g_mime_object_get_content_id(obj);
  if (cid && *cid) a.props.push_back(MailProp::text(kPrAttachContentId, sanitizeUtf8(cid)));
  if (GMIME_IS_PART(obj)) {
    const char* location = g_mime_part_get_content_location(GMIME_PART(obj));
    if (location && *location) a.props.push_back(MailProp::text(kPrAttachContentLocation, sanitizeUtf8(location)));
  }
  keepPartFields(obj, type, a);
  bool inlinePart = relatedPart || (!isAttachmentDisposition(obj) && cid && *cid);
  if (inlinePart) {
    a.props.push_back(MailProp::longValue(kPrAttachFlags, kAttMhtmlRef));
    if (relatedPart && cid && *cid) a.props.push_back(MailProp::boolean(kPrAttachmentHidden, true));
  }
  m_item.attachments.push_back(std::move(a));
}

GMimeParserOptions* parserOptions() {
  static GMimeParserOptions* options = [] {
    GMimeParserOptions* o = g_mime_parser_options_new();
    // Raw 8-bit header text: UTF-8 when it is, else windows-1252.
    const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(o, fallback);
    g_mime_parser_options_set_rfc2047_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_address_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_parameter_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_allow_addresses_without_domain(o, TRUE);
    return o;
  }();
  return options;
}

// ---- Header blocks of parts ------------------------------------------------
//
// GMime reads the header block of every part of a multipart into memory,
// about ten times its size (22 MB of fields in one part took 240 MB). The
// body is scanned first for the header blocks of parts (the lines after a
// boundary line, up to a blank line), and what is beyond their budget is
// left out of what GMime reads: a part keeps the first kPartHeaderBytes of
// its fields, and its Content-* fields up to HeaderBlock::kContentFieldBytes
// more. Boundaries are those the message declares: the message's own, and
// those of Content-Type fields in the header blocks of its parts.

constexpr size_t kPartHeaderBytes = 64 * 1024;
// Of each line, this much is looked at (a boundary is at most 70 characters;
// a boundary parameter sits in a Content-Type field's first line or two).
constexpr size_t kLineHead = 2048;

struct ByteRange {
  gint64 from;
  gint64 to;
};

// Adds the boundary parameter of a Content-Type value (after the colon), if
// it has one.
void addBoundary(const std::string& fieldValue, std::vector<std::string>& boundaries) {
  bool found = false;
  std::string value = decodeParameter(unfoldHeader(fieldValue), "boundary", &found);
  if (found && !value.empty() && value.size() <= 200 &&
      std::find(boundaries.begin(), boundaries.end(), value) == boundaries.end())
    boundaries.push_back(value);
}

// 1 when `line` (its head, line end included) is a boundary line of one of
// `boundaries`, 2 when it is a closing one ("--boundary--"), else 0.
int boundaryLine(const std::string& line, const std::vector<std::string>& boundaries) {
  if (line.size() < 3 || line[0] != '-' || line[1] != '-') return 0;
  size_t end = line.size();
  while (end > 2 && (line[end - 1] == '\n' || line[end - 1] == '\r' || line[end - 1] == ' ' || line[end - 1] == '\t'))
    --end;
  for (const auto& b : boundaries) {
    if (end - 2 < b.size() || line.compare(2, b.size(), b) != 0) continue;
    size_t rest = end - 2 - b.size();
    if (rest == 0) return 1;
    if (rest == 2 && line.compare(2 + b.size(), 2, "--") == 0) return 2;
  }
  return 0;
}

// Scans the body of `stream` from `from` to its end for the header blocks of
// parts; returns the ranges to leave out. The stream is read from `from` on.
std::vector<ByteRange> partHeaderCuts(GMimeStream* stream, gint64 from, std::vector<std::string> boundaries,
                                      HeaderBlock& block) {
  std::vector<ByteRange> cuts;
  if (boundaries.empty() || g_mime_stream_seek(stream, from, GMIME_STREAM_SEEK_SET) < 0) return cuts;
  bool inHeader = false;
  bool contentField = false;
  size_t used = 0, contentUsed = 0;
  std::string head;         // the first kLineHead bytes of the line being read
  size_t lineLength = 0;    // its whole length so far
  gint64 lineStart = from;
  gint64 pos = from;
  std::string contentType;  // the Content-Type field being read, for its boundary
  auto endField = [&] {
    if (!contentType.empty()) addBoundary(contentType.substr(contentType.find(':') + 1), boundaries);
    contentType.clear();
  };
  auto line = [&] {
    int boundary = boundaryLine(head, boundaries);
    if (inHeader && (boundary || head == "\n" || head == "\r\n")) {
      endField();
      inHeader = false;
    }
    if (boundary == 1) {  // a part begins with its header block
      inHeader = true;
      used = contentUsed = 0;
      contentField = false;
    }
    if (!inHeader || boundary) return;
    if (head[0] != ' ' && head[0] != '\t') {
      endField();
      std::string name = head.substr(0, std::min(head.find(':'), head.size()));
      contentField = HeaderBlock::contentField(name);
      if (strcasecmp(name.c_str(), "Content-Type") == 0) contentType = head;
    } else if (!contentType.empty() && contentType.size() < 4 * kLineHead) {
      contentType += head;
    }
    block.partHeaderBytesSeen += lineLength;
    bool keep = false;
    if (used + lineLength <= kPartHeaderBytes) {
      used += lineLength;
      keep = true;
    } else if (contentField && contentUsed + lineLength <= HeaderBlock::kContentFieldBytes) {
      contentUsed += lineLength;
      keep = true;
    }
    if (keep) {
      block.partHeaderBytesKept += lineLength;
    } else if (!cuts.empty() && cuts.back().to == lineStart) {
      cuts.back().to = lineStart + static_cast<gint64>(lineLength);
    } else {
      cuts.push_back({lineStart, lineStart + static_cast<gint64>(lineLength)});
    }
  };
  char buf[64 * 1024];
  ssize_t n;
  while ((n = g_mime_stream_read(stream, buf, sizeof buf)) > 0) {
    size_t i = 0;
    while (i < static_cast<size_t>(n)) {
      const char* nl = static_cast<const char*>(memchr(buf + i, '\n', static_cast<size_t>(n) - i));
      size_t take = (nl ? static_cast<size_t>(nl - buf) + 1 : static_cast<size_t>(n)) - i;
      if (head.size() < kLineHead) head.append(buf + i, std::min(take, kLineHead - head.size()));
      lineLength += take;
      i += take;
      pos += static_cast<gint64>(take);
      if (nl) {
        line();
        head.clear();
        lineLength = 0;
        lineStart = pos;
      }
    }
  }
  if (lineLength > 0) line();
  return cuts;
}

// The bytes of `stream` from `from` up to `to` (its end when -1) in a new
// memory stream.
GMimeStream* copyRange(GMimeStream* stream, gint64 from, gint64 to) {
  GMimeStream* out = g_mime_stream_mem_new();
  if (g_mime_stream_seek(stream, from, GMIME_STREAM_SEEK_SET) < 0) return out;
  char buf[64 * 1024];
  gint64 left = to < 0 ? -1 : to - from;
  while (left != 0) {
    size_t want = left < 0 || left > static_cast<gint64>(sizeof buf) ? sizeof buf : static_cast<size_t>(left);
    ssize_t n = g_mime_stream_read(stream, buf, want);
    if (n <= 0) break;
    g_mime_stream_write(out, buf, static_cast<size_t>(n));
    if (left > 0) left -= n;
  }
  g_mime_stream_reset(out);
  return out;
}

// The header block is read here, within the limits; GMime gets only the
// fields that describe the content, and the body. (GMime keeps every field
// and every address of a header in memory, many times its size: 400,000
// addresses or a deep nest of groups took gigabytes.)
GMimeMessage* parseMessage(GMimeStream* stream, HeaderBlock& block, gint64* bodyOffset) {
  gint64 start = g_mime_stream_tell(stream);
  int64_t bodyStart = 0;
  if (start < 0 || !scanHeaderBlock([stream](char* b, size_t len) { return g_mime_stream_read(stream, b, len); },
                                    block, bodyStart))
    return nullptr;
  if (bodyOffset) *bodyOffset = start + bodyStart;
  std::string content;
  for (const auto& l : block.lines()) {
    if (!HeaderBlock::contentField(l.name)) continue;
    content += l.name + ":" + l.raw;
    if (l.raw.empty() || l.raw.back() != '\n') content += '\n';
  }
  content += '\n';
  std::vector<std::string> boundaries;
  if (const HeaderLine* type = block.find("Content-Type")) addBoundary(type->raw, boundaries);
  std::vector<ByteRange> cuts = partHeaderCuts(stream, start + bodyStart, boundaries, block);
  GMimeStream* cat = g_mime_stream_cat_new();
  GMimeStream* head = g_mime_stream_mem_new_with_buffer(content.data(), content.size());
  g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat), head);
  g_object_unref(head);
  // The body, without the ranges cut. A header block that runs to the end
  // of its part leaves no body: the substream of a GMimeStreamCat (an
  // attached message's part is one) that starts past its end is NULL, not
  // an empty stream, and is left out.
  //
  // The body of a GMimeStreamCat (an attached message's part) is copied:
  // GMime 3.2.13's substream of a GMimeStreamCat adds a null source for some
  // ranges (a GLib critical, and a piece missing) - found by fuzzing.
  bool copyPieces = GMIME_IS_STREAM_CAT(stream);
  gint64 from = start + bodyStart;
  cuts.push_back({stream->bound_end, stream->bound_end});
  for (const ByteRange& cut : cuts) {
    if (cut.from > from || cut.from < 0) {
      GMimeStream* piece = copyPieces ? copyRange(stream, from, cut.from)
                                      : g_mime_stream_substream(stream, from, cut.from);
      if (piece) {
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat), piece);
        g_object_unref(piece);
      }
    }
    from = cut.to;
  }
  GMimeParser* parser = g_mime_parser_new_with_stream(cat);
  // Part contents stay in the (seekable) input instead of being copied.
  g_mime_parser_set_persist_stream(parser, TRUE);
  GMimeMessage* message = g_mime_parser_construct_message(parser, parserOptions());
  g_object_unref(parser);
  g_object_unref(cat);
  return message;
}

}  // namespace

void MimeReader::convert(const HeaderBlock& headers, GMimeObject* body, MailItem& item, int depth,
                         const DeliveryLimits& limits) {
  Converter(item, depth, limits).run(headers, body);
}

bool MimeReader::read(GMimeStream* stream, MailItem& item, std::string& error) {
  return read(stream, DeliveryLimits::fromEnvironment(), item, error);
}

bool MimeReader::read(GMimeStream* stream, const DeliveryLimits& limits, MailItem& item, std::string& error) {
  initMime();
  // Not a message at all: nothing, or nothing but white space.
  g_mime_stream_reset(stream);
  bool blank = true;
  char buf[4096];
  ssize_t n;
  while (blank && (n = g_mime_stream_read(stream, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n && blank; ++i)
      blank = buf[i] == ' ' || buf[i] == '\t' || buf[i] == '\r' || buf[i] == '\n';
  }
  if (blank) {
    error = "the input is empty: it is not a message";
    return false;
  }
  g_mime_stream_reset(stream);
  HeaderBlock block(limits.maxHeaderBytes);
  gint64 bodyOffset = -1;
  GMimeMessage* message = parseMessage(stream, block, &bodyOffset);
  if (!message) {
    error = "the input cannot be read as a message";
    return false;
  }
  item.message = GObjectRef(GMIME_OBJECT(message));
  Converter converter(item, 0, limits);
  converter.setSource(stream, bodyOffset);
  converter.run(block, g_mime_message_get_mime_part(message));
  g_object_unref(message);
  return true;
}

bool MimeReader::readBytes(const std::string& bytes, MailItem& item, std::string& error) {
  return readBytes(bytes, DeliveryLimits::fromEnvironment(), item, error);
}

bool MimeReader::readBytes(const std::string& bytes, const DeliveryLimits& limits, MailItem& item,
                           std::string& error) {
  initMime();
  GMimeStream* mem = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  bool ok = read(mem, limits, item, error);
  g_object_unref(mem);
  return ok;
}

}  // namespace mapimime
