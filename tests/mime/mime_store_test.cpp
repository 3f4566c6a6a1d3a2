// Delivery into a real store, read back with the MAPI API the way any
// client reads it: subject, addresses, bodies and attachment bytes compared
// with the source files; a failure anywhere leaves no message behind;
// several files stored in batches of one transaction each.
#include "deliver.h"
#include "mapiwriter.h"
#include "mimereader.h"
#include "mime_testutil.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gtest/gtest.h>

#include "../synced_files.h"

#include <gmime/gmime.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

using mimetest::example;

namespace {

const ULONG kBodyHtmlA = PROP_TAG(PT_STRING8, 0x1013);
const ULONG kContentIdA = PROP_TAG(PT_STRING8, 0x3712);
const ULONG kInternetMessageIdA = PROP_TAG(PT_STRING8, 0x1035);
const ULONG kInternetCpid = PROP_TAG(PT_LONG, 0x3FDE);

std::string examplePath(const std::string& name) { return std::string(TOLVANE_EXAMPLES_MAIL) + "/" + name; }

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

// A property read: the value as text ("" for a missing one); found tells.
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

LONG getLong(LPMAPIPROP obj, ULONG tag, LONG missing = -999) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return missing;
  LONG out = PROP_TYPE(tag) == PT_BOOLEAN ? v->Value.b : v->Value.l;
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

// A whole property read through IStream.
std::string readStream(LPMAPIPROP obj, ULONG tag) {
  LPSTREAM stream = nullptr;
  HRESULT hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream));
  EXPECT_EQ(hr, S_OK);
  if (FAILED(hr)) return "";
  std::string out;
  char buf[65536];
  ULONG got = 0;
  while (SUCCEEDED(stream->Read(buf, sizeof buf, &got)) && got > 0) out.append(buf, got);
  stream->Release();
  return out;
}

struct RecipientRow {
  LONG type;
  std::string name, address, addrType, reportText, supplementary;
  int64_t reportTime;
};

std::string rowString(const SPropValue& v, ULONG tag) {
  return v.ulPropTag == tag ? std::string(v.Value.lpszA) : std::string("<missing>");
}

std::vector<RecipientRow> recipients(LPMESSAGE msg) {
  std::vector<RecipientRow> out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(msg->GetRecipientTable(0, &table), S_OK);
  if (!table) return out;
  SizedSPropTagArray(7, cols) = {7,
                                 {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A,
                                  PR_REPORT_TEXT_A, PR_SUPPLEMENTARY_INFO_A, PR_REPORT_TIME}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  if (!rows) return out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    RecipientRow r;
    r.type = v[0].ulPropTag == PR_RECIPIENT_TYPE ? v[0].Value.l : -1;
    r.name = rowString(v[1], PR_DISPLAY_NAME_A);
    r.address = rowString(v[2], PR_EMAIL_ADDRESS_A);
    r.addrType = rowString(v[3], PR_ADDRTYPE_A);
    r.reportText = rowString(v[4], PR_REPORT_TEXT_A);
    r.supplementary = rowString(v[5], PR_SUPPLEMENTARY_INFO_A);
    r.reportTime = -1;
    if (v[6].ulPropTag == PR_REPORT_TIME) {
      uint64_t t = (static_cast<uint64_t>(v[6].Value.ft.dwHighDateTime) << 32) | v[6].Value.ft.dwLowDateTime;
      r.reportTime = static_cast<int64_t>(t / 10000000ULL) - 11644473600LL;
    }
    out.push_back(r);
  }
  FreeProws(rows);
  return out;
}

struct AttachmentRow {
  ULONG num;
  LONG method;
  std::string longName, mimeTag, displayName;
  LONG size;
};

std::vector<AttachmentRow> attachments(LPMESSAGE msg) {
  std::vector<AttachmentRow> out;
  LPMAPITABLE table = nullptr;
  EXPECT_EQ(msg->GetAttachmentTable(0, &table), S_OK);
  if (!table) return out;
  SizedSPropTagArray(6, cols) = {
      6, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_MIME_TAG_A, PR_DISPLAY_NAME_A,
          PR_ATTACH_SIZE}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  table->Release();
  if (!rows) return out;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    AttachmentRow a;
    a.num = v[0].Value.ul;
    a.method = v[1].ulPropTag == PR_ATTACH_METHOD ? v[1].Value.l : -1;
    a.longName = rowString(v[2], PR_ATTACH_LONG_FILENAME_A);
    a.mimeTag = rowString(v[3], PR_ATTACH_MIME_TAG_A);
    a.displayName = rowString(v[4], PR_DISPLAY_NAME_A);
    a.size = v[5].ulPropTag == PR_ATTACH_SIZE ? v[5].Value.l : -1;
    out.push_back(a);
  }
  FreeProws(rows);
  return out;
}

