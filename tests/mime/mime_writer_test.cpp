// Outgoing messages built in a real store through the MAPI interfaces,
// written as MIME, then read back: with GMime, with the delivery reader,
// and delivered into the Inbox and compared property by property. Hostile
// values must never make a header of their own; failures of the store come
// back as the HRESULT with the provider's text.
#include "deliver.h"
#include "mime_testutil.h"
#include "mimeheaders.h"
#include "mimereader.h"
#include "mimewriter.h"
#include "textconv.h"

#include <tolvane/directory.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <unistd.h>

using mapimime::OutgoingEnvelope;
using mapimime::MimeWriteOptions;

namespace {

const ULONG kBodyHtmlA = PROP_TAG(PT_STRING8, 0x1013);
const ULONG kContentIdA = PROP_TAG(PT_STRING8, 0x3712);
const ULONG kInternetMessageIdA = PROP_TAG(PT_STRING8, 0x1035);
const GUID kPsInternetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::string tempDir(const std::string& tag) {
  const char* base = getenv("TOLVANE_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  std::string cmd = "mkdir -p '" + root + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot make " << root;
  std::string pattern = root + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp " << pattern;
  return buf.data();
}

long peakRssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

void resetPeakRss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

// Property values for SetProps and ModifyRecipients; the strings live as
// long as the list.
class PropList {
 public:
  PropList& str(ULONG tag, const std::string& s) {
    m_strings.push_back(s);
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = &m_strings.back()[0];
    m_values.push_back(v);
    return *this;
  }
  PropList& bin(ULONG tag, const std::string& b) {
    m_strings.push_back(b);
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.bin.cb = static_cast<ULONG>(b.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(&m_strings.back()[0]);
    m_values.push_back(v);
    return *this;
  }
  PropList& num(ULONG tag, LONG l) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.l = l;
    m_values.push_back(v);
    return *this;
  }
  PropList& time(ULONG tag, int64_t unixSeconds) {
    uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    v.Value.ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    m_values.push_back(v);
    return *this;
  }
  ULONG size() const { return static_cast<ULONG>(m_values.size()); }
  SPropValue* data() { return m_values.data(); }

 private:
  std::deque<std::string> m_strings;
  std::vector<SPropValue> m_values;
};

PropList recipient(ULONG type, const std::string& name, const std::string& address,
                   const std::string& addrType = "SMTP") {
  PropList p;
  p.num(PR_RECIPIENT_TYPE, static_cast<LONG>(type)).str(PR_DISPLAY_NAME_A, name);
  if (!address.empty()) p.str(PR_EMAIL_ADDRESS_A, address);
  if (!addrType.empty()) p.str(PR_ADDRTYPE_A, addrType);
  return p;
}

void setProps(LPMAPIPROP obj, PropList props) { ASSERT_EQ(obj->SetProps(props.size(), props.data(), nullptr), S_OK); }

void addRecipients(LPMESSAGE msg, std::vector<PropList> rows) {
  LPADRLIST list = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(rows.size()), reinterpret_cast<LPVOID*>(&list)), S_OK);
  list->cEntries = static_cast<ULONG>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    LPSPropValue values = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue) * rows[i].size(), reinterpret_cast<LPVOID*>(&values)), S_OK);
    memcpy(values, rows[i].data(), sizeof(SPropValue) * rows[i].size());
    list->aEntries[i].ulReserved1 = 0;
    list->aEntries[i].cValues = rows[i].size();
    list->aEntries[i].rgPropVals = values;
  }
  EXPECT_EQ(msg->ModifyRecipients(MODRECIP_ADD, list), S_OK);
  FreePadrlist(list);
}

void writeStream(LPMAPIPROP obj, ULONG tag, const std::string& data) {
  LPSTREAM stream = nullptr;
  ASSERT_EQ(obj->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, reinterpret_cast<LPUNKNOWN*>(&stream)),
            S_OK);
  for (size_t off = 0; off < data.size(); off += 65536) {
    ULONG n = static_cast<ULONG>(std::min<size_t>(65536, data.size() - off));
    ULONG written = 0;
    EXPECT_EQ(stream->Write(data.data() + off, n, &written), S_OK);
  }
  EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  stream->Release();
}

// An attachment by value; data null: none at all.
void addAttachment(LPMESSAGE msg, PropList props, const std::string* data) {
  LPATTACH att = nullptr;
  ULONG num = 0;
  ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
  props.num(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
  setProps(att, props);
  if (data) writeStream(att, PR_ATTACH_DATA_BIN, *data);
  EXPECT_EQ(att->SaveChanges(0), S_OK);
  att->Release();
}

void addFile(LPMESSAGE msg, const std::string& name, const std::string& data, const std::string& mimeTag = "",
             const std::string& contentId = "") {
  PropList p;
  p.str(PR_ATTACH_LONG_FILENAME_A, name).str(PR_DISPLAY_NAME_A, name);
  if (!mimeTag.empty()) p.str(PR_ATTACH_MIME_TAG_A, mimeTag);
  if (!contentId.empty()) p.str(kContentIdA, contentId);
  addAttachment(msg, p, &data);
}

void addEmbedded(LPMESSAGE msg, const std::string& displayName, const std::function<void(LPMESSAGE)>& build) {
  LPATTACH att = nullptr;
  ULONG num = 0;
  ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
  setProps(att, PropList().num(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG).str(PR_DISPLAY_NAME_A, displayName));
  LPMESSAGE inner = nullptr;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                              reinterpret_cast<LPUNKNOWN*>(&inner)),
            S_OK);
  build(inner);
  EXPECT_EQ(inner->SaveChanges(0), S_OK);
  inner->Release();
  EXPECT_EQ(att->SaveChanges(0), S_OK);
  att->Release();
}

// A named property of PS_INTERNET_HEADERS, as delivery and clients keep
// Internet headers.
void setHeader(LPMESSAGE msg, const std::string& name, const std::string& value) {
  std::wstring wide(name.begin(), name.end());
  GUID guid = kPsInternetHeaders;
  MAPINAMEID id;
  id.lpguid = &guid;
  id.ulKind = MNID_STRING;
  id.Kind.lpwstrName = const_cast<LPWSTR>(wide.c_str());
  LPMAPINAMEID ids[] = {&id};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(msg->GetIDsFromNames(1, ids, MAPI_CREATE, &tags), S_OK);
  ULONG tag = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_STRING8);
  MAPIFreeBuffer(tags);
  setProps(msg, PropList().str(tag, value));
}

std::string getString(LPMAPIPROP obj, ULONG tag, bool* found = nullptr) {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(obj, tag, &v);
  if (found) *found = SUCCEEDED(hr);
  if (FAILED(hr)) return "";
  std::string out = PROP_TYPE(tag) == PT_BINARY
                        ? std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb)
                        : std::string(v->Value.lpszA);
  MAPIFreeBuffer(v);
  return out;
}

LONG getLong(LPMAPIPROP obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return -999;
  LONG out = v->Value.l;
  MAPIFreeBuffer(v);
  return out;
}

int64_t getUnixTime(LPMAPIPROP obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return -1;
  uint64_t ticks = (static_cast<uint64_t>(v->Value.ft.dwHighDateTime) << 32) | v->Value.ft.dwLowDateTime;
  MAPIFreeBuffer(v);
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

std::string readStream(LPMAPIPROP obj, ULONG tag) {
  LPSTREAM stream = nullptr;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream)))) return "<none>";
  std::string out;
  char buf[65536];
  ULONG got = 0;
  while (SUCCEEDED(stream->Read(buf, sizeof buf, &got)) && got > 0) out.append(buf, got);
  stream->Release();
  return out;
}

