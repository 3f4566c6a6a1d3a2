#include "mimewriter.h"

#include "mapiwriter.h"
#include "mimeaddress.h"
#include "mimeheaders.h"
#include "mimereader.h"
#include "mimetags.h"
#include "textconv.h"

#include "addrbook/abids.h"
#include "runtime/text.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <gio/gio.h>
#include <gmime/gmime.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>

namespace mapimime {

namespace {

// Tags the SDK headers of this era do not carry (MS-OXPROPS).
const ULONG kPrHtml = PROP_TAG(PT_BINARY, 0x1013);
const ULONG kPrSmtpAddressA = PROP_TAG(PT_STRING8, 0x39FE);
const ULONG kIdBody = PROP_ID(PR_BODY);
const ULONG kIdHtml = 0x1013;

// Attachment data and body texts are read in pieces of this size.
const size_t kPieceSize = 64 * 1024;

struct ReleaseDeleter {
  template <class T>
  void operator()(T* p) const {
    if (p) p->Release();
  }
};
template <class T>
using Ref = std::unique_ptr<T, ReleaseDeleter>;

struct BufferDeleter {
  void operator()(void* p) const {
    if (p) MAPIFreeBuffer(p);
  }
};
template <class T>
using Buffer = std::unique_ptr<T, BufferDeleter>;

struct RowsDeleter {
  void operator()(LPSRowSet rows) const {
    if (rows) FreeProws(rows);
  }
};
using Rows = std::unique_ptr<SRowSet, RowsDeleter>;

std::string hexCode(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::string tagText(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(tag));
  return buf;
}

std::string trimmed(const std::string& s) { return trim(s); }

std::string bytesOf(const SPropValue& v) {
  if (PROP_TYPE(v.ulPropTag) != PT_BINARY || !v.Value.bin.lpb) return std::string();
  return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
}

// The values of one GetProps call.
class PropValues {
 public:
  // Reads `tags` from `object`. Strict: a value that is present but cannot
  // be read (too large for a single read, a provider error) fails the call
  // with a sentence naming `what`; otherwise such a value counts as absent.
  HRESULT read(LPMAPIPROP object, const std::vector<ULONG>& tags, bool strict, const std::string& what,
               std::string& error) {
    Buffer<SPropTagArray> array;
    LPVOID mem = nullptr;
    HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(tags.size()), &mem);
    if (FAILED(hr)) {
      error = "Out of memory reading " + what;
      return hr;
    }
    array.reset(static_cast<LPSPropTagArray>(mem));
    array->cValues = static_cast<ULONG>(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) array->aulPropTag[i] = tags[i];
    ULONG count = 0;
    LPSPropValue values = nullptr;
    hr = object->GetProps(array.get(), 0, &count, &values);
    if (FAILED(hr)) {
      error = mapiErrorText(object, hr, "Cannot read " + what);
      return hr;
    }
    m_values.reset(values);
    m_count = count;
    for (ULONG i = 0; strict && i < m_count; ++i) {
      const SPropValue& v = m_values.get()[i];
      if (PROP_TYPE(v.ulPropTag) == PT_ERROR && v.Value.err != MAPI_E_NOT_FOUND) {
        error = "Cannot read " + what + ": property " + tagText(i < tags.size() ? tags[i] : v.ulPropTag) +
                " cannot be read (" + hexCode(v.Value.err) + ")";
        return v.Value.err;
      }
    }
    return S_OK;
  }

  // The value of `tag`, or null when it is absent or could not be read.
  const SPropValue* find(ULONG tag) const {
    for (ULONG i = 0; i < m_count; ++i) {
      const SPropValue& v = m_values.get()[i];
      if (v.ulPropTag == tag) return &v;
    }
    return nullptr;
  }
  std::string text(ULONG tag) const {
    const SPropValue* v = find(tag);
    return v ? propText(*v) : std::string();
  }
  std::string bytes(ULONG tag) const {
    const SPropValue* v = find(tag);
    return v ? bytesOf(*v) : std::string();
  }
  bool has(ULONG tag) const { return find(tag) != nullptr; }
  LONG longValue(ULONG tag, LONG missing) const {
    const SPropValue* v = find(tag);
    return v ? v->Value.l : missing;
  }