// The bytes of attachment `num`, read through a stream.
std::string attachmentBytes(LPMESSAGE msg, ULONG num, std::string* contentId = nullptr) {
  LPATTACH att = nullptr;
  EXPECT_EQ(msg->OpenAttach(num, nullptr, 0, &att), S_OK);
  if (!att) return "";
  std::string data = readStream(att, PR_ATTACH_DATA_BIN);
  if (contentId) *contentId = getString(att, kContentIdA);
  att->Release();
  return data;
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

// Reads the FLATENTRYLIST entries of a binary value.
std::vector<std::string> flatEntries(const std::string& list) {
  auto le32 = [&](size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(list[off + i]);
    return v;
  };
  std::vector<std::string> out;
  if (list.size() < 8) return out;
  uint32_t count = le32(0);
  size_t off = 8;
  for (uint32_t i = 0; i < count && off + 4 <= list.size(); ++i) {
    uint32_t cb = le32(off);
    out.push_back(list.substr(off + 4, cb));
    off = (off + 4 + cb + 3) & ~static_cast<size_t>(3);
  }
  return out;
}

class MimeStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_home = tempDir("mime-home");
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::reset();
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
  }

  void TearDown() override {
    for (auto* m : m_open) m->Release();
    m_open.clear();
    m_delivery.reset();
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    std::string cmd = "rm -rf '" + m_home + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_home;
  }

  void deliver(const std::string& name) {
    mapimime::DeliveryResult r = m_delivery->deliverFile(examplePath(name));
    ASSERT_TRUE(r.ok()) << name << ": " << r.error;
  }

  // The entry identifiers of the Inbox's messages, in delivery order.
  std::vector<std::string> inbox() {
    std::vector<std::string> ids;
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(m_delivery->folder()->GetContentsTable(0, &table), S_OK);
    if (!table) return ids;
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    table->Release();
    if (!rows) return ids;
    for (ULONG i = 0; i < rows->cRows; ++i)
      ids.emplace_back(reinterpret_cast<const char*>(rows->aRow[i].lpProps[0].Value.bin.lpb),
                       rows->aRow[i].lpProps[0].Value.bin.cb);
    FreeProws(rows);
    return ids;
  }

  // Opens a message of the Inbox (released at the end of the test).
  LPMESSAGE open(const std::string& entryId) {
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    EXPECT_EQ(m_delivery->store()->OpenEntry(static_cast<ULONG>(entryId.size()),
                                             reinterpret_cast<LPENTRYID>(const_cast<char*>(entryId.data())),
                                             nullptr, 0, &type, &unk),
              S_OK);
    EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
    LPMESSAGE msg = reinterpret_cast<LPMESSAGE>(unk);
    if (msg) m_open.push_back(msg);
    return msg;
  }

  LPMESSAGE deliverAndOpen(const std::string& name) {
    size_t before = inbox().size();
    deliver(name);
    std::vector<std::string> ids = inbox();
    EXPECT_EQ(ids.size(), before + 1);
    return ids.empty() ? nullptr : open(ids.back());
  }

  std::string m_home;
  long m_objects = 0;
  long m_buffers = 0;
  std::unique_ptr<mapimime::MailDelivery> m_delivery;
  std::vector<LPMESSAGE> m_open;
};

}  // namespace

TEST_F(MimeStoreTest, PlainMessage) {
  LPMESSAGE m = deliverAndOpen("plain.eml");
  ASSERT_TRUE(m);
  EXPECT_EQ(getString(m, PR_MESSAGE_CLASS_A), "IPM.Note");
  EXPECT_EQ(getString(m, PR_SUBJECT_A), "Quarterly figures");
  EXPECT_EQ(getString(m, kInternetMessageIdA), "<20260303091500.1234@mail.example.org>");
  EXPECT_EQ(getUnixTime(m, PR_CLIENT_SUBMIT_TIME), 1772525700);
  EXPECT_GT(getUnixTime(m, PR_MESSAGE_DELIVERY_TIME), 1772525700);
  EXPECT_EQ(getLong(m, PR_MESSAGE_FLAGS) & MSGFLAG_READ, 0);
  EXPECT_EQ(getLong(m, kInternetCpid), 65001);
  EXPECT_NE(getString(m, PR_TRANSPORT_MESSAGE_HEADERS_A).find("Message-ID: <20260303091500.1234@mail.example.org>"),
            std::string::npos);
  EXPECT_EQ(getString(m, PR_SENDER_NAME_A), "Anna Berg");
  EXPECT_EQ(getString(m, PR_SENDER_EMAIL_ADDRESS_A), "anna.berg@example.org");
  EXPECT_EQ(getString(m, PR_SENDER_ADDRTYPE_A), "SMTP");
  EXPECT_EQ(getString(m, PR_SENT_REPRESENTING_NAME_A), "Anna Berg");
  EXPECT_EQ(getString(m, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A), "anna.berg@example.org");
  EXPECT_EQ(getLong(m, PR_PRIORITY), 1);
  EXPECT_EQ(getLong(m, PR_IMPORTANCE), 2);
  std::string body = getString(m, PR_BODY_A);
  EXPECT_EQ(body.substr(0, 12), "Hello Alice,");
  EXPECT_NE(body.find("Regards,\nAnna"), std::string::npos);
  bool found = true;
  getString(m, kBodyHtmlA, &found);
  EXPECT_FALSE(found);

  std::vector<RecipientRow> r = recipients(m);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].type, MAPI_TO);
  EXPECT_EQ(r[0].name, "Alice Example");
  EXPECT_EQ(r[0].address, "alice@example.com");
  EXPECT_EQ(r[0].addrType, "SMTP");
  EXPECT_EQ(r[1].type, MAPI_TO);
  EXPECT_EQ(r[1].address, "bob@example.com");
  EXPECT_EQ(r[2].type, MAPI_CC);
  EXPECT_EQ(r[2].name, "Carol, Accounts");
  EXPECT_EQ(r[2].address, "carol@example.net");

  EXPECT_EQ(getString(m, PR_REPLY_RECIPIENT_NAMES_A), "Anna Berg");
  std::vector<std::string> entries = flatEntries(getString(m, PR_REPLY_RECIPIENT_ENTRIES));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], mapimime::oneOffEntryId("Anna Berg", "office@example.org"));
  EXPECT_TRUE(attachments(m).empty());
}

TEST_F(MimeStoreTest, ReplyToEntriesOpenInTheAddressBook) {
  LPMESSAGE m = deliverAndOpen("plain.eml");
  ASSERT_TRUE(m);
  std::vector<std::string> entries = flatEntries(getString(m, PR_REPLY_RECIPIENT_ENTRIES));
  ASSERT_EQ(entries.size(), 1u);
  LPMAPISESSION session = nullptr;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPTSTR>("alice"), nullptr, MAPI_EXTENDED | MAPI_NEW_SESSION, &session), S_OK);
  LPADRBOOK book = nullptr;
  HRESULT hr = session->OpenAddressBook(0, nullptr, 0, &book);
  if (SUCCEEDED(hr)) {
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    hr = book->OpenEntry(static_cast<ULONG>(entries[0].size()),
                         reinterpret_cast<LPENTRYID>(const_cast<char*>(entries[0].data())), nullptr, 0, &type, &unk);
    EXPECT_EQ(hr, S_OK);
    if (unk) {
      LPMAPIPROP user = reinterpret_cast<LPMAPIPROP>(unk);
      EXPECT_EQ(getString(user, PR_EMAIL_ADDRESS_A), "office@example.org");
      EXPECT_EQ(getString(user, PR_ADDRTYPE_A), "SMTP");
      EXPECT_EQ(getString(user, PR_DISPLAY_NAME_A), "Anna Berg");
      unk->Release();
    }
    book->Release();
  } else {
    ADD_FAILURE() << "OpenAddressBook failed";
  }
  session->Logoff(0, 0, 0);
  session->Release();
}