struct Row {
  LONG type;
  ULONG rowId;
  std::string name, address;
};

std::vector<Row> recipientRows(LPMESSAGE msg) {
  std::vector<Row> out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(msg->GetRecipientTable(0, &table), S_OK);
  if (!table) return out;
  SizedSPropTagArray(4, cols) = {4, {PR_RECIPIENT_TYPE, PR_ROWID, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  for (ULONG i = 0; rows && i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    out.push_back({v[0].Value.l, v[1].Value.ul, v[2].ulPropTag == PR_DISPLAY_NAME_A ? v[2].Value.lpszA : "",
                   v[3].ulPropTag == PR_EMAIL_ADDRESS_A ? v[3].Value.lpszA : ""});
  }
  if (rows) FreeProws(rows);
  return out;
}

struct AttachmentRow {
  ULONG num;
  LONG method;
  std::string name, mimeTag, contentId, data;
};

std::vector<AttachmentRow> attachmentRows(LPMESSAGE msg) {
  std::vector<AttachmentRow> out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(msg->GetAttachmentTable(0, &table), S_OK);
  if (!table) return out;
  SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_METHOD}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  for (ULONG i = 0; rows && i < rows->cRows; ++i) {
    AttachmentRow a;
    a.num = rows->aRow[i].lpProps[0].Value.ul;
    a.method = rows->aRow[i].lpProps[1].Value.l;
    LPATTACH att = nullptr;
    EXPECT_EQ(msg->OpenAttach(a.num, nullptr, 0, &att), S_OK);
    if (att) {
      a.name = getString(att, PR_ATTACH_LONG_FILENAME_A);
      a.mimeTag = getString(att, PR_ATTACH_MIME_TAG_A);
      a.contentId = getString(att, kContentIdA);
      if (a.method == ATTACH_BY_VALUE) a.data = readStream(att, PR_ATTACH_DATA_BIN);
      att->Release();
    }
    out.push_back(a);
  }
  if (rows) FreeProws(rows);
  return out;
}

LPMESSAGE openEmbedded(LPMESSAGE msg, ULONG num) {
  LPATTACH att = nullptr;
  EXPECT_EQ(msg->OpenAttach(num, nullptr, 0, &att), S_OK);
  if (!att) return nullptr;
  LPMESSAGE inner = nullptr;
  EXPECT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&inner)), S_OK);
  att->Release();
  return inner;
}

// The header block of a MIME text (up to the first empty line), unfolded
// lines joined back; the lines themselves are what a reader would see.
std::vector<std::string> headerLines(const std::string& mime) {
  std::vector<std::string> lines;
  std::istringstream in(mime);
  std::string line;
  while (std::getline(in, line) && !line.empty()) lines.push_back(line);
  return lines;
}

// Every line of every header block in the text that starts a field: its
// name, lower case. Body lines (base64, quoted-printable) are skipped by
// reading header blocks only: the message's, and each part's after a
// boundary line.
std::multiset<std::string> fieldNames(const std::string& mime) {
  std::multiset<std::string> names;
  std::istringstream in(mime);
  std::string line;
  bool inHeaders = true;
  while (std::getline(in, line)) {
    if (!inHeaders) {
      if (line.rfind("--=_", 0) == 0) inHeaders = true;
      continue;
    }
    if (line.empty()) {
      inHeaders = false;
      continue;
    }
    if (line.rfind("--=_", 0) == 0 || line[0] == ' ' || line[0] == '\t') continue;
    names.insert(mapimime::lowerAscii(line.substr(0, line.find(':'))));
  }
  return names;
}

GMimeMessage* parse(const std::string& mime) {
  GMimeStream* mem = g_mime_stream_mem_new_with_buffer(mime.data(), mime.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(mem);
  GMimeMessage* m = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(mem);
  return m;
}

std::string typeOf(GMimeObject* obj) {
  GMimeContentType* ct = g_mime_object_get_content_type(obj);
  return std::string(g_mime_content_type_get_media_type(ct)) + "/" + g_mime_content_type_get_media_subtype(ct);
}

std::string str(const char* s) { return s ? s : ""; }

class MimeWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_home = tempDir("mime-writer-home");
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::reset();
    mapimime::initMime();
    mapiprofile::Profile p;
    p.name = "alice";
    p.address = "alice@example.com";
    p.displayName = "Alice Example";
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    m_objects = mapitest::liveObjects();
    m_buffers = mapitest::liveBuffers();
    m_delivery.reset(new mapimime::MailDelivery);
    ASSERT_EQ(m_delivery->open("alice", error), S_OK) << error;
    ASSERT_EQ(mapimime::openFolderByPath(m_delivery->store(), "Outbox", &m_outbox, error), S_OK) << error;
  }

  void TearDown() override {
    for (auto* m : m_open) m->Release();
    m_open.clear();
    if (m_book) m_book->Release();
    if (m_session) {
      m_session->Logoff(0, 0, 0);
      m_session->Release();
    }
    if (m_outbox) m_outbox->Release();
    m_delivery.reset();
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    std::string cmd = "rm -rf '" + m_home + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_home;
  }

  // A new message in the Outbox (released at the end of the test), with a
  // sender as the composing code sets it.
  LPMESSAGE compose() {
    LPMESSAGE msg = nullptr;
    EXPECT_EQ(m_outbox->CreateMessage(nullptr, 0, &msg), S_OK);
    if (msg) m_open.push_back(msg);
    return msg;
  }

  void sender(LPMESSAGE msg, const std::string& name, const std::string& address) {
    setProps(msg, PropList()
                      .str(PR_SENDER_NAME_A, name)
                      .str(PR_SENDER_EMAIL_ADDRESS_A, address)
                      .str(PR_SENDER_ADDRTYPE_A, "SMTP"));
  }

  HRESULT write(LPMESSAGE msg, std::string& mime, OutgoingEnvelope& envelope, std::string& error,
                const MimeWriteOptions& options = MimeWriteOptions()) {
    GMimeStream* mem = g_mime_stream_mem_new();
    HRESULT hr = mapimime::writeMimeMessage(msg, options, mem, envelope, error);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    mime.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(mem);
    return hr;
  }

  std::string writeOk(LPMESSAGE msg, OutgoingEnvelope* envelope = nullptr,
                      const MimeWriteOptions& options = MimeWriteOptions()) {
    OutgoingEnvelope e;
    std::string mime, error;
    EXPECT_EQ(write(msg, mime, envelope ? *envelope : e, error, options), S_OK) << error;
    EXPECT_EQ(error, "");
    return mime;
  }

  // Delivers a MIME text into the Inbox and opens the new message.
  LPMESSAGE deliverBack(const std::string& mime) {
    GMimeStream* mem = g_mime_stream_mem_new_with_buffer(mime.data(), mime.size());
    mapimime::DeliveryResult r = m_delivery->deliverStream(mem);
    g_object_unref(mem);
    EXPECT_TRUE(r.ok()) << r.error;
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(m_delivery->folder()->GetContentsTable(0, &table), S_OK);
    if (!table) return nullptr;
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    table->Release();
    LPMESSAGE msg = nullptr;
    if (rows && rows->cRows > 0) {
      const SBinary& id = rows->aRow[rows->cRows - 1].lpProps[0].Value.bin;
      ULONG type = 0;
      EXPECT_EQ(m_delivery->store()->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, 0, &type,
                                               reinterpret_cast<LPUNKNOWN*>(&msg)),
                S_OK);
      if (msg) m_open.push_back(msg);
    }
    if (rows) FreeProws(rows);
    return msg;
  }

  LPADRBOOK addressBook() {
    if (m_book) return m_book;
    EXPECT_EQ(MAPILogonEx(0, const_cast<LPTSTR>("alice"), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION, &m_session),
              S_OK);
    if (m_session) {
      EXPECT_EQ(m_session->OpenAddressBook(0, nullptr, 0, &m_book), S_OK);
    }
    return m_book;
  }

  std::string m_home;
  long m_objects = 0;
  long m_buffers = 0;
  std::unique_ptr<mapimime::MailDelivery> m_delivery;
  LPMAPIFOLDER m_outbox = nullptr;
  LPMAPISESSION m_session = nullptr;
  LPADRBOOK m_book = nullptr;
  std::vector<LPMESSAGE> m_open;
};