 private:
  Buffer<SPropValue> m_values;
  ULONG m_count = 0;
};

// Where the text goes: the caller's stream, through a unix2dos filter when
// lines are to end in CRLF. Filters are run here rather than through a
// GMimeStreamFilter, whose flush would also flush (for a file: fsync) the
// caller's stream after every part.
class Output {
 public:
  Output(GMimeStream* out, bool crlf) : m_stream(out) {
    if (crlf) m_crlf = g_mime_filter_unix2dos_new(FALSE);
  }
  ~Output() {
    if (m_crlf) g_object_unref(m_crlf);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  bool put(const char* data, size_t n) {
    if (n == 0) return true;
    if (!m_crlf) return raw(data, n);
    char* outBuf = nullptr;
    size_t outLen = 0, outPre = 0;
    g_mime_filter_filter(m_crlf, const_cast<char*>(data), n, 0, &outBuf, &outLen, &outPre);
    return raw(outBuf, outLen);
  }
  bool put(const std::string& s) { return put(s.data(), s.size()); }
  // Writes what the line-end filter holds back.
  bool finish() {
    if (!m_crlf) return true;
    char* outBuf = nullptr;
    size_t outLen = 0, outPre = 0;
    g_mime_filter_complete(m_crlf, const_cast<char*>(""), 0, 0, &outBuf, &outLen, &outPre);
    return raw(outBuf, outLen);
  }

 private:
  bool raw(const char* data, size_t n) {
    return n == 0 || g_mime_stream_write(m_stream, data, n) == static_cast<ssize_t>(n);
  }

  GMimeStream* m_stream;
  GMimeFilter* m_crlf = nullptr;
};

// A part's content on its way out through a transfer encoding.
class EncodedOut {
 public:
  EncodedOut(Output& out, GMimeContentEncoding encoding)
      : m_out(out), m_encoder(g_mime_filter_basic_new(encoding, TRUE)) {}
  ~EncodedOut() { g_object_unref(m_encoder); }
  EncodedOut(const EncodedOut&) = delete;
  EncodedOut& operator=(const EncodedOut&) = delete;

  bool put(const char* data, size_t n) {
    if (n == 0) return true;
    char* outBuf = nullptr;
    size_t outLen = 0, outPre = 0;
    g_mime_filter_filter(m_encoder, const_cast<char*>(data), n, 0, &outBuf, &outLen, &outPre);
    return m_out.put(outBuf, outLen);
  }
  // Writes what the encoder holds back (the last base64 group, the last
  // line).
  bool finish() {
    char* outBuf = nullptr;
    size_t outLen = 0, outPre = 0;
    g_mime_filter_complete(m_encoder, const_cast<char*>(""), 0, 0, &outBuf, &outLen, &outPre);
    return m_out.put(outBuf, outLen);
  }

 private:
  Output& m_out;
  GMimeFilter* m_encoder;
};

std::mt19937_64& randomEngine() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return engine;
}

std::string randomAlnum(size_t n) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kChars[pick(randomEngine())];
  return s;
}

// "=_" can appear neither in quoted-printable ("=" starts a hex pair) nor in
// base64 text, so a boundary that starts with it never meets the content.
std::string newBoundary() { return "=_" + randomAlnum(28); }

std::string messageIdFrom(const std::string& value) {
  std::string id = trimmed(value);
  if (!id.empty() && id.front() != '<') id = "<" + id + ">";
  return validMessageId(id) ? id : std::string();
}

// The media type of an attachment: its MIME tag, else a guess from the
// file name's extension, else application/octet-stream. Message and
// multipart types are not taken from a tag: their bodies may not be
// base64 encoded (RFC 2046 5.2.1), and attachment data always is.
std::string attachmentType(const std::string& mimeTag, const std::string& fileName) {
  std::string type = mediaType(mimeTag);
  if (type.rfind("message/", 0) == 0 || type.rfind("multipart/", 0) == 0) return "application/octet-stream";
  if (!type.empty()) return type;
  if (!fileName.empty() && fileName.find('.') != std::string::npos) {
    gboolean uncertain = TRUE;
    gchar* guess = g_content_type_guess(fileName.c_str(), nullptr, 0, &uncertain);
    gchar* mime = guess ? g_content_type_get_mime_type(guess) : nullptr;
    std::string guessed = mime && !uncertain ? mediaType(mime) : std::string();
    g_free(mime);
    g_free(guess);
    if (!guessed.empty() && guessed.rfind("message/", 0) != 0 && guessed.rfind("multipart/", 0) != 0) return guessed;
  }
  return "application/octet-stream";
}

// A file name without any folder in front of it.
std::string baseName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// ---- Bodies and attachments ------------------------------------------------

// A body text read through its stream in pieces, as UTF-8 with LF line ends.
class BodyReader {
 public:
  explicit BodyReader(const std::string& charset) : m_converter(charset.empty() ? nullptr : charset.c_str()) {}

  // A text that is not there reads as empty.
  HRESULT open(LPMAPIPROP object, ULONG tag, std::string& error) {
    LPSTREAM stream = nullptr;
    HRESULT hr = object->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream));
    if (hr == MAPI_E_NOT_FOUND) return S_OK;
    if (FAILED(hr)) {
      error = mapiErrorText(object, hr, "Cannot open the message body");
      return hr;
    }
    m_stream.reset(stream);
    return S_OK;
  }

  // Replaces `out` with the next piece; `end` once the text is done.
  HRESULT next(std::string& out, bool& end, std::string& error) {
    out.clear();
    end = false;
    if (!m_stream) {
      end = true;
      return S_OK;
    }
    std::vector<char> buf(kPieceSize);
    ULONG got = 0;
    HRESULT hr = m_stream->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (FAILED(hr)) {
      error = "Cannot read the message body (" + hexCode(hr) + ")";
      return hr;
    }
    std::string utf8;
    if (got > 0) {
      m_converter.feed(buf.data(), got, utf8);
    } else {
      m_converter.finish(utf8);
      end = true;
    }
    // CR LF, CR and LF all end a line.
    out.reserve(utf8.size());
    for (char c : utf8) {
      if (c == '\r') {
        out += '\n';
        m_cr = true;
      } else {
        if (c != '\n' || !m_cr) out += c;
        m_cr = false;
      }
    }
    return S_OK;
  }

 private:
  Ref<IStream> m_stream;
  Utf8Converter m_converter;
  bool m_cr = false;
};