TEST_F(MimeStoreTest, HtmlWithInlineImage) {
  LPMESSAGE m = deliverAndOpen("html-inline-image.eml");
  ASSERT_TRUE(m);
  EXPECT_EQ(getString(m, PR_SUBJECT_A), "Our spring catalogue");
  EXPECT_NE(getString(m, kBodyHtmlA).find("Caf\xC3\xA9 prices inside!"), std::string::npos);
  EXPECT_EQ(getString(m, PR_BODY_A), "Our spring catalogue is here. See the logo in the HTML version.\n");
  EXPECT_EQ(getLong(m, PR_HASATTACH), 1);
  std::vector<AttachmentRow> a = attachments(m);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].method, ATTACH_BY_VALUE);
  EXPECT_EQ(a[0].longName, "logo.png");
  EXPECT_EQ(a[0].mimeTag, "image/png");
  std::string cid;
  std::string data = attachmentBytes(m, a[0].num, &cid);
  EXPECT_EQ(data, example("parts/logo.png"));
  // The store counts the whole attachment object: the data and more.
  EXPECT_GE(a[0].size, static_cast<LONG>(data.size()));
  EXPECT_EQ(cid, "logo.1234@shop.example");
}

TEST_F(MimeStoreTest, AttachmentsMatchTheirSourceFiles) {
  LPMESSAGE m = deliverAndOpen("attachments.eml");
  ASSERT_TRUE(m);
  EXPECT_EQ(getString(m, PR_BODY_A), "Please find the report and the data attached.\n");
  EXPECT_EQ(getLong(m, PR_IMPORTANCE), 0);
  std::vector<AttachmentRow> a = attachments(m);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].longName, "report.csv");
  EXPECT_EQ(attachmentBytes(m, a[0].num), example("parts/report.csv"));
  EXPECT_EQ(a[1].longName, "M\xC3\xA4rz Daten \xC3\xBC" "bersicht.bin");
  EXPECT_EQ(getString(m, PR_SUBJECT_A), "Files for the meeting");
  std::string data = attachmentBytes(m, a[1].num);
  EXPECT_EQ(data, example("parts/data.bin"));
  EXPECT_GE(a[1].size, 20000);
}

TEST_F(MimeStoreTest, AttachedMessageIsAnEmbeddedMessage) {
  LPMESSAGE m = deliverAndOpen("attached-message.eml");
  ASSERT_TRUE(m);
  std::vector<AttachmentRow> a = attachments(m);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].method, ATTACH_EMBEDDED_MSG);
  EXPECT_EQ(a[0].displayName, "Travel plans");
  LPMESSAGE inner = openEmbedded(m, a[0].num);
  ASSERT_TRUE(inner);
  EXPECT_EQ(getString(inner, PR_SUBJECT_A), "Travel plans");
  EXPECT_EQ(getString(inner, PR_SENDER_NAME_A), "Dave Smith");
  EXPECT_EQ(getString(inner, PR_BODY_A), "The train leaves at 9:40 from platform 3.\n");
  std::vector<RecipientRow> r = recipients(inner);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].address, "carol@example.net");
  std::vector<AttachmentRow> ia = attachments(inner);
  ASSERT_EQ(ia.size(), 1u);
  EXPECT_EQ(ia[0].longName, "itinerary.txt");
  EXPECT_EQ(attachmentBytes(inner, ia[0].num), "Day 1: Berlin\nDay 2: Prague\n");
  inner->Release();
}

TEST_F(MimeStoreTest, NonDeliveryReport) {
  LPMESSAGE m = deliverAndOpen("ndr.eml");
  ASSERT_TRUE(m);
  EXPECT_EQ(getString(m, PR_MESSAGE_CLASS_A), "REPORT.IPM.Note.NDR");
  EXPECT_EQ(getString(m, PR_ORIGINAL_SUBJECT_A), "Lunch on Tuesday?");
  EXPECT_EQ(getUnixTime(m, PR_ORIGINAL_SUBMIT_TIME), 1773054110);
  std::vector<RecipientRow> r = recipients(m);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].address, "nobody@example.invalid");
  EXPECT_EQ(r[0].reportText, "550 5.1.1 <nobody@example.invalid>: Recipient address rejected: User unknown");
  EXPECT_EQ(r[0].supplementary, "5.1.1");
  EXPECT_EQ(r[0].reportTime, 1773054126);
  std::vector<AttachmentRow> a = attachments(m);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[1].method, ATTACH_EMBEDDED_MSG);
  LPMESSAGE original = openEmbedded(m, a[1].num);
  ASSERT_TRUE(original);
  EXPECT_EQ(getString(original, PR_SUBJECT_A), "Lunch on Tuesday?");
  EXPECT_EQ(getString(original, PR_BODY_A), "Shall we meet for lunch on Tuesday?\n");
  original->Release();
}

TEST_F(MimeStoreTest, NonAsciiSubjects) {
  LPMESSAGE m = deliverAndOpen("non-ascii-subjects.eml");
  ASSERT_TRUE(m);
  EXPECT_EQ(getString(m, PR_SUBJECT_A),
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D und Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln");
  EXPECT_EQ(getString(m, PR_SENDER_NAME_A), "J\xC3\xBCrgen M\xC3\xBCller");
  std::vector<RecipientRow> r = recipients(m);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].name, "Bj\xC3\xB6rn \xC3\x85str\xC3\xB6m");
}

TEST_F(MimeStoreTest, InternetHeadersAsNamedProperties) {
  LPMESSAGE m = deliverAndOpen("plain.eml");
  ASSERT_TRUE(m);
  GUID guid = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  MAPINAMEID name;
  name.lpguid = &guid;
  name.ulKind = MNID_STRING;
  name.Kind.lpwstrName = const_cast<LPWSTR>(L"X-Mailer");
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(m->GetIDsFromNames(1, names, 0, &tags), S_OK);
  ASSERT_EQ(tags->cValues, 1u);
  EXPECT_EQ(getString(m, CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_STRING8)), "Example Mail 4.2");
  MAPIFreeBuffer(tags);
}