const char kSubject[] = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC";
const char kSenderName[] = "J\xC3\xBCrgen M\xC3\xBCller";
const char kToName[] = "Bj\xC3\xB6rn \xC3\x85str\xC3\xB6m";
const char kText[] = "Hello \xC3\x85nna,\nsee the logo and the data.\n\n-- \nJ\xC3\xBCrgen\n";
const char kHtml[] = "<html><body><p>Hello \xC3\x85nna,</p><img src=\"cid:logo.1@example.de\"></body></html>\n";

std::string binaryData() {
  std::string data;
  for (int i = 0; i < 100000; ++i) data += static_cast<char>((i * 7 + i / 256) & 0xFF);
  return data;
}

// A message with everything the writer maps: both bodies, recipients of
// each type, a binary attachment, an inline image, an X- header, priority,
// reply-to and a submit time; no Message-ID.
LPMESSAGE buildFull(MimeWriterTest* t, LPMESSAGE msg) {
  PropList p;
  p.str(PR_SUBJECT_A, kSubject)
      .str(PR_BODY_A, kText)
      .str(kBodyHtmlA, kHtml)
      .num(PR_PRIORITY, 1)
      .time(PR_CLIENT_SUBMIT_TIME, 1772525700)
      .str(PR_REPLY_RECIPIENT_NAMES_A, "Office Desk")
      .bin(PR_REPLY_RECIPIENT_ENTRIES,
           mapimime::flatEntryList({mapimime::oneOffEntryId("Office Desk", "office@example.de")}));
  setProps(msg, p);
  (void)t;
  setProps(msg, PropList()
                    .str(PR_SENDER_NAME_A, kSenderName)
                    .str(PR_SENDER_EMAIL_ADDRESS_A, "juergen@example.de")
                    .str(PR_SENDER_ADDRTYPE_A, "SMTP"));
  addRecipients(msg, {recipient(MAPI_TO, kToName, "bjorn@example.se"),
                      recipient(MAPI_TO, "Carol, Accounts", "carol@example.net"),
                      recipient(MAPI_CC, "dave@example.org", "dave@example.org"),
                      recipient(MAPI_BCC, "Secret Keeper", "secret@example.com")});
  setHeader(msg, "X-Mailer", "Tolvane Composer 1.0");
  setHeader(msg, "X-Note", "Gr\xC3\xBC\xC3\x9F" "e");
  addFile(msg, "logo.png", mimetest::example("parts/logo.png"), "image/png", "logo.1@example.de");
  addFile(msg, "M\xC3\xA4rz Daten.bin", binaryData(), "application/octet-stream");
  return msg;
}

}  // namespace

TEST_F(MimeWriterTest, DeliveredBackTheMessageKeepsEveryField) {
  LPMESSAGE msg = buildFull(this, compose());
  std::string mime = writeOk(msg);
  LPMESSAGE back = deliverBack(mime);
  ASSERT_TRUE(back);

  EXPECT_EQ(getString(back, PR_SUBJECT_A), kSubject);
  EXPECT_EQ(getString(back, PR_SENDER_NAME_A), kSenderName);
  EXPECT_EQ(getString(back, PR_SENDER_EMAIL_ADDRESS_A), "juergen@example.de");
  EXPECT_EQ(getString(back, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A), "juergen@example.de");
  EXPECT_EQ(getUnixTime(back, PR_CLIENT_SUBMIT_TIME), 1772525700);
  EXPECT_EQ(getLong(back, PR_PRIORITY), 1);
  EXPECT_EQ(getLong(back, PR_IMPORTANCE), 2);
  EXPECT_EQ(getString(back, PR_BODY_A), kText);
  EXPECT_EQ(getString(back, kBodyHtmlA), kHtml);
  EXPECT_EQ(getString(back, PR_REPLY_RECIPIENT_NAMES_A), "Office Desk");
  EXPECT_EQ(getString(back, PR_REPLY_RECIPIENT_ENTRIES),
            mapimime::flatEntryList({mapimime::oneOffEntryId("Office Desk", "office@example.de")}));

  std::vector<Row> r = recipientRows(back);
  ASSERT_EQ(r.size(), 3u);  // the Bcc recipient is in no header
  EXPECT_EQ(r[0].type, MAPI_TO);
  EXPECT_EQ(r[0].name, kToName);
  EXPECT_EQ(r[0].address, "bjorn@example.se");
  EXPECT_EQ(r[1].name, "Carol, Accounts");
  EXPECT_EQ(r[1].address, "carol@example.net");
  EXPECT_EQ(r[2].type, MAPI_CC);
  EXPECT_EQ(r[2].name, "dave@example.org");

  // The inline image comes first: it belongs to the HTML body.
  std::vector<AttachmentRow> a = attachmentRows(back);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].name, "logo.png");
  EXPECT_EQ(a[0].mimeTag, "image/png");
  EXPECT_EQ(a[0].contentId, "logo.1@example.de");
  EXPECT_TRUE(a[0].data == mimetest::example("parts/logo.png"));
  EXPECT_EQ(a[1].name, "M\xC3\xA4rz Daten.bin");
  EXPECT_EQ(a[1].mimeTag, "application/octet-stream");
  EXPECT_EQ(a[1].data.size(), binaryData().size());
  EXPECT_TRUE(a[1].data == binaryData());

  // Internet headers come back as named properties.
  GUID guid = kPsInternetHeaders;
  std::wstring names[] = {L"X-Mailer", L"X-Note"};
  const char* values[] = {"Tolvane Composer 1.0", "Gr\xC3\xBC\xC3\x9F" "e"};
  for (int i = 0; i < 2; ++i) {
    MAPINAMEID id;
    id.lpguid = &guid;
    id.ulKind = MNID_STRING;
    id.Kind.lpwstrName = const_cast<LPWSTR>(names[i].c_str());
    LPMAPINAMEID ids[] = {&id};
    LPSPropTagArray tags = nullptr;
    ASSERT_EQ(back->GetIDsFromNames(1, ids, 0, &tags), S_OK);
    EXPECT_EQ(getString(back, CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_STRING8)), values[i]);
    MAPIFreeBuffer(tags);
  }
}