struct Body {
  bool present = false;
  ULONG tag = 0;        // the tag whose stream holds the text
  std::string charset;  // of the stream's bytes; "" for UTF-8
};

struct Attachment {
  ULONG num = 0;
  LONG method = ATTACH_BY_VALUE;
  Ref<IAttach> attach;
  std::string fileName;
  std::string displayName;
  std::string type;
  std::string contentId;
  std::string contentLocation;
};

struct Entity {
  enum class Kind { Multipart, Text, Html, Attachment } kind = Kind::Text;
  std::string subtype;  // of a multipart
  std::vector<Entity> children;
  size_t attachment = 0;
  bool relatedPart = false;  // an attachment inside multipart/related
};

class MessageWriter {
 public:
  MessageWriter(const MimeWriteOptions& options, Output& out, int depth, std::string& error)
      : m_options(options), m_out(out), m_depth(depth), m_error(error) {}

  // Writes the message; the envelope is filled for the outermost message
  // only (embedded messages pass null).
  HRESULT write(LPMESSAGE message, OutgoingEnvelope* envelope);

 private:
  HRESULT readProps();
  HRESULT readPropList(std::vector<ULONG>& named);
  HRESULT readInternetHeaders(const std::vector<ULONG>& named);
  HRESULT readRecipients(OutgoingEnvelope* envelope);
  HRESULT readAttachments();
  AddressParty party(ULONG name, ULONG addrType, ULONG address, ULONG smtp, ULONG entryId) const;
  HRESULT resolveSender(OutgoingEnvelope* envelope);
  HRESULT readReplyTo();
  std::string headers(OutgoingEnvelope* envelope);
  Entity structure() const;
  HRESULT writeEntity(const Entity& e);
  HRESULT writeBody(const Entity& e);
  HRESULT writeAttachment(const Attachment& a, bool relatedPart);
  HRESULT writeAttachmentData(const Attachment& a);
  HRESULT outputFailed() {
    m_error = "Cannot write the MIME text to its output";
    return MAPI_E_DISK_ERROR;
  }

  const MimeWriteOptions& m_options;
  Output& m_out;
  int m_depth;
  std::string& m_error;

  LPMESSAGE m_message = nullptr;
  PropValues m_props;
  Body m_text;
  Body m_html;
  std::vector<std::pair<std::string, std::string>> m_internetHeaders;
  std::vector<HeaderMailbox> m_to;
  std::vector<HeaderMailbox> m_cc;
  std::vector<HeaderMailbox> m_replyTo;
  HeaderMailbox m_from;
  bool m_haveFrom = false;
  HeaderMailbox m_sender;
  bool m_haveSender = false;
  std::vector<Attachment> m_attachments;
};

const std::vector<ULONG>& messageTags() {
  static const std::vector<ULONG> kTags = {
      PR_SUBJECT_W,
      PR_SENDER_NAME_W,
      PR_SENDER_EMAIL_ADDRESS_W,
      PR_SENDER_ADDRTYPE_W,
      PR_SENDER_ENTRYID,
      kPrSenderSmtpAddress,
      PR_SENT_REPRESENTING_NAME_W,
      PR_SENT_REPRESENTING_EMAIL_ADDRESS_W,
      PR_SENT_REPRESENTING_ADDRTYPE_W,
      PR_SENT_REPRESENTING_ENTRYID,
      kPrSentRepresentingSmtpAddress,
      PR_CLIENT_SUBMIT_TIME,
      kPrInternetMessageId,
      kPrInReplyToId,
      kPrInternetReferences,
      PR_PRIORITY,
      PR_IMPORTANCE,
      PR_REPLY_RECIPIENT_ENTRIES,
      PR_REPLY_RECIPIENT_NAMES_W,
      kPrInternetCpid,
  };
  return kTags;
}

HRESULT MessageWriter::readProps() { return m_props.read(m_message, messageTags(), true, "the message", m_error); }

// Finds the bodies and the named properties among the message's values.
HRESULT MessageWriter::readPropList(std::vector<ULONG>& named) {
  LPSPropTagArray list = nullptr;
  HRESULT hr = m_message->GetPropList(0, &list);
  if (FAILED(hr)) {
    m_error = mapiErrorText(m_message, hr, "Cannot list the message's properties");
    return hr;
  }
  Buffer<SPropTagArray> freeList(list);
  for (ULONG i = 0; i < list->cValues; ++i) {
    ULONG tag = list->aulPropTag[i];
    ULONG type = PROP_TYPE(tag);
    bool text = type == PT_STRING8 || type == PT_UNICODE;
    if (PROP_ID(tag) == kIdBody && text) {
      m_text.present = true;
      m_text.tag = PR_BODY_A;
    } else if (PROP_ID(tag) == kIdHtml && (text || type == PT_BINARY)) {
      m_html.present = true;
      if (type == PT_BINARY) {
        // PR_HTML: bytes in the message's Internet code page.
        m_html.tag = kPrHtml;
        m_html.charset = charsetOfCodePage(m_props.longValue(kPrInternetCpid, 0));
        if (lowerAscii(m_html.charset) == "utf-8") m_html.charset.clear();
      } else {
        m_html.tag = PROP_TAG(PT_STRING8, kIdHtml);
      }
    } else if (PROP_ID(tag) >= 0x8000 && text) {
      named.push_back(tag);
    }
  }
  return S_OK;
}