TEST_F(MimeStoreTest, EveryExampleInDeliveryOrder) {
  const char* files[] = {"plain.eml", "html-inline-image.eml", "attachments.eml", "attached-message.eml", "ndr.eml",
                         "non-ascii-subjects.eml"};
  for (const char* f : files) deliver(f);
  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 6u);
  const char* subjects[] = {"Quarterly figures", "Our spring catalogue", "Files for the meeting",
                            "Fwd: Travel plans", "Undelivered Mail Returned to Sender"};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(getString(open(ids[i]), PR_SUBJECT_A), subjects[i]);
}

// Long bodies go to the store through a stream, converted piece by piece;
// characters cut between pieces come out whole.
TEST_F(MimeStoreTest, LongBodiesInOtherCharsets) {
  std::string latin, expectedLatin, utf8;
  while (latin.size() < 3 * 1024 * 1024) {
    latin += "Gr\xFC\xDF" "e aus K\xF6ln \xA4\n";
    expectedLatin += "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x82\xAC\n";
    utf8 += "\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80 ok\n";
  }
  std::string path = m_home + "/latin.eml";
  std::ofstream(path, std::ios::binary) << "From: a@example.com\nSubject: latin\nMIME-Version: 1.0\n"
                                        << "Content-Type: multipart/alternative; boundary=b\n\n--b\n"
                                        << "Content-Type: text/plain; charset=iso-8859-15\n\n" << latin << "\n--b\n"
                                        << "Content-Type: text/html; charset=utf-8\n\n" << utf8 << "\n--b--\n";
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  ASSERT_TRUE(r.ok()) << r.error;
  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 1u);
  LPMESSAGE m = open(ids[0]);
  std::string body = readStream(m, PR_BODY_A);
  std::string html = readStream(m, kBodyHtmlA);
  EXPECT_EQ(body.size(), expectedLatin.size());
  EXPECT_TRUE(body == expectedLatin);
  EXPECT_EQ(html.size(), utf8.size());
  EXPECT_TRUE(html == utf8);
}

TEST_F(MimeStoreTest, LongBodyIsStoredWhole) {
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += "Line " + std::to_string(i) + " of a long body.\n";
  std::string path = m_home + "/long.eml";
  std::ofstream(path) << "From: a@example.com\nSubject: long\nContent-Type: text/plain; charset=utf-8\n\n" << body;
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  ASSERT_TRUE(r.ok()) << r.error;
  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 1u);
  LPMESSAGE m = open(ids[0]);
  mapitest::setSizeLimit(64 * 1024);
  std::string stored = readStream(m, PR_BODY_A);
  mapitest::setSizeLimit(0);
  EXPECT_EQ(stored.size(), body.size());
  EXPECT_TRUE(stored == body);
}

// A failure at any step of writing a message leaves nothing in the folder
// and gives every object and buffer back.
TEST_F(MimeStoreTest, NeverHalfAMessage) {
  const char* methods[] = {"IMAPIFolder::CreateMessage", "IMessage::SetProps",     "IMessage::GetIDsFromNames",
                           "IMessage::ModifyRecipients", "IMessage::CreateAttach", "IAttach::SetProps",
                           "IAttach::OpenProperty",      "IStream::Write",         "IStream::Commit",
                           "IAttach::SaveChanges",       "IMessage::SaveChanges"};
  int failed = 0;
  for (const char* method : methods) {
    for (unsigned nth : {1u, 2u}) {
      mapitest::reset();
      mapitest::addFault(method, nth, MAPI_E_DISK_ERROR);
      mapimime::DeliveryResult r = m_delivery->deliverFile(examplePath("attached-message.eml"));
      mapitest::reset();
      if (r.ok()) {
        // The method ran fewer than nth times: nothing failed.
        continue;
      }
      EXPECT_EQ(r.failure, mapimime::DeliveryFailure::kStore) << method;
      EXPECT_EQ(r.hr, MAPI_E_DISK_ERROR) << method << " #" << nth << ": " << r.error;
      EXPECT_FALSE(r.error.empty());
      ++failed;
    }
  }
  // Every method runs at least once for this message.
  EXPECT_GE(failed, 11);
  // Named properties used up: delivered without the X- header properties.
  mapitest::addFault("IMessage::GetIDsFromNames", 1, MAPI_E_TOO_BIG);
  mapimime::DeliveryResult full = m_delivery->deliverFile(examplePath("attached-message.eml"));
  mapitest::reset();
  EXPECT_TRUE(full.ok()) << full.error;
  // Only the deliveries that met no fault are there, each whole.
  std::vector<std::string> ids = inbox();
  for (const auto& id : ids) {
    LPMESSAGE m = open(id);
    EXPECT_EQ(getString(m, PR_SUBJECT_A), "Fwd: Travel plans");
    std::vector<AttachmentRow> a = attachments(m);
    ASSERT_EQ(a.size(), 1u);
    LPMESSAGE inner = openEmbedded(m, a[0].num);
    ASSERT_TRUE(inner);
    EXPECT_EQ(attachments(inner).size(), 1u);
    EXPECT_EQ(recipients(inner).size(), 1u);
    inner->Release();
  }
  size_t before = ids.size();
  deliver("attached-message.eml");
  EXPECT_EQ(inbox().size(), before + 1);
}

TEST_F(MimeStoreTest, EmptyInputIsRefused) {
  std::string path = m_home + "/empty.eml";
  std::ofstream(path) << "";
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  EXPECT_EQ(r.failure, mapimime::DeliveryFailure::kNotAMessage);
  EXPECT_EQ(r.error, "the input is empty: it is not a message");
  r = m_delivery->deliverFile(m_home + "/no-such-file.eml");
  EXPECT_EQ(r.failure, mapimime::DeliveryFailure::kInput);
  EXPECT_NE(r.error.find("No such file"), std::string::npos);
  EXPECT_TRUE(inbox().empty());
}

// ---------------------------------------------------------------- batches

// The syncs of the store's write-ahead log since the last call.
size_t logSyncs() {
  size_t n = 0;
  for (const std::string& path : syncedfiles::take())
    if (path.size() > 4 && path.compare(path.size() - 4, 4, "-wal") == 0) ++n;
  return n;
}

std::vector<std::string> examples(size_t count) {
  const char* names[] = {"plain.eml", "attachments.eml", "ndr.eml", "html-inline-image.eml", "attached-message.eml"};
  std::vector<std::string> paths;
  for (size_t k = 0; k < count; ++k) paths.push_back(examplePath(names[k % 5]));
  return paths;
}