TEST_F(MimeWriterTest, BodiesAndAttachmentsAreMixedAlternativeAndRelated) {
  std::string mime = writeOk(buildFull(this, compose()));
  GMimeMessage* m = parse(mime);
  ASSERT_TRUE(m);
  GMimeObject* top = g_mime_message_get_mime_part(m);
  ASSERT_EQ(typeOf(top), "multipart/mixed");
  GMimeMultipart* mixed = GMIME_MULTIPART(top);
  ASSERT_EQ(g_mime_multipart_get_count(mixed), 2);
  GMimeObject* alternative = g_mime_multipart_get_part(mixed, 0);
  ASSERT_EQ(typeOf(alternative), "multipart/alternative");
  ASSERT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(alternative)), 2);
  GMimeObject* text = g_mime_multipart_get_part(GMIME_MULTIPART(alternative), 0);
  EXPECT_EQ(typeOf(text), "text/plain");
  EXPECT_EQ(str(g_mime_object_get_content_type_parameter(text, "charset")), "utf-8");
  GMimeObject* related = g_mime_multipart_get_part(GMIME_MULTIPART(alternative), 1);
  ASSERT_EQ(typeOf(related), "multipart/related");
  EXPECT_EQ(str(g_mime_object_get_content_type_parameter(related, "type")), "text/html");
  ASSERT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(related)), 2);
  EXPECT_EQ(typeOf(g_mime_multipart_get_part(GMIME_MULTIPART(related), 0)), "text/html");
  GMimeObject* logo = g_mime_multipart_get_part(GMIME_MULTIPART(related), 1);
  EXPECT_EQ(typeOf(logo), "image/png");
  EXPECT_EQ(str(g_mime_object_get_content_id(logo)), "logo.1@example.de");
  EXPECT_EQ(str(g_mime_object_get_disposition(logo)), "inline");
  EXPECT_EQ(g_mime_part_get_content_encoding(GMIME_PART(logo)), GMIME_CONTENT_ENCODING_BASE64);
  GMimeObject* data = g_mime_multipart_get_part(mixed, 1);
  EXPECT_EQ(str(g_mime_object_get_disposition(data)), "attachment");
  EXPECT_EQ(str(g_mime_part_get_filename(GMIME_PART(data))), "M\xC3\xA4rz Daten.bin");
  EXPECT_TRUE(mapimime::decodedContent(data) == binaryData());
  g_object_unref(m);
  // The file name is RFC 2231 encoded; no raw 8-bit byte anywhere.
  EXPECT_NE(mime.find("filename*=utf-8''M%C3%A4rz%20Daten.bin"), std::string::npos) << mime.substr(0, 4000);
  for (unsigned char c : mime) ASSERT_LT(c, 0x80);
  EXPECT_EQ(mime.find("\r"), std::string::npos);
}

TEST_F(MimeWriterTest, EnvelopeListsEveryRecipientAndBccOnlyThere) {
  LPMESSAGE msg = buildFull(this, compose());
  OutgoingEnvelope env;
  std::string mime = writeOk(msg, &env);
  EXPECT_EQ(env.sender, "juergen@example.de");
  EXPECT_EQ(env.subject, kSubject);
  std::vector<Row> rows = recipientRows(msg);
  ASSERT_EQ(env.recipients.size(), 4u);
  ASSERT_EQ(rows.size(), 4u);
  const char* addresses[] = {"bjorn@example.se", "carol@example.net", "dave@example.org", "secret@example.com"};
  ULONG types[] = {MAPI_TO, MAPI_TO, MAPI_CC, MAPI_BCC};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(env.recipients[i].address, addresses[i]);
    EXPECT_EQ(env.recipients[i].type, types[i]);
    EXPECT_EQ(env.recipients[i].rowId, rows[i].rowId);
    EXPECT_TRUE(env.recipients[i].deliverable);
    EXPECT_EQ(env.recipients[i].problem, "");
  }
  EXPECT_EQ(env.recipients[3].displayName, "Secret Keeper");
  EXPECT_EQ(mime.find("secret@example.com"), std::string::npos);
  EXPECT_EQ(mime.find("Secret Keeper"), std::string::npos);
  EXPECT_EQ(fieldNames(mime).count("bcc"), 0u);
}

TEST_F(MimeWriterTest, MessageIdIsGeneratedOnlyWhenTheMessageHasNone) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().str(PR_SUBJECT_A, "id"));
  OutgoingEnvelope env;
  std::string mime = writeOk(msg, &env);
  EXPECT_TRUE(env.messageIdGenerated);
  ASSERT_GT(env.messageId.size(), 20u);
  EXPECT_EQ(env.messageId.front(), '<');
  EXPECT_EQ(env.messageId.substr(env.messageId.size() - 13), "@example.org>");
  EXPECT_NE(mime.find("\nMessage-ID: " + env.messageId + "\n"), std::string::npos);
  // The property is the caller's to store.
  bool found = true;
  getString(msg, kInternetMessageIdA, &found);
  EXPECT_FALSE(found);
  // Another write makes another identifier, on the domain asked for.
  MimeWriteOptions options;
  options.messageIdDomain = "mail.example.net";
  OutgoingEnvelope second;
  writeOk(msg, &second, options);
  EXPECT_NE(second.messageId, env.messageId);
  EXPECT_EQ(second.messageId.substr(second.messageId.size() - 18), "@mail.example.net>");

  setProps(msg, PropList().str(kInternetMessageIdA, "<kept.1@example.org>"));
  OutgoingEnvelope kept;
  mime = writeOk(msg, &kept);
  EXPECT_FALSE(kept.messageIdGenerated);
  EXPECT_EQ(kept.messageId, "<kept.1@example.org>");
  EXPECT_NE(mime.find("\nMessage-ID: <kept.1@example.org>\n"), std::string::npos);
}

// GMime 3.2.13 (Debian 12) decodes only the first of adjacent base64
// encoded words when one ends in '=' padding (jstedfast/gmime#133), and its
// own encoder writes words past RFC 2047's 75 characters. The writer
// therefore makes Q-encoded words of at most 75 characters itself: a long
// non-ASCII subject and display name must come back whole through the
// Debian GMime.
TEST_F(MimeWriterTest, LongNonAsciiHeadersSurviveDebianGMime) {
  std::string subject;
  for (int i = 0; i < 12; ++i) subject += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D ";
  subject += "Ende";
  std::string name = "\xD0\x90\xD0\xBB\xD0\xB5\xD0\xBA\xD1\x81\xD0\xB0\xD0\xBD\xD0\xB4\xD1\x80 "
                     "\xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB8\xD1\x87 "
                     "\xD0\x9A\xD1\x83\xD0\xB7\xD0\xBD\xD0\xB5\xD1\x86\xD0\xBE\xD0\xB2-"
                     "\xD0\xA1\xD0\xBE\xD0\xBA\xD0\xBE\xD0\xBB\xD0\xBE\xD0\xB2";
  LPMESSAGE msg = compose();
  sender(msg, name, "alex@example.ru");
  setProps(msg, PropList().str(PR_SUBJECT_A, subject));
  addRecipients(msg, {recipient(MAPI_TO, name, "alex@example.ru")});
  std::string mime = writeOk(msg);
  for (const std::string& line : headerLines(mime)) {
    EXPECT_LE(line.size(), mapimime::kFoldColumn) << line;
    EXPECT_EQ(line.find("?b?"), std::string::npos) << line;
  }
  mapimime::MailItem item;
  std::string error;
  ASSERT_TRUE(mapimime::MimeReader::readBytes(mime, item, error)) << error;
  EXPECT_EQ(mimetest::text(item.props, PR_SUBJECT_W), subject);
  EXPECT_EQ(mimetest::text(item.props, PR_SENDER_NAME_W), name);
  ASSERT_EQ(item.recipients.size(), 1u);
  EXPECT_EQ(item.recipients[0].name, name);
  for (const std::string& word : mapimime::encodedWords(subject)) EXPECT_LE(word.size(), 75u);
}