// Every named property of PS_INTERNET_HEADERS whose name can be written
// as a header field: the first of several with one name (case-blind).
HRESULT MessageWriter::readInternetHeaders(const std::vector<ULONG>& named) {
  if (named.empty()) return S_OK;
  LPVOID mem = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewSPropTagArray(named.size()), &mem);
  if (FAILED(hr)) {
    m_error = "Out of memory reading the Internet headers";
    return hr;
  }
  Buffer<SPropTagArray> tags(static_cast<LPSPropTagArray>(mem));
  tags->cValues = static_cast<ULONG>(named.size());
  for (size_t i = 0; i < named.size(); ++i) tags->aulPropTag[i] = named[i];
  LPSPropTagArray in = tags.get();
  GUID guid = kPsInternetHeaders;
  ULONG count = 0;
  LPMAPINAMEID* names = nullptr;
  hr = m_message->GetNamesFromIDs(&in, &guid, 0, &count, &names);
  if (FAILED(hr)) {
    m_error = mapiErrorText(m_message, hr, "Cannot read the names of the Internet headers");
    return hr;
  }
  Buffer<LPMAPINAMEID> freeNames(names);
  std::vector<ULONG> valueTags;
  std::vector<std::string> fieldNames;
  std::set<std::string> seen;
  for (ULONG i = 0; i < count && i < named.size() && names; ++i) {
    const MAPINAMEID* n = names[i];
    if (!n || n->ulKind != MNID_STRING || !n->lpguid || memcmp(n->lpguid, &kPsInternetHeaders, sizeof(GUID)) != 0 ||
        !n->Kind.lpwstrName)
      continue;
    std::string name = tmapi::wideToUtf8(n->Kind.lpwstrName);
    if (!validFieldName(name) || reservedFieldName(name) || !seen.insert(lowerAscii(name)).second) continue;
    valueTags.push_back(CHANGE_PROP_TYPE(named[i], PT_UNICODE));
    fieldNames.push_back(name);
  }
  if (valueTags.empty()) return S_OK;
  // A value too large to read whole is left out rather than failing the
  // message.
  PropValues values;
  hr = values.read(m_message, valueTags, false, "the Internet headers", m_error);
  if (FAILED(hr)) return hr;
  for (size_t i = 0; i < valueTags.size(); ++i)
    if (values.has(valueTags[i])) m_internetHeaders.emplace_back(fieldNames[i], values.text(valueTags[i]));
  return S_OK;
}

HRESULT MessageWriter::readRecipients(OutgoingEnvelope* envelope) {
  LPMAPITABLE table = nullptr;
  HRESULT hr = m_message->GetRecipientTable(0, &table);
  if (FAILED(hr)) {
    m_error = mapiErrorText(m_message, hr, "Cannot read the recipient table");
    return hr;
  }
  Ref<IMAPITable> freeTable(table);
  SizedSPropTagArray(7, columns) = {7,
                                    {PR_ROWID, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A,
                                     PR_ENTRYID, kPrSmtpAddressA}};
  LPSRowSet rows = nullptr;
  hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
  if (FAILED(hr)) {
    m_error = "Cannot read the recipient table (" + hexCode(hr) + ")";
    return hr;
  }
  Rows freeRows(rows);
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    ULONG n = rows->aRow[i].cValues;
    auto col = [&](ULONG k, ULONG tag) -> const SPropValue* {
      return k < n && v[k].ulPropTag == tag ? &v[k] : nullptr;
    };
    EnvelopeRecipient r;
    r.rowId = col(0, PR_ROWID) ? col(0, PR_ROWID)->Value.ul : i;
    r.type = col(1, PR_RECIPIENT_TYPE) ? col(1, PR_RECIPIENT_TYPE)->Value.ul : MAPI_TO;
    if (r.type != MAPI_TO && r.type != MAPI_CC && r.type != MAPI_BCC) continue;
    AddressParty p;
    if (auto* c = col(2, PR_DISPLAY_NAME_A)) p.name = trimmed(headerSafeText(propText(*c)));
    if (auto* c = col(3, PR_EMAIL_ADDRESS_A)) p.address = trimmed(propText(*c));
    if (auto* c = col(4, PR_ADDRTYPE_A)) p.addrType = trimmed(propText(*c));
    if (auto* c = col(5, PR_ENTRYID)) p.entryId = bytesOf(*c);
    if (auto* c = col(6, kPrSmtpAddressA)) p.smtp = trimmed(propText(*c));
    ResolvedAddress res;
    hr = resolveAddress(p, m_options.addrBook, "recipient", res, m_error);
    if (FAILED(hr)) return hr;
    r.displayName = res.name;
    r.address = res.address;
    r.deliverable = res.ok;
    r.problem = headerSafeText(res.problem);
    // Only recipients with an Internet address appear in To and Cc: an
    // address without a domain is no valid RFC 5322 address.
    if (res.ok && r.type == MAPI_TO) m_to.push_back({res.name, res.address});
    if (res.ok && r.type == MAPI_CC) m_cc.push_back({res.name, res.address});
    if (envelope) envelope->recipients.push_back(r);
  }
  return S_OK;
}