// Forty files are two batches: a sync of the log or two each (the first
// commit into an emptied log also syncs its header) where one by one there
// is one per file at least; every file is stored, once, in order.
TEST_F(MimeStoreTest, SeveralFilesAreStoredInBatchesOfOneSyncEach) {
  std::vector<std::string> paths = examples(40);
  logSyncs();
  std::vector<mapimime::DeliveryResult> results = m_delivery->deliverFiles(paths);
  ASSERT_EQ(results.size(), paths.size());
  for (size_t k = 0; k < results.size(); ++k) EXPECT_TRUE(results[k].ok()) << k << ": " << results[k].error;
  size_t batched = logSyncs();
  EXPECT_GE(batched, 2u);
  EXPECT_LE(batched, 4u);
  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 40u);
  LPSPropValue subject = nullptr;
  ASSERT_EQ(HrGetOneProp(open(ids[6]), PR_SUBJECT_A, &subject), S_OK);
  LPSPropValue second = nullptr;
  ASSERT_EQ(HrGetOneProp(open(ids[1]), PR_SUBJECT_A, &second), S_OK);
  EXPECT_STREQ(subject->Value.lpszA, second->Value.lpszA) << "the 7th file is the 2nd example again";
  MAPIFreeBuffer(subject);
  MAPIFreeBuffer(second);

  for (const std::string& path : examples(5)) ASSERT_TRUE(m_delivery->deliverFile(path).ok());
  EXPECT_GE(logSyncs(), 5u) << "one by one, one sync each at least";
}

// A file that is not a message, or cannot be read, changes nothing in the
// store: the batch goes on and commits the others.
TEST_F(MimeStoreTest, InputFailuresInsideABatchKeepTheBatch) {
  std::string empty = m_home + "/empty.eml";
  std::ofstream(empty) << "";
  std::vector<std::string> paths = {examplePath("plain.eml"), empty, m_home + "/missing.eml", examplePath("ndr.eml")};
  logSyncs();
  std::vector<mapimime::DeliveryResult> results = m_delivery->deliverFiles(paths);
  EXPECT_TRUE(results[0].ok());
  EXPECT_EQ(results[1].failure, mapimime::DeliveryFailure::kNotAMessage);
  EXPECT_EQ(results[2].failure, mapimime::DeliveryFailure::kInput);
  EXPECT_TRUE(results[3].ok());
  EXPECT_EQ(inbox().size(), 2u);
  size_t syncs = logSyncs();
  EXPECT_GE(syncs, 1u);
  EXPECT_LE(syncs, 2u) << "one batch";
}

// The store fails one file inside a batch: the batch is undone and every
// file is stored again on its own; a file the store fails again is the only
// one not stored, with the store's failure. Nothing is stored twice.
TEST_F(MimeStoreTest, ABatchTheStoreFailsIsStoredAgainFileByFile) {
  mapitest::addFault("IMessage::SaveChanges", 2, MAPI_E_BUSY);
  std::vector<mapimime::DeliveryResult> results = m_delivery->deliverFiles(examples(5));
  for (const auto& r : results) EXPECT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(inbox().size(), 5u);

  // The second file fails in the batch (call 2) and alone (call 4).
  mapitest::addFault("IMessage::SaveChanges", 2, MAPI_E_BUSY);
  mapitest::addFault("IMessage::SaveChanges", 4, MAPI_E_BUSY);
  results = m_delivery->deliverFiles(examples(5));
  EXPECT_TRUE(results[0].ok());
  EXPECT_EQ(results[1].failure, mapimime::DeliveryFailure::kStore);
  EXPECT_EQ(results[1].hr, MAPI_E_BUSY);
  for (size_t k = 2; k < 5; ++k) EXPECT_TRUE(results[k].ok()) << k << ": " << results[k].error;
  EXPECT_EQ(inbox().size(), 9u);
}

// A batch whose commit fails stores nothing; its files are stored again one
// by one.
TEST_F(MimeStoreTest, ABatchWhoseCommitFailsIsStoredAgainFileByFile) {
  mapitest::addFault("StoreDb::commit", 1, MAPI_E_NOT_ENOUGH_DISK);
  logSyncs();
  std::vector<mapimime::DeliveryResult> results = m_delivery->deliverFiles(examples(6));
  for (const auto& r : results) EXPECT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(inbox().size(), 6u);
  EXPECT_GE(logSyncs(), 6u) << "one commit per file after the failed one";
}

// Messages read ahead on other threads (parseFd) and stored as one group
// (storeParsed): one sync for the group; a message that is not mail keeps its
// answer and costs the others nothing; a group the store fails is stored again
// message by message, read again from the descriptors.
TEST_F(MimeStoreTest, MessagesReadAheadAreStoredAsOneGroup) {
  std::string empty = m_home + "/empty.eml";
  std::ofstream(empty) << "";
  std::vector<std::string> paths = examples(3);
  paths.insert(paths.begin() + 1, empty);
  using Parsed = mapimime::MailDelivery::Parsed;
  std::vector<std::unique_ptr<Parsed>> parsed;
  std::vector<Parsed*> group;
  std::vector<int> fds;
  auto readAhead = [&]() {
    parsed.clear();
    group.clear();
    fds.clear();
    std::vector<std::thread> readers;
    for (size_t k = 0; k < paths.size(); ++k) {
      parsed.emplace_back(new Parsed);
      group.push_back(parsed.back().get());
      fds.push_back(::open(paths[k].c_str(), O_RDONLY | O_CLOEXEC));
      readers.emplace_back(mapimime::MailDelivery::parseFd, fds[k], std::ref(*group[k]));
    }
    for (auto& t : readers) t.join();
  };
  readAhead();
  logSyncs();
  std::vector<mapimime::DeliveryResult> results = m_delivery->storeParsed(group);
  EXPECT_TRUE(results[0].ok() && results[2].ok() && results[3].ok());
  EXPECT_EQ(results[1].failure, mapimime::DeliveryFailure::kNotAMessage);
  EXPECT_EQ(inbox().size(), 3u);
  EXPECT_LE(logSyncs(), 2u) << "one transaction for the group";
  for (int fd : fds) ::close(fd);

  // The store fails the second message in the group (call 2) and alone (call 4).
  readAhead();
  mapitest::addFault("IMessage::SaveChanges", 2, MAPI_E_BUSY);
  mapitest::addFault("IMessage::SaveChanges", 4, MAPI_E_BUSY);
  results = m_delivery->storeParsed(group);
  EXPECT_TRUE(results[0].ok()) << results[0].error;
  EXPECT_EQ(results[1].failure, mapimime::DeliveryFailure::kNotAMessage);
  EXPECT_EQ(results[2].failure, mapimime::DeliveryFailure::kStore);
  EXPECT_EQ(results[2].hr, MAPI_E_BUSY);
  EXPECT_TRUE(results[3].ok()) << results[3].error;
  EXPECT_EQ(inbox().size(), 5u) << "nothing of the undone group stayed, nothing was stored twice";
  for (int fd : fds) ::close(fd);
}