TEST_F(MimeWriterTest, HostileValuesNeverStartAHeaderLine) {
  LPMESSAGE msg = compose();
  sender(msg, "Eve\r\nBcc: spy1@evil.example", "eve@example.org");
  setProps(msg, PropList()
                    .str(PR_SUBJECT_A, "Hello\r\nBcc: spy2@evil.example\nX-Injected: 1")
                    .str(PR_BODY_A, "body\n")
                    .str(PR_REPLY_RECIPIENT_NAMES_A, "Desk")
                    .bin(PR_REPLY_RECIPIENT_ENTRIES, mapimime::flatEntryList({mapimime::oneOffEntryId(
                                                         "Desk\r\nBcc: spy3@evil.example", "desk@example.org")})));
  addRecipients(msg, {recipient(MAPI_TO, "Bob\nBcc: spy4@evil.example", "bob@example.org"),
                      recipient(MAPI_TO, "Mallory", "mallory@example.org\r\nBcc: spy5@evil.example"),
                      recipient(MAPI_CC, "Quote \" and \\ <x@y>, Bcc: spy6@evil.example", "carl@example.org")});
  setHeader(msg, "X-Custom", "value\r\nBcc: spy7@evil.example\r\n\r\nbody takeover");
  addFile(msg, "a\r\nBcc: spy8@evil.example.txt", "data", "text/plain\r\nBcc: spy9@evil.example",
          "cid\r\nBcc: spy10@evil.example");
  OutgoingEnvelope env;
  std::string mime = writeOk(msg, &env);

  std::multiset<std::string> names = fieldNames(mime);
  EXPECT_EQ(names.count("bcc"), 0u) << mime;
  EXPECT_EQ(names.count("x-injected"), 0u) << mime;
  std::set<std::string> allowed = {"date",      "from",         "reply-to",     "to",
                                   "cc",        "subject",      "message-id",   "x-custom",
                                   "mime-version", "content-type", "content-disposition",
                                   "content-transfer-encoding"};
  for (const auto& n : names) EXPECT_TRUE(allowed.count(n)) << "unexpected field " << n << "\n" << mime;
  // The values are still there, on their own line.
  GMimeMessage* m = parse(mime);
  ASSERT_TRUE(m);
  EXPECT_EQ(str(g_mime_message_get_subject(m)), "Hello Bcc: spy2@evil.example X-Injected: 1");
  EXPECT_EQ(str(g_mime_object_get_header(GMIME_OBJECT(m), "X-Custom")), "value Bcc: spy7@evil.example body takeover");
  EXPECT_EQ(internet_address_list_length(g_mime_message_get_addresses(m, GMIME_ADDRESS_TYPE_BCC)), 0);
  InternetAddressList* to = g_mime_message_get_addresses(m, GMIME_ADDRESS_TYPE_TO);
  ASSERT_EQ(internet_address_list_length(to), 1);  // Mallory's address is not an address
  EXPECT_EQ(str(internet_address_get_name(internet_address_list_get_address(to, 0))), "Bob Bcc: spy4@evil.example");
  InternetAddressList* cc = g_mime_message_get_addresses(m, GMIME_ADDRESS_TYPE_CC);
  ASSERT_EQ(internet_address_list_length(cc), 1);
  EXPECT_EQ(str(internet_address_get_name(internet_address_list_get_address(cc, 0))),
            "Quote \" and \\ <x@y>, Bcc: spy6@evil.example");
  EXPECT_EQ(str(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(internet_address_list_get_address(cc, 0)))),
            "carl@example.org");
  g_object_unref(m);

  ASSERT_EQ(env.recipients.size(), 3u);
  EXPECT_FALSE(env.recipients[1].deliverable);
  EXPECT_EQ(env.recipients[1].address, "");
  EXPECT_EQ(env.recipients[1].problem,
            "The recipient's address \"mallory@example.org Bcc: spy5@evil.example\" is not a valid Internet address");
  EXPECT_EQ(mime.find("spy5"), std::string::npos);
}

TEST_F(MimeWriterTest, BadAndReservedHeaderNamesAreNotWritten) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().str(PR_SUBJECT_A, "Real subject"));
  const char* refused[] = {"Bad Name",   "X:Colon", "X-\xC3\x9C" "ber", "Subject",  "bcc",  "From",
                           "Content-Type", "content-transfer-encoding", "X-Priority", "Importance", "Received",
                           "Return-Path", "Message-ID", "MIME-Version", "Reply-To", "Date"};
  for (const char* name : refused) setHeader(msg, name, "SPOOFED");
  setHeader(msg, std::string(77, 'X'), "SPOOFED");
  setHeader(msg, "X-Good", "fine");
  setHeader(msg, "x-good", "second of the same name");
  std::string mime = writeOk(msg);
  EXPECT_EQ(mime.find("SPOOFED"), std::string::npos) << mime;
  EXPECT_EQ(mime.find("second of the same name"), std::string::npos);
  EXPECT_NE(mime.find("\nX-Good: fine\n"), std::string::npos) << mime;
  std::multiset<std::string> names = fieldNames(mime);
  EXPECT_EQ(names.count("subject"), 1u);
  EXPECT_EQ(names.count("content-type"), 1u);
  EXPECT_EQ(names.count("x-priority"), 0u);
}