HRESULT MessageWriter::readAttachments() {
  LPMAPITABLE table = nullptr;
  HRESULT hr = m_message->GetAttachmentTable(0, &table);
  if (FAILED(hr)) {
    m_error = mapiErrorText(m_message, hr, "Cannot read the attachment table");
    return hr;
  }
  Ref<IMAPITable> freeTable(table);
  SizedSPropTagArray(1, columns) = {1, {PR_ATTACH_NUM}};
  LPSRowSet rows = nullptr;
  hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
  if (FAILED(hr)) {
    m_error = "Cannot read the attachment table (" + hexCode(hr) + ")";
    return hr;
  }
  Rows freeRows(rows);
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue& v = rows->aRow[i].lpProps[0];
    if (rows->aRow[i].cValues < 1 || v.ulPropTag != PR_ATTACH_NUM) continue;
    Attachment a;
    a.num = v.Value.ul;
    LPATTACH attach = nullptr;
    hr = m_message->OpenAttach(a.num, nullptr, 0, &attach);
    if (FAILED(hr)) {
      m_error = mapiErrorText(m_message, hr, "Cannot open attachment " + std::to_string(a.num));
      return hr;
    }
    a.attach.reset(attach);
    PropValues p;
    hr = p.read(attach,
                {PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_W, PR_ATTACH_FILENAME_W, PR_DISPLAY_NAME_W,
                 PR_ATTACH_MIME_TAG_W, kPrAttachContentId, kPrAttachContentLocation},
                true, "attachment " + std::to_string(a.num), m_error);
    if (FAILED(hr)) return hr;
    a.method = p.longValue(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    // Only data and messages travel: a reference is a path on the sender's
    // machine (never read on the user's behalf) and an OLE object has no
    // MIME form.
    if (a.method == 0) a.method = ATTACH_BY_VALUE;
    if (a.method != ATTACH_BY_VALUE && a.method != ATTACH_EMBEDDED_MSG) continue;
    a.displayName = trimmed(headerSafeText(p.text(PR_DISPLAY_NAME_W)));
    std::string name = p.text(PR_ATTACH_LONG_FILENAME_W);
    if (trimmed(name).empty()) name = p.text(PR_ATTACH_FILENAME_W);
    if (trimmed(name).empty() && a.method != ATTACH_EMBEDDED_MSG) name = p.text(PR_DISPLAY_NAME_W);
    a.fileName = trimmed(headerSafeText(baseName(name)));
    a.type = a.method == ATTACH_EMBEDDED_MSG ? "message/rfc822"
                                             : attachmentType(p.text(PR_ATTACH_MIME_TAG_W), a.fileName);
    a.contentId = contentId(p.text(kPrAttachContentId));
    std::string location = trimmed(p.text(kPrAttachContentLocation));
    bool locationOk = !location.empty() && location.size() <= 900;
    for (unsigned char c : location) locationOk = locationOk && c > 0x20 && c < 0x7F;
    if (locationOk) a.contentLocation = location;
    m_attachments.push_back(std::move(a));
  }
  return S_OK;
}

// One of the message's senders, from the properties of its name, address
// type, address, SMTP address and entry identifier.
AddressParty MessageWriter::party(ULONG name, ULONG addrType, ULONG address, ULONG smtp, ULONG entryId) const {
  AddressParty p;
  p.name = trimmed(headerSafeText(m_props.text(name)));
  p.addrType = trimmed(m_props.text(addrType));
  p.address = trimmed(m_props.text(address));
  p.smtp = trimmed(m_props.text(smtp));
  p.entryId = m_props.bytes(entryId);
  return p;
}