TEST_F(MimeStoreTest, DeliveryIntoAFolderByPath) {
  std::string error;
  ASSERT_EQ(m_delivery->openFolder("Drafts", error), S_OK) << error;
  deliver("plain.eml");
  EXPECT_EQ(inbox().size(), 1u);  // the open folder is now Drafts
  EXPECT_EQ(m_delivery->openFolder("Top of Information Store/Inbox", error), MAPI_E_NOT_FOUND);
  ASSERT_EQ(m_delivery->openFolder("inbox", error), S_OK) << error;
  EXPECT_TRUE(inbox().empty());
}

namespace {

long peakResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

uint64_t fnv1a(uint64_t h, const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
  return h;
}

}  // namespace

// A 50 MiB attachment goes from the input file to the store in pieces: the
// process never holds it whole.
TEST_F(MimeStoreTest, LargeAttachmentIsStreamed) {
  const size_t kSize = 50u * 1024 * 1024;
  std::string path = m_home + "/large.eml";
  uint64_t hash = 1469598103934665603ULL;
  {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    fputs("From: a@example.com\nTo: alice@example.com\nSubject: large\nMIME-Version: 1.0\n"
          "Content-Type: multipart/mixed; boundary=\"L\"\n\n--L\nContent-Type: text/plain\n\nSee attached.\n"
          "--L\nContent-Type: application/octet-stream; name=\"big.bin\"\nContent-Transfer-Encoding: base64\n\n",
          f);
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t x = 12345;
    std::string chunk, line;
    for (size_t done = 0; done < kSize; done += 57) {
      unsigned char raw[57];
      for (unsigned char& b : raw) b = static_cast<unsigned char>((x = x * 1103515245 + 12345) >> 16);
      hash = fnv1a(hash, reinterpret_cast<const char*>(raw), std::min<size_t>(57, kSize - done));
      size_t n = std::min<size_t>(57, kSize - done);
      line.clear();
      for (size_t i = 0; i < n; i += 3) {
        uint32_t v = raw[i] << 16 | (i + 1 < n ? raw[i + 1] << 8 : 0) | (i + 2 < n ? raw[i + 2] : 0);
        line += kAlphabet[(v >> 18) & 63];
        line += kAlphabet[(v >> 12) & 63];
        line += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        line += i + 2 < n ? kAlphabet[v & 63] : '=';
      }
      line += '\n';
      fwrite(line.data(), 1, line.size(), f);
    }
    fputs("--L--\n", f);
    fclose(f);
  }
  long before = peakResidentKiB();
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  long after = peakResidentKiB();
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_LT(after - before, 40L * 1024) << "delivery grew the process by " << (after - before) << " KiB";

  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 1u);
  LPMESSAGE m = open(ids[0]);
  std::vector<AttachmentRow> a = attachments(m);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_GE(a[0].size, static_cast<LONG>(kSize));
  LPATTACH att = nullptr;
  ASSERT_EQ(m->OpenAttach(a[0].num, nullptr, 0, &att), S_OK);
  LPSTREAM stream = nullptr;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream)), S_OK);
  uint64_t got = 1469598103934665603ULL;
  size_t total = 0;
  std::vector<char> buf(1 << 20);
  ULONG n = 0;
  while (SUCCEEDED(stream->Read(buf.data(), static_cast<ULONG>(buf.size()), &n)) && n > 0) {
    got = fnv1a(got, buf.data(), n);
    total += n;
  }
  stream->Release();
  att->Release();
  EXPECT_EQ(total, kSize);
  EXPECT_EQ(got, hash);
}

// Damaged copies of the samples (bytes flipped, cut short, lines dropped or
// repeated, NULs and 8-bit bytes put in) are delivered as well as they can
// be read: never a crash, never a failure other than "not a message".
TEST_F(MimeStoreTest, DamagedSamplesAreStillDelivered) {
  const char* files[] = {"plain.eml", "html-inline-image.eml", "attachments.eml", "attached-message.eml", "ndr.eml",
                         "non-ascii-subjects.eml"};
  uint32_t x = 20260307;
  auto next = [&x](uint32_t n) {
    x = x * 1664525u + 1013904223u;
    return n ? (x >> 8) % n : 0;
  };
  size_t delivered = 0, refused = 0;
  std::string path = m_home + "/damaged.eml";
  for (int round = 0; round < 20; ++round) {
    for (const char* f : files) {
      std::string bytes = example(f);
      switch (round % 5) {
        case 0:  // flipped bytes
          for (int k = 0; k < 40; ++k) bytes[next(static_cast<uint32_t>(bytes.size()))] ^= static_cast<char>(1 + next(255));
          break;
        case 1:  // cut short
          bytes.resize(next(static_cast<uint32_t>(bytes.size())));
          break;
        case 2: {  // a stretch of lines dropped
          size_t a = next(static_cast<uint32_t>(bytes.size())), b = a + next(400);
          bytes.erase(a, b - a);
          break;
        }
        case 3: {  // a stretch repeated (boundaries twice, headers in the body)
          size_t a = next(static_cast<uint32_t>(bytes.size()));
          bytes.insert(next(static_cast<uint32_t>(bytes.size())), bytes.substr(a, 300));
          break;
        }
        case 4:  // NULs and 8-bit bytes
          for (int k = 0; k < 30; ++k)
            bytes.insert(next(static_cast<uint32_t>(bytes.size())), 1, k % 2 ? '\0' : static_cast<char>(0x80 + next(128)));
          break;
      }
      std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
      mapimime::DeliveryResult r = m_delivery->deliverFile(path);
      if (r.ok()) {
        ++delivered;
      } else {
        EXPECT_EQ(r.failure, mapimime::DeliveryFailure::kNotAMessage) << f << " round " << round << ": " << r.error;
        ++refused;
      }
    }
  }
  EXPECT_EQ(inbox().size(), delivered);
  EXPECT_GT(delivered, 100u);
}