TEST_F(MimeWriterTest, FlatEntryListIsParsedWithinItsBounds) {
  std::string one = mapimime::oneOffEntryId("Ann", "ann@example.org");
  std::string two = mapimime::oneOffEntryId("Bo", "bo@example.org");
  std::string list = mapimime::flatEntryList({one, two});
  std::vector<std::string> entries;
  ASSERT_TRUE(mapimime::parseFlatEntryList(list, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], one);
  EXPECT_EQ(entries[1], two);
  // Every truncation is refused: the byte count promises more.
  for (size_t n = 0; n < list.size(); ++n) {
    std::vector<std::string> got = {"stale"};
    EXPECT_FALSE(mapimime::parseFlatEntryList(list.substr(0, n), got)) << n;
    EXPECT_TRUE(got.empty()) << n;
  }
  auto patched = [&](size_t at, uint32_t v) {
    std::string s = list;
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  EXPECT_FALSE(mapimime::parseFlatEntryList(patched(0, 3), entries));            // one more entry than there is
  EXPECT_FALSE(mapimime::parseFlatEntryList(patched(0, 0xFFFFFFFFu), entries));  // absurd count
  EXPECT_FALSE(mapimime::parseFlatEntryList(patched(4, 0xFFFFFFF8u), entries));  // byte count past the end
  EXPECT_FALSE(mapimime::parseFlatEntryList(patched(8, 0xFFFFFFFFu), entries));  // entry size past the end
  EXPECT_FALSE(mapimime::parseFlatEntryList(patched(8, static_cast<uint32_t>(list.size())), entries));
}

TEST_F(MimeWriterTest, DamagedReplyToEntriesAreLeftOut) {
  std::string good = mapimime::flatEntryList({mapimime::oneOffEntryId("Desk", "desk@example.org")});
  std::string truncated = good.substr(0, good.size() - 9);
  std::string overCount = good;
  overCount[0] = 7;
  std::string notOneOff = mapimime::flatEntryList({std::string(40, '\x01')});
  for (const std::string& value : {truncated, overCount, notOneOff}) {
    LPMESSAGE msg = compose();
    sender(msg, "Ann", "ann@example.org");
    setProps(msg, PropList().str(PR_SUBJECT_A, "reply").bin(PR_REPLY_RECIPIENT_ENTRIES, value));
    std::string mime = writeOk(msg);
    EXPECT_EQ(fieldNames(mime).count("reply-to"), 0u) << mime;
    EXPECT_EQ(fieldNames(mime).count("subject"), 1u);
  }
}

TEST_F(MimeWriterTest, RecipientsWithoutAnInternetAddressAreUndeliverable) {
  mapidirectory::Entry dave;
  dave.displayName = "Dave Directory";
  dave.distinguishedName = "/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=dave";
  dave.proxies = {"smtp:dave.alias@example.org", "SMTP:dave@example.org"};
  mapidirectory::Entry erin;
  erin.displayName = "Erin";
  erin.smtpAddress = "erin@example.org";
  std::string error;
  ASSERT_EQ(mapidirectory::add(dave, error), S_OK) << error;
  ASSERT_EQ(mapidirectory::add(erin, error), S_OK) << error;

  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  PropList resolvedEx = recipient(MAPI_TO, "Dave Directory", dave.distinguishedName, "EX");
  resolvedEx.bin(PR_ENTRYID, mapidirectory::distinguishedNameEntryId(dave.distinguishedName));
  PropList resolvedName = recipient(MAPI_CC, "", "erin", "SMTP");
  resolvedName.bin(PR_ENTRYID, mapidirectory::entryId(erin.id));
  addRecipients(msg, {resolvedEx, resolvedName, recipient(MAPI_TO, "Frank", "frank"),
                      recipient(MAPI_TO, "Nobody", "", ""), recipient(MAPI_CC, "Fax", "+49 30 1234@fax", "FAX")});

  // Without the address book only Internet addresses are deliverable.
  OutgoingEnvelope env;
  std::string mime = writeOk(msg, &env);
  ASSERT_EQ(env.recipients.size(), 5u);
  for (const auto& r : env.recipients) EXPECT_FALSE(r.deliverable) << r.displayName;
  EXPECT_EQ(env.recipients[0].problem, "The recipient's address \"" + dave.distinguishedName +
                                           "\" has no domain and is not in the address book");
  EXPECT_EQ(env.recipients[2].problem,
            "The recipient's address \"frank\" has no domain and is not in the address book");
  EXPECT_EQ(env.recipients[3].problem, "The recipient \"Nobody\" has no address");
  EXPECT_EQ(env.recipients[4].problem, "The recipient's address type \"FAX\" cannot be sent as Internet mail");
  EXPECT_EQ(fieldNames(mime).count("to"), 0u);
  EXPECT_EQ(fieldNames(mime).count("cc"), 0u);

  // With it, directory entries give their SMTP address.
  MimeWriteOptions options;
  options.addrBook = addressBook();
  ASSERT_TRUE(options.addrBook);
  mime = writeOk(msg, &env, options);
  ASSERT_EQ(env.recipients.size(), 5u);
  EXPECT_TRUE(env.recipients[0].deliverable);
  EXPECT_EQ(env.recipients[0].address, "dave@example.org");
  EXPECT_TRUE(env.recipients[1].deliverable);
  EXPECT_EQ(env.recipients[1].address, "erin@example.org");
  EXPECT_EQ(env.recipients[1].displayName, "Erin");
  EXPECT_FALSE(env.recipients[2].deliverable);
  EXPECT_FALSE(env.recipients[3].deliverable);
  EXPECT_FALSE(env.recipients[4].deliverable);
  EXPECT_NE(mime.find("\nTo: Dave Directory <dave@example.org>\n"), std::string::npos) << mime;
  EXPECT_NE(mime.find("\nCc: Erin <erin@example.org>\n"), std::string::npos) << mime;
  EXPECT_EQ(mime.find("frank"), std::string::npos);
}

TEST_F(MimeWriterTest, AddressBookFailureFailsTheMessage) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  PropList row = recipient(MAPI_TO, "Gus", "gus", "SMTP");
  row.bin(PR_ENTRYID, mapidirectory::entryId(42));
  addRecipients(msg, {row});
  MimeWriteOptions options;
  options.addrBook = addressBook();
  mapitest::addFault("IAddrBook::OpenEntry", 1, MAPI_E_BUSY);
  OutgoingEnvelope env;
  std::string mime, error;
  EXPECT_EQ(write(msg, mime, env, error, options), MAPI_E_BUSY);
  EXPECT_EQ(error, "Cannot open an address-book entry: IAddrBook::OpenEntry failed: injected fault 0x8004010B "
                   "(0x8004010B)");
  // Unknown to the directory: undeliverable, not a failure.
  OutgoingEnvelope second;
  writeOk(msg, &second, options);
  ASSERT_EQ(second.recipients.size(), 1u);
  EXPECT_FALSE(second.recipients[0].deliverable);
}

TEST_F(MimeWriterTest, SenderFallsBackToTheDefaultSender) {
  LPMESSAGE msg = compose();
  setProps(msg, PropList().str(PR_SUBJECT_A, "no sender"));
  OutgoingEnvelope env;
  std::string mime, error;
  EXPECT_EQ(write(msg, mime, env, error), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(error, "The message names no sender, and no default sender is set");

  MimeWriteOptions options;
  options.defaultFromName = "Alice Example";
  options.defaultFromAddress = "alice@example.com";
  mime = writeOk(msg, &env, options);
  EXPECT_EQ(env.sender, "alice@example.com");
  EXPECT_NE(mime.find("\nFrom: Alice Example <alice@example.com>\n"), std::string::npos) << mime;

  // A sender without a domain is replaced by the default too; without a
  // default the write says why.
  sender(msg, "Bare", "bare");
  EXPECT_EQ(write(msg, mime, env, error), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(error, "The sender's address \"bare\" has no domain and is not in the address book, and no default "
                   "sender is set");
  writeOk(msg, &env, options);
  EXPECT_EQ(env.sender, "alice@example.com");

  // Sent on behalf of someone: From is that one, Sender the actual sender.
  sender(msg, "Sam Sender", "sam@example.org");
  setProps(msg, PropList()
                    .str(PR_SENT_REPRESENTING_NAME_A, "Boss")
                    .str(PR_SENT_REPRESENTING_EMAIL_ADDRESS_A, "boss@example.org")
                    .str(PR_SENT_REPRESENTING_ADDRTYPE_A, "SMTP"));
  mime = writeOk(msg, &env, options);
  EXPECT_EQ(env.sender, "boss@example.org");
  EXPECT_NE(mime.find("\nFrom: Boss <boss@example.org>\nSender: Sam Sender <sam@example.org>\n"), std::string::npos)
      << mime;
  LPMESSAGE back = deliverBack(mime);
  ASSERT_TRUE(back);
  EXPECT_EQ(getString(back, PR_SENDER_EMAIL_ADDRESS_A), "sam@example.org");
  EXPECT_EQ(getString(back, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A), "boss@example.org");
}

TEST_F(MimeWriterTest, NonUrgentAndNormalPriority) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().num(PR_PRIORITY, -1));
  std::string mime = writeOk(msg);
  EXPECT_NE(mime.find("\nX-Priority: 5\nImportance: low\n"), std::string::npos) << mime;
  LPMESSAGE back = deliverBack(mime);
  ASSERT_TRUE(back);
  EXPECT_EQ(getLong(back, PR_PRIORITY), -1);
  EXPECT_EQ(getLong(back, PR_IMPORTANCE), 0);

  setProps(msg, PropList().num(PR_PRIORITY, 0));
  mime = writeOk(msg);
  EXPECT_EQ(fieldNames(mime).count("x-priority"), 0u);
  EXPECT_EQ(fieldNames(mime).count("importance"), 0u);
  // High importance alone is urgent.
  setProps(msg, PropList().num(PR_IMPORTANCE, IMPORTANCE_HIGH));
  mime = writeOk(msg);
  EXPECT_NE(mime.find("\nX-Priority: 1\nImportance: high\n"), std::string::npos) << mime;
}