HRESULT MessageWriter::resolveSender(OutgoingEnvelope* envelope) {
  AddressParty representing = party(PR_SENT_REPRESENTING_NAME_W, PR_SENT_REPRESENTING_ADDRTYPE_W,
                                    PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, kPrSentRepresentingSmtpAddress,
                                    PR_SENT_REPRESENTING_ENTRYID);
  AddressParty sender = party(PR_SENDER_NAME_W, PR_SENDER_ADDRTYPE_W, PR_SENDER_EMAIL_ADDRESS_W, kPrSenderSmtpAddress,
                              PR_SENDER_ENTRYID);
  ResolvedAddress rep, snd;
  HRESULT hr = resolveAddress(representing, m_options.addrBook, "sender", rep, m_error);
  if (FAILED(hr)) return hr;
  hr = resolveAddress(sender, m_options.addrBook, "sender", snd, m_error);
  if (FAILED(hr)) return hr;
  // From: the one the message is sent for, else its sender, else (for the
  // message being sent, not an attached one) the profile's identity.
  std::string defaultAddress = trimmed(m_options.defaultFromAddress);
  if (rep.ok) {
    m_from = {rep.name, rep.address};
  } else if (snd.ok) {
    m_from = {snd.name, snd.address};
  } else if (envelope && validAddress(defaultAddress)) {
    m_from = {trimmed(headerSafeText(m_options.defaultFromName)), defaultAddress};
  }
  m_haveFrom = !m_from.address.empty();
  // Sender: who actually sends, when that is someone else.
  if (m_haveFrom && snd.ok && lowerAscii(snd.address) != lowerAscii(m_from.address)) {
    m_sender = {snd.name, snd.address};
    m_haveSender = true;
  }
  if (!envelope) return S_OK;
  if (!m_haveFrom) {
    // Say what is wrong with the sender the message does name.
    auto names = [](const AddressParty& p) { return !p.address.empty() || !p.entryId.empty(); };
    std::string why = names(sender)         ? snd.problem
                      : names(representing) ? rep.problem
                                            : std::string("The message names no sender");
    m_error = headerSafeText(why) + ", and no default sender is set";
    return MAPI_E_INVALID_PARAMETER;
  }
  envelope->sender = m_from.address;
  return S_OK;
}

HRESULT MessageWriter::readReplyTo() {
  std::string list = m_props.bytes(PR_REPLY_RECIPIENT_ENTRIES);
  if (list.empty()) return S_OK;
  std::vector<std::string> entries;
  // A damaged list is left out: the message still goes, without Reply-To.
  if (!parseFlatEntryList(list, entries)) return S_OK;
  std::vector<std::string> names;
  std::string all = m_props.text(PR_REPLY_RECIPIENT_NAMES_W);
  for (size_t start = 0; start <= all.size();) {
    size_t semi = all.find(';', start);
    names.push_back(trimmed(all.substr(start, semi == std::string::npos ? std::string::npos : semi - start)));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& id = entries[i];
    std::string fallbackName = i < names.size() ? names[i] : std::string();
    tmapi::OneOff oneOff;
    if (tmapi::parseOneOffEntryId(static_cast<ULONG>(id.size()), reinterpret_cast<const BYTE*>(id.data()), oneOff)) {
      std::string address = trimmed(oneOff.address);
      if (lowerAscii(oneOff.addrType) == "smtp" && validAddress(address)) {
        std::string name = trimmed(oneOff.displayName);
        m_replyTo.push_back({name.empty() ? fallbackName : name, address});
        continue;
      }
    }
    if (!m_options.addrBook) continue;
    std::string address, name;
    bool found = false;
    HRESULT hr = lookUpSmtpAddress(m_options.addrBook, id, address, name, found, m_error);
    if (FAILED(hr)) return hr;
    if (found) m_replyTo.push_back({fallbackName.empty() ? name : fallbackName, address});
  }
  return S_OK;
}

std::string MessageWriter::headers(OutgoingEnvelope* envelope) {
  std::string out;
  const SPropValue* submit = m_props.find(PR_CLIENT_SUBMIT_TIME);
  if (submit || envelope) {
    int64_t seconds = 0;
    if (submit) {
      uint64_t ticks = (static_cast<uint64_t>(submit->Value.ft.dwHighDateTime) << 32) | submit->Value.ft.dwLowDateTime;
      seconds = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
    } else {
      seconds = static_cast<int64_t>(time(nullptr));
    }
    GDateTime* dt = g_date_time_new_from_unix_local(seconds);
    if (dt) {
      gchar* date = g_mime_utils_header_format_date(dt);
      if (date) out += wordsField("Date", {date});
      g_free(date);
      g_date_time_unref(dt);
    }
  }
  if (m_haveFrom) out += addressField("From", {m_from});
  if (m_haveSender) out += addressField("Sender", {m_sender});
  if (!m_replyTo.empty()) out += addressField("Reply-To", m_replyTo);
  if (!m_to.empty()) out += addressField("To", m_to);
  if (!m_cc.empty()) out += addressField("Cc", m_cc);
  if (m_props.has(PR_SUBJECT_W)) out += unstructuredField("Subject", m_props.text(PR_SUBJECT_W));

  std::string messageId = messageIdFrom(m_props.text(kPrInternetMessageId));
  if (messageId.empty() && envelope) {
    // The domain of the generated identifier: the options', else the
    // sender's.
    std::string domain = trimmed(m_options.messageIdDomain);
    if (!validDomain(domain)) domain = m_from.address.substr(m_from.address.find('@') + 1);
    if (!validDomain(domain)) domain = "localhost";
    messageId = "<" + randomAlnum(24) + "@" + domain + ">";
    envelope->messageIdGenerated = true;
  }
  if (!messageId.empty()) out += wordsField("Message-ID", {messageId});
  if (envelope) envelope->messageId = messageId;
  for (ULONG tag : {kPrInReplyToId, kPrInternetReferences}) {
    std::vector<std::string> ids;
    std::string all = headerSafeText(m_props.text(tag));
    size_t pos = 0;
    while (pos < all.size()) {
      size_t b = all.find_first_not_of(" \t", pos);
      if (b == std::string::npos) break;
      size_t e = all.find_first_of(" \t", b);
      std::string id = all.substr(b, e == std::string::npos ? std::string::npos : e - b);
      if (validMessageId(id)) ids.push_back(id);
      pos = e == std::string::npos ? all.size() : e;
    }
    if (!ids.empty()) out += wordsField(tag == kPrInReplyToId ? "In-Reply-To" : "References", ids);
  }

  // One level from PR_PRIORITY (else PR_IMPORTANCE) for both headers, as
  // delivery reads them back: 1 urgent, 0 normal (no header), -1 non-urgent.
  LONG priority = m_props.longValue(PR_PRIORITY, 0);
  if (priority == 0) {
    LONG importance = m_props.longValue(PR_IMPORTANCE, IMPORTANCE_NORMAL);
    priority = importance > IMPORTANCE_NORMAL ? 1 : (importance < IMPORTANCE_NORMAL ? -1 : 0);
  }
  if (priority > 0) out += "X-Priority: 1\nImportance: high\n";
  if (priority < 0) out += "X-Priority: 5\nImportance: low\n";

  for (const auto& h : m_internetHeaders) out += unstructuredField(h.first, h.second);
  out += "MIME-Version: 1.0\n";
  return out;
}