// Running out of memory at any allocation of a delivery fails it cleanly:
// nothing stored, every buffer freed (checked when the test ends).
TEST_F(MimeStoreTest, OutOfMemoryAtAnyAllocation) {
  int failed = 0;
  for (const char* method : {"MAPIAllocateBuffer", "MAPIAllocateMore"}) {
    for (unsigned nth = 1; nth <= 60; ++nth) {
      mapitest::reset();
      mapitest::addFault(method, nth, MAPI_E_NOT_ENOUGH_MEMORY);
      mapimime::DeliveryResult r = m_delivery->deliverFile(examplePath("plain.eml"));
      mapitest::reset();
      if (r.ok()) continue;
      EXPECT_EQ(r.failure, mapimime::DeliveryFailure::kStore) << method << " #" << nth;
      ++failed;
    }
  }
  EXPECT_GT(failed, 10);
  // Whatever was stored is whole.
  for (const auto& id : inbox()) {
    LPMESSAGE m = open(id);
    EXPECT_EQ(getString(m, PR_SUBJECT_A), "Quarterly figures");
    EXPECT_EQ(recipients(m).size(), 3u);
  }
}

// What a delivery asks of the store: one save of the message (the embedded
// message's own save goes into its attachment), attachment data in pieces
// of 64 KiB however the decoder hands it out.
TEST_F(MimeStoreTest, CallsOfOneDelivery) {
  mapitest::startJournal();
  deliver("attachments.eml");
  mapitest::stopJournal();
  EXPECT_EQ(mapitest::journalCount("IMAPIFolder::CreateMessage"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMessage::SaveChanges"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMessage::CreateAttach"), 2u);
  EXPECT_EQ(mapitest::journalCount("IAttach::SaveChanges"), 2u);
  EXPECT_EQ(mapitest::journalCount("IMessage::ModifyRecipients"), 1u);
  std::vector<std::string> writes;
  for (const auto& line : mapitest::journal())
    if (line.rfind("IStream::Write", 0) == 0) writes.push_back(line.substr(line.find("cb=")));
  // report.csv (2,542 bytes) in one piece, data.bin (20,000 bytes) in one.
  EXPECT_EQ(writes, std::vector<std::string>({"cb=2542", "cb=20000"}));

  mapitest::clearJournal();
  mapitest::startJournal();
  deliver("attached-message.eml");
  mapitest::stopJournal();
  EXPECT_EQ(mapitest::journalCount("IMessage::SaveChanges"), 2u);  // the message and the embedded one
  EXPECT_EQ(mapitest::journalCount("IAttach::SaveChanges"), 2u);
  EXPECT_EQ(mapitest::journalCount("IAttach::OpenProperty"), 2u);

  std::string big;
  for (int i = 0; big.size() < 150000; ++i) big += "line " + std::to_string(i) + "\n";
  std::string path = m_home + "/pieces.eml";
  std::ofstream(path) << "From: a@example.com\nSubject: pieces\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
                         "boundary=b\n\n--b\nContent-Type: text/plain; name=big.txt\n"
                         "Content-Transfer-Encoding: quoted-printable\n\n"
                      << big << "\n--b--\n";
  mapitest::clearJournal();
  mapitest::startJournal();
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  mapitest::stopJournal();
  ASSERT_TRUE(r.ok()) << r.error;
  writes.clear();
  for (const auto& line : mapitest::journal())
    if (line.rfind("IStream::Write", 0) == 0) writes.push_back(line.substr(line.find("cb=")));
  EXPECT_EQ(writes, std::vector<std::string>({"cb=65536", "cb=65536", "cb=" + std::to_string(big.size() - 131072)}));
}

namespace {

// The PS_INTERNET_HEADERS property of an X- header: "" and mapped false when
// the store does not map the name; found says whether the message has it.
std::string headerProperty(LPMESSAGE m, const std::wstring& name, bool* mapped, bool* found = nullptr) {
  GUID guid = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  MAPINAMEID id;
  id.lpguid = &guid;
  id.ulKind = MNID_STRING;
  id.Kind.lpwstrName = const_cast<LPWSTR>(name.c_str());
  LPMAPINAMEID ids[] = {&id};
  LPSPropTagArray tags = nullptr;
  HRESULT hr = m->GetIDsFromNames(1, ids, 0, &tags);
  *mapped = SUCCEEDED(hr) && tags && PROP_TYPE(tags->aulPropTag[0]) != PT_ERROR;
  std::string value;
  if (*mapped) value = getString(m, CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_STRING8), found);
  MAPIFreeBuffer(tags);
  return value;
}

std::string madeUpHeaders(int message, int count) {
  std::string msg = "From: a@example.com\nTo: alice@example.com\nSubject: names " + std::to_string(message) + "\n";
  for (int k = 0; k < count; ++k)
    msg += "X-Made-Up-" + std::to_string(message) + "-" + std::to_string(k) + ": value " + std::to_string(k) + "\n";
  return msg + "\nbody\n";
}

}  // namespace