TEST_F(MimeWriterTest, MessageWithoutBody) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  addRecipients(msg, {recipient(MAPI_TO, "Bo", "bo@example.org")});
  std::string mime = writeOk(msg);
  GMimeMessage* m = parse(mime);
  ASSERT_TRUE(m);
  GMimeObject* top = g_mime_message_get_mime_part(m);
  EXPECT_EQ(typeOf(top), "text/plain");
  EXPECT_EQ(mapimime::decodedContent(top), "");
  EXPECT_EQ(fieldNames(mime).count("subject"), 0u);
  g_object_unref(m);

  // Attachments alone: a multipart/mixed of only them.
  addFile(msg, "notes.txt", "some notes\r\n");
  mime = writeOk(msg);
  m = parse(mime);
  ASSERT_TRUE(m);
  top = g_mime_message_get_mime_part(m);
  ASSERT_EQ(typeOf(top), "multipart/mixed");
  ASSERT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(top)), 1);
  GMimeObject* part = g_mime_multipart_get_part(GMIME_MULTIPART(top), 0);
  EXPECT_EQ(typeOf(part), "text/plain");  // guessed from the extension
  EXPECT_EQ(mapimime::decodedContent(part), "some notes\r\n");  // attachment bytes are kept exactly
  g_object_unref(m);
}

// PR_HTML keeps the HTML as bytes in the message's Internet code page; it
// goes out as UTF-8, line ends made LF.
TEST_F(MimeWriterTest, HtmlBytesAreConvertedFromTheirCodePage) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList()
                    .bin(PROP_TAG(PT_BINARY, 0x1013), "<p>K\xF6ln \x80 5</p>\r\n<p>ok</p>\r\n")
                    .num(PROP_TAG(PT_LONG, 0x3FDE), 1252));
  std::string mime = writeOk(msg);
  LPMESSAGE back = deliverBack(mime);
  ASSERT_TRUE(back);
  EXPECT_EQ(getString(back, kBodyHtmlA), "<p>K\xC3\xB6ln \xE2\x82\xAC 5</p>\n<p>ok</p>\n");
  bool found = true;
  getString(back, PR_BODY_A, &found);
  EXPECT_FALSE(found);
}

TEST_F(MimeWriterTest, AttachmentTypesAndEmptyData) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().str(PR_BODY_A, "see attached\n"));
  addAttachment(msg, PropList().str(PR_ATTACH_LONG_FILENAME_A, "empty.dat"), nullptr);
  addFile(msg, "report.pdf", "%PDF-1.4");
  addFile(msg, "C:\\Users\\ann\\secret\\plan.unknownext", "x");
  addFile(msg, "old.eml", "Subject: x\n\nbody\n", "message/rfc822");
  addFile(msg, "tagged.bin", "y", "Application/X-Custom; charset=x");
  std::string mime = writeOk(msg);
  mapimime::MailItem item;
  std::string error;
  ASSERT_TRUE(mapimime::MimeReader::readBytes(mime, item, error)) << error;
  ASSERT_EQ(item.attachments.size(), 5u);
  const char* names[] = {"empty.dat", "report.pdf", "plan.unknownext", "old.eml", "tagged.bin"};
  const char* types[] = {"application/octet-stream", "application/pdf", "application/octet-stream",
                         "application/octet-stream", "application/x-custom"};
  const char* data[] = {"", "%PDF-1.4", "x", "Subject: x\n\nbody\n", "y"};
  for (size_t i = 0; i < 5; ++i) {
    const auto& a = item.attachments[i];
    EXPECT_EQ(a.method, static_cast<ULONG>(ATTACH_BY_VALUE)) << i;
    EXPECT_EQ(mimetest::text(a.props, PR_ATTACH_LONG_FILENAME_W), names[i]);
    EXPECT_EQ(mimetest::text(a.props, PR_ATTACH_MIME_TAG_W), types[i]);
    EXPECT_EQ(mapimime::attachmentData(a), data[i]);
  }
  EXPECT_EQ(mime.find("Users"), std::string::npos);
}

TEST_F(MimeWriterTest, EmbeddedMessageDeliveredBack) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().str(PR_SUBJECT_A, "Fwd: Travel plans").str(PR_BODY_A, "See below.\n"));
  addRecipients(msg, {recipient(MAPI_TO, "Bo", "bo@example.org")});
  addEmbedded(msg, "Travel plans", [](LPMESSAGE inner) {
    setProps(inner, PropList()
                        .str(PR_SUBJECT_A, "Travel plans")
                        .str(PR_BODY_A, "The train leaves at 9:40.\n")
                        .str(PR_SENDER_NAME_A, "Dave Smith")
                        .str(PR_SENDER_EMAIL_ADDRESS_A, "dave@example.org")
                        .str(PR_SENDER_ADDRTYPE_A, "SMTP")
                        .time(PR_CLIENT_SUBMIT_TIME, 1772000000));
    addRecipients(inner, {recipient(MAPI_TO, "Carol", "carol@example.net"),
                          recipient(MAPI_BCC, "Hidden", "hidden@example.net")});
    addFile(inner, "itinerary.txt", "Day 1: Berlin\n");
  });
  OutgoingEnvelope env;
  std::string mime = writeOk(msg, &env);
  ASSERT_EQ(env.recipients.size(), 1u);  // the attached message's recipients are not the envelope's
  EXPECT_EQ(mime.find("hidden@example.net"), std::string::npos);
  LPMESSAGE back = deliverBack(mime);
  ASSERT_TRUE(back);
  std::vector<AttachmentRow> a = attachmentRows(back);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].method, ATTACH_EMBEDDED_MSG);
  LPMESSAGE inner = openEmbedded(back, a[0].num);
  ASSERT_TRUE(inner);
  m_open.push_back(inner);
  EXPECT_EQ(getString(inner, PR_SUBJECT_A), "Travel plans");
  EXPECT_EQ(getString(inner, PR_SENDER_NAME_A), "Dave Smith");
  EXPECT_EQ(getString(inner, PR_BODY_A), "The train leaves at 9:40.\n");
  EXPECT_EQ(getUnixTime(inner, PR_CLIENT_SUBMIT_TIME), 1772000000);
  std::vector<Row> r = recipientRows(inner);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].address, "carol@example.net");
  std::vector<AttachmentRow> ia = attachmentRows(inner);
  ASSERT_EQ(ia.size(), 1u);
  EXPECT_EQ(ia[0].name, "itinerary.txt");
  EXPECT_EQ(ia[0].data, "Day 1: Berlin\n");
}