Entity MessageWriter::structure() const {
  Entity mixed;
  mixed.kind = Entity::Kind::Multipart;
  mixed.subtype = "mixed";
  Entity related;
  related.kind = Entity::Kind::Multipart;
  related.subtype = "related";
  for (size_t i = 0; i < m_attachments.size(); ++i) {
    Entity a;
    a.kind = Entity::Kind::Attachment;
    a.attachment = i;
    // Parts the HTML refers to by cid: go with it into multipart/related.
    const Attachment& att = m_attachments[i];
    a.relatedPart = m_html.present && !att.contentId.empty() && att.method != ATTACH_EMBEDDED_MSG;
    (a.relatedPart ? related : mixed).children.push_back(a);
  }
  Entity body;
  bool haveBody = m_text.present || m_html.present;
  Entity html;
  html.kind = Entity::Kind::Html;
  if (!related.children.empty()) {
    related.children.insert(related.children.begin(), html);
    html = related;
  }
  Entity text;
  text.kind = Entity::Kind::Text;
  if (m_text.present && m_html.present) {
    body.kind = Entity::Kind::Multipart;
    body.subtype = "alternative";
    body.children = {text, html};
  } else if (m_html.present) {
    body = html;
  } else {
    // A message without a body gets an empty text part, unless its
    // attachments fill it.
    body = text;
  }
  if (mixed.children.empty()) return body;
  if (haveBody) mixed.children.insert(mixed.children.begin(), body);
  return mixed;
}

HRESULT MessageWriter::writeEntity(const Entity& e) {
  switch (e.kind) {
    case Entity::Kind::Text:
    case Entity::Kind::Html:
      return writeBody(e);
    case Entity::Kind::Attachment:
      return writeAttachment(m_attachments[e.attachment], e.relatedPart);
    case Entity::Kind::Multipart:
      break;
  }
  std::string boundary = newBoundary();
  std::vector<HeaderParam> params = {{"boundary", boundary}};
  if (e.subtype == "related") params.push_back({"type", "text/html"});
  if (!m_out.put(parameterField("Content-Type", "multipart/" + e.subtype, params) + "\n")) return outputFailed();
  for (const Entity& child : e.children) {
    if (!m_out.put("--" + boundary + "\n")) return outputFailed();
    HRESULT hr = writeEntity(child);
    if (FAILED(hr)) return hr;
    // The line end before a delimiter belongs to the delimiter.
    if (!m_out.put("\n")) return outputFailed();
  }
  if (!m_out.put("--" + boundary + "--\n")) return outputFailed();
  return S_OK;
}

HRESULT MessageWriter::writeBody(const Entity& e) {
  bool html = e.kind == Entity::Kind::Html;
  const Body& body = html ? m_html : m_text;
  std::string head = parameterField("Content-Type", html ? "text/html" : "text/plain", {{"charset", "utf-8"}});
  head += "Content-Transfer-Encoding: quoted-printable\n\n";
  if (!m_out.put(head)) return outputFailed();
  if (!body.present) return S_OK;
  BodyReader reader(body.charset);
  HRESULT hr = reader.open(m_message, body.tag, m_error);
  if (FAILED(hr)) return hr;
  EncodedOut encoded(m_out, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
  std::string piece;
  bool end = false;
  while (!end) {
    hr = reader.next(piece, end, m_error);
    if (FAILED(hr)) return hr;
    if (!encoded.put(piece.data(), piece.size())) return outputFailed();
  }
  if (!encoded.finish()) return outputFailed();
  return S_OK;
}

HRESULT MessageWriter::writeAttachment(const Attachment& a, bool relatedPart) {
  std::string head;
  std::vector<HeaderParam> typeParams, dispositionParams;
  bool embedded = a.method == ATTACH_EMBEDDED_MSG;
  if (!a.fileName.empty() && !embedded) {
    typeParams.push_back({"name", a.fileName});
    dispositionParams.push_back({"filename", a.fileName});
  }
  head += parameterField("Content-Type", a.type, typeParams);
  head += parameterField("Content-Disposition", relatedPart ? "inline" : "attachment", dispositionParams);
  if (!a.contentId.empty()) head += wordsField("Content-ID", {"<" + a.contentId + ">"});
  if (!a.contentLocation.empty()) head += wordsField("Content-Location", {a.contentLocation});
  if (!embedded) head += "Content-Transfer-Encoding: base64\n";
  if (!m_out.put(head + "\n")) return outputFailed();
  if (!embedded) return writeAttachmentData(a);

  if (m_depth >= MimeReader::kMaxEmbeddingDepth) {
    m_error = "Attached messages are nested more than " + std::to_string(MimeReader::kMaxEmbeddingDepth) + " deep";
    return MAPI_E_TOO_COMPLEX;
  }
  LPMESSAGE inner = nullptr;
  HRESULT hr = a.attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&inner));
  if (FAILED(hr)) {
    m_error = mapiErrorText(a.attach.get(), hr, "Cannot open the message of attachment " + std::to_string(a.num));
    return hr;
  }
  Ref<IMessage> freeInner(inner);
  MessageWriter writer(m_options, m_out, m_depth + 1, m_error);
  return writer.write(inner, nullptr);
}