// Mail from outside with made-up X- header names cannot use up the store's
// 32,767 named-property ids: new names are mapped only while the store has
// used fewer than a limit (4,096; 512 here, so that the store's lookups of
// names stay quick); names it maps are always used; the rest stay in the
// transport headers. 600 messages of 64 names would need 38,400 ids.
TEST_F(MimeStoreTest, MadeUpHeaderNamesLeaveTheStoreRoomForNames) {
  EXPECT_EQ(mapimime::MapiWriter::headerNameIdLimit(), 4096u);
  setenv("TOLVANE_MAPI_HEADER_NAME_IDS", "512", 1);
  deliver("plain.eml");  // maps X-Priority and X-Mailer
  for (int i = 0; i < 600; ++i) {
    std::string text = madeUpHeaders(i, 64);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    mapimime::DeliveryResult r = m_delivery->deliverStream(stream);
    g_object_unref(stream);
    ASSERT_TRUE(r.ok()) << i << ": " << r.error;
  }
  deliver("plain.eml");
  unsetenv("TOLVANE_MAPI_HEADER_NAME_IDS");
  std::vector<std::string> ids = inbox();
  ASSERT_EQ(ids.size(), 602u);

  // A name nobody used before can still be mapped.
  LPMESSAGE first = open(ids[0]);
  GUID publicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  MAPINAMEID fresh;
  fresh.lpguid = &publicStrings;
  fresh.ulKind = MNID_STRING;
  fresh.Kind.lpwstrName = const_cast<LPWSTR>(L"Some client's own property");
  LPMAPINAMEID freshIds[] = {&fresh};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(first->GetIDsFromNames(1, freshIds, MAPI_CREATE, &tags), S_OK);
  EXPECT_NE(PROP_TYPE(tags->aulPropTag[0]), static_cast<ULONG>(PT_ERROR));
  EXPECT_EQ(PROP_ID(tags->aulPropTag[0]), 0x8000u + 512u);  // the limit reached exactly
  MAPIFreeBuffer(tags);

  bool mapped = false;
  // The first messages' names are properties.
  EXPECT_EQ(headerProperty(open(ids[1]), L"X-Made-Up-0-63", &mapped), "value 63");
  EXPECT_TRUE(mapped);
  // The last ones' are not, but their headers are kept.
  LPMESSAGE late = open(ids[600]);
  headerProperty(late, L"X-Made-Up-599-0", &mapped);
  EXPECT_FALSE(mapped);
  EXPECT_NE(getString(late, PR_TRANSPORT_MESSAGE_HEADERS_A).find("X-Made-Up-599-0: value 0\n"), std::string::npos);
  // A name the store maps is used however full it is.
  EXPECT_EQ(headerProperty(open(ids[601]), L"X-Mailer", &mapped), "Example Mail 4.2");
  EXPECT_TRUE(mapped);
}

TEST_F(MimeStoreTest, HeaderNameSettingAndProbeFailures) {
  // With no room for new names, none is made; the probe of the store's ids
  // happens only when a name is new.
  setenv("TOLVANE_MAPI_HEADER_NAME_IDS", "0", 1);
  mapitest::startJournal();
  deliver("plain.eml");
  mapitest::stopJournal();
  unsetenv("TOLVANE_MAPI_HEADER_NAME_IDS");
  EXPECT_EQ(mapitest::journalCount("IMessage::GetIDsFromNames"), 1u);
  bool mapped = true;
  LPMESSAGE m = open(inbox().back());
  headerProperty(m, L"X-Mailer", &mapped);
  EXPECT_FALSE(mapped);
  EXPECT_NE(getString(m, PR_TRANSPORT_MESSAGE_HEADERS_A).find("X-Mailer: Example Mail 4.2\n"), std::string::npos);

  // A store that cannot tell how many ids it used gets no new names, and the
  // message is delivered.
  mapitest::addFault("IMessage::GetNamesFromIDs", 1, MAPI_E_CALL_FAILED);
  deliver("plain.eml");
  mapitest::reset();
  headerProperty(open(inbox().back()), L"X-Mailer", &mapped);
  EXPECT_FALSE(mapped);

  // New names: one probe, one mapping of them.
  mapitest::clearJournal();
  mapitest::startJournal();
  deliver("plain.eml");
  mapitest::stopJournal();
  EXPECT_EQ(mapitest::journalCount("IMessage::GetNamesFromIDs"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMessage::GetIDsFromNames"), 2u);
  EXPECT_EQ(headerProperty(open(inbox().back()), L"X-Mailer", &mapped), "Example Mail 4.2");
  EXPECT_TRUE(mapped);
  // Known names: no probe.
  mapitest::clearJournal();
  mapitest::startJournal();
  deliver("plain.eml");
  mapitest::stopJournal();
  EXPECT_EQ(mapitest::journalCount("IMessage::GetNamesFromIDs"), 0u);
  EXPECT_EQ(mapitest::journalCount("IMessage::GetIDsFromNames"), 1u);

  // A failed mapping of the new names fails the delivery (nothing stored);
  // a store out of ids delivers without them.
  size_t before = inbox().size();
  std::string text = madeUpHeaders(1, 3);
  std::string path = m_home + "/made-up.eml";
  std::ofstream(path) << text;
  mapitest::addFault("IMessage::GetIDsFromNames", 2, MAPI_E_DISK_ERROR);
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  mapitest::reset();
  EXPECT_EQ(r.hr, MAPI_E_DISK_ERROR);
  EXPECT_EQ(inbox().size(), before);
  mapitest::addFault("IMessage::GetIDsFromNames", 2, MAPI_E_TOO_BIG);
  r = m_delivery->deliverFile(path);
  mapitest::reset();
  EXPECT_TRUE(r.ok()) << r.error;
  headerProperty(open(inbox().back()), L"X-Made-Up-1-0", &mapped);
  EXPECT_FALSE(mapped);
}

TEST_F(MimeStoreTest, AddressesWithoutDomainAreStoredBehindTheSmtpPrefix) {
  std::string path = m_home + "/nodomain.eml";
  std::ofstream(path) << "From: foo\nTo: XX, Boss </o=corp/ou=x/cn=Recipients/cn=boss>, b@example.com\nSubject: d\n\nbody\n";
  mapimime::DeliveryResult r = m_delivery->deliverFile(path);
  ASSERT_TRUE(r.ok()) << r.error;
  LPMESSAGE m = open(inbox().back());
  EXPECT_EQ(getString(m, PR_SENDER_EMAIL_ADDRESS_A), "SMTP:foo");
  EXPECT_EQ(getString(m, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A), "SMTP:foo");
  EXPECT_EQ(getString(m, PR_SENDER_NAME_A), "foo");
  std::vector<RecipientRow> rows = recipients(m);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].address, "SMTP:XX");
  EXPECT_EQ(rows[0].name, "XX");
  EXPECT_EQ(rows[1].address, "SMTP:/o=corp/ou=x/cn=Recipients/cn=boss");
  EXPECT_EQ(rows[1].addrType, "SMTP");
  EXPECT_EQ(rows[2].address, "b@example.com");
}