TEST_F(MimeWriterTest, AttachmentTableFailureGivesTheProviderText) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  addFile(msg, "a.txt", "a");
  mapitest::addFault("IMessage::GetAttachmentTable", 1, MAPI_E_CALL_FAILED);
  OutgoingEnvelope env;
  std::string mime, error;
  EXPECT_EQ(write(msg, mime, env, error), MAPI_E_CALL_FAILED);
  EXPECT_EQ(error, "Cannot read the attachment table: IMessage::GetAttachmentTable failed: injected fault "
                   "0x80004005 (0x80004005)");
}

TEST_F(MimeWriterTest, AttachmentDataFailureGivesTheProviderText) {
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  addFile(msg, "a.txt", "a");
  mapitest::addFault("IAttach::OpenProperty", 1, MAPI_E_NO_ACCESS);
  OutgoingEnvelope env;
  std::string mime, error;
  EXPECT_EQ(write(msg, mime, env, error), MAPI_E_NO_ACCESS);
  EXPECT_EQ(error, "Cannot open the data of attachment 0: IAttach::OpenProperty failed: injected fault 0x80070005 "
                   "(0x80070005)");
  // The body stream too.
  setProps(msg, PropList().str(PR_BODY_A, "text"));
  mapitest::addFault("IMessage::OpenProperty", 1, MAPI_E_DISK_ERROR);
  EXPECT_EQ(write(msg, mime, env, error), MAPI_E_DISK_ERROR);
  EXPECT_EQ(error, "Cannot open the message body: IMessage::OpenProperty failed: injected fault 0x80040116 "
                   "(0x80040116)");
}

TEST_F(MimeWriterTest, CrlfLineEndsWhenAsked) {
  LPMESSAGE msg = buildFull(this, compose());
  MimeWriteOptions options;
  options.crlfLineEnds = true;
  std::string mime = writeOk(msg, nullptr, options);
  size_t lf = 0;
  for (size_t i = 0; i < mime.size(); ++i) {
    if (mime[i] != '\n') continue;
    ++lf;
    ASSERT_TRUE(i > 0 && mime[i - 1] == '\r') << "bare LF at " << i;
  }
  EXPECT_GT(lf, 100u);
  mapimime::MailItem item;
  std::string error;
  ASSERT_TRUE(mapimime::MimeReader::readBytes(mime, item, error)) << error;
  EXPECT_EQ(mimetest::text(item.props, PR_SUBJECT_W), kSubject);
  ASSERT_EQ(item.attachments.size(), 2u);
  EXPECT_TRUE(mapimime::attachmentData(item.attachments[1]) == binaryData());
}

// A 64 MiB attachment goes from the store through the encoder in pieces:
// the writer's peak memory grows by far less than the attachment.
TEST_F(MimeWriterTest, LargeAttachmentDoesNotRaisePeakMemoryBySize) {
  const size_t kSize = 64u * 1024 * 1024;
  auto byteAt = [](size_t i) { return static_cast<char>((i * 2654435761u) >> 13); };
  LPMESSAGE msg = compose();
  sender(msg, "Ann", "ann@example.org");
  setProps(msg, PropList().str(PR_SUBJECT_A, "large").str(PR_BODY_A, "large attachment\n"));
  {
    LPATTACH att = nullptr;
    ULONG num = 0;
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
    setProps(att, PropList().num(PR_ATTACH_METHOD, ATTACH_BY_VALUE).str(PR_ATTACH_LONG_FILENAME_A, "large.bin"));
    LPSTREAM stream = nullptr;
    ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                reinterpret_cast<LPUNKNOWN*>(&stream)),
              S_OK);
    std::vector<char> piece(1024 * 1024);
    for (size_t off = 0; off < kSize; off += piece.size()) {
      for (size_t k = 0; k < piece.size(); ++k) piece[k] = byteAt(off + k);
      ULONG written = 0;
      ASSERT_EQ(stream->Write(piece.data(), static_cast<ULONG>(piece.size()), &written), S_OK);
    }
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    stream->Release();
    EXPECT_EQ(att->SaveChanges(0), S_OK);
    att->Release();
  }
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

  std::string path = m_home + "/large.eml";
  GError* gerror = nullptr;
  GMimeStream* file = g_mime_stream_fs_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600, &gerror);
  ASSERT_TRUE(file);
  resetPeakRss();
  long before = peakRssKiB();
  OutgoingEnvelope env;
  std::string error;
  EXPECT_EQ(mapimime::writeMimeMessage(msg, MimeWriteOptions(), file, env, error), S_OK) << error;
  long grown = peakRssKiB() - before;
  EXPECT_LT(grown, 16 * 1024) << "peak memory grew by " << grown << " kB";

  // Read back from the file, piece by piece.
  g_mime_stream_reset(file);
  mapimime::MailItem item;
  ASSERT_TRUE(mapimime::MimeReader::read(file, item, error)) << error;
  ASSERT_EQ(item.attachments.size(), 1u);
  mapimime::DecodedReader reader(item.attachments[0].part.get());
  std::vector<char> buf(1 << 20);
  size_t total = 0;
  bool same = true;
  ssize_t n;
  while ((n = reader.read(buf.data(), buf.size())) > 0) {
    for (ssize_t k = 0; k < n && same; ++k) same = buf[k] == byteAt(total + k);
    total += static_cast<size_t>(n);
  }
  EXPECT_EQ(total, kSize);
  EXPECT_TRUE(same);
  item = mapimime::MailItem();
  g_object_unref(file);
}

// A failure of any store call the writer makes (the message's, the
// attachments', the attached message's) fails the write with that HRESULT
// and a sentence, and gives back every object and buffer (checked when the
// test ends).
TEST_F(MimeWriterTest, EveryStoreFailureFailsCleanly) {
  LPMESSAGE msg = buildFull(this, compose());
  addEmbedded(msg, "inner", [](LPMESSAGE inner) {
    setProps(inner, PropList().str(PR_SUBJECT_A, "inner").str(PR_BODY_A, "inner body\n"));
  });
  const char* methods[] = {"IMessage::GetProps",           "IMessage::GetPropList",  "IMessage::GetNamesFromIDs",
                           "IMessage::GetRecipientTable",  "IMAPITable::QueryRows",  "IMessage::GetAttachmentTable",
                           "IMessage::OpenAttach",         "IAttach::GetProps",      "IAttach::OpenProperty",
                           "IMessage::OpenProperty",       "IStream::Read"};
  for (const char* method : methods) {
    for (unsigned nth : {1u, 2u, 3u}) {
      mapitest::reset();
      mapitest::addFault(method, nth, MAPI_E_DISK_ERROR);
      OutgoingEnvelope env;
      std::string mime, error;
      HRESULT hr = write(msg, mime, env, error);
      mapitest::reset();
      if (hr == S_OK && nth > 1) continue;  // called fewer than nth times
      EXPECT_EQ(hr, MAPI_E_DISK_ERROR) << method << " #" << nth << ": " << error;
      EXPECT_NE(error.find("0x80040116"), std::string::npos) << method << " #" << nth << ": " << error;
    }
  }
}