// Copies the attachment's data stream into the output through a base64
// encoder, a piece at a time.
HRESULT MessageWriter::writeAttachmentData(const Attachment& a) {
  LPSTREAM stream = nullptr;
  HRESULT hr = a.attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream));
  // An attachment without data is written as an empty part.
  if (hr == MAPI_E_NOT_FOUND) return S_OK;
  if (FAILED(hr)) {
    m_error = mapiErrorText(a.attach.get(), hr, "Cannot open the data of attachment " + std::to_string(a.num));
    return hr;
  }
  Ref<IStream> freeStream(stream);
  EncodedOut encoded(m_out, GMIME_CONTENT_ENCODING_BASE64);
  std::vector<char> buf(kPieceSize);
  for (;;) {
    ULONG got = 0;
    hr = stream->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (FAILED(hr)) {
      m_error = "Cannot read the data of attachment " + std::to_string(a.num) + " (" + hexCode(hr) + ")";
      return hr;
    }
    if (got == 0) break;
    if (!encoded.put(buf.data(), got)) return outputFailed();
  }
  if (!encoded.finish()) return outputFailed();
  return S_OK;
}

HRESULT MessageWriter::write(LPMESSAGE message, OutgoingEnvelope* envelope) {
  m_message = message;
  HRESULT hr = readProps();
  if (FAILED(hr)) return hr;
  std::vector<ULONG> named;
  hr = readPropList(named);
  if (FAILED(hr)) return hr;
  hr = readInternetHeaders(named);
  if (FAILED(hr)) return hr;
  hr = readRecipients(envelope);
  if (FAILED(hr)) return hr;
  hr = resolveSender(envelope);
  if (FAILED(hr)) return hr;
  hr = readReplyTo();
  if (FAILED(hr)) return hr;
  hr = readAttachments();
  if (FAILED(hr)) return hr;
  if (envelope) envelope->subject = trimmed(headerSafeText(m_props.text(PR_SUBJECT_W)));
  if (!m_out.put(headers(envelope))) return outputFailed();
  return writeEntity(structure());
}

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool parseFlatEntryList(const std::string& value, std::vector<std::string>& entries) {
  entries.clear();
  const unsigned char* data = reinterpret_cast<const unsigned char*>(value.data());
  size_t size = value.size();
  if (size < 8) return false;
  uint64_t count = le32(data);
  uint64_t bytes = le32(data + 4);
  // Each entry takes at least its 4-byte size.
  if (bytes > size - 8 || count > bytes / 4) return false;
  size_t end = 8 + static_cast<size_t>(bytes);
  size_t off = 8;
  std::vector<std::string> out;
  for (uint64_t i = 0; i < count; ++i) {
    if (end - off < 4) return false;
    uint64_t cb = le32(data + off);
    off += 4;
    if (cb > end - off) return false;
    out.emplace_back(value.data() + off, static_cast<size_t>(cb));
    off += static_cast<size_t>(cb);
    // Entries start on 4-byte boundaries; the last one's padding may be
    // left out.
    size_t pad = (4 - (off - 8) % 4) % 4;
    if (i + 1 < count && pad > end - off) return false;
    off += std::min(pad, end - off);
  }
  entries = std::move(out);
  return true;
}

HRESULT writeMimeMessage(LPMESSAGE message, const MimeWriteOptions& options, GMimeStream* out,
                         OutgoingEnvelope& envelope, std::string& error) {
  envelope = OutgoingEnvelope();
  error.clear();
  if (!message || !out) {
    error = "writeMimeMessage: no message or no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  initMime();
  Output output(out, options.crlfLineEnds);
  MessageWriter writer(options, output, 0, error);
  HRESULT hr = writer.write(message, &envelope);
  if (FAILED(hr)) return hr;
  if (!output.finish()) {
    error = "Cannot write the MIME text to its output";
    return MAPI_E_DISK_ERROR;
  }
  return S_OK;
}

}  // namespace mapimime
