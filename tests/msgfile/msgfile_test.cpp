// IMessage on IStorage: messages built through the public interface the way
// IMAPIProp::CopyTo fills a copy, saved the way the library exports a message
// (StgCreateDocfile, OpenIMsgSession, OpenIMsgOnIStg, WriteClassStg,
// SaveChanges, IStorage::Commit), and read back by an independent reader.
#include "msgfile/storage.h"
#include "testsupport.h"

#include <imessage.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using msgtest::json;
using msgtest::TempDir;

namespace {

const ULONG PR_BODY_HTML_A = 0x1013001E;
const ULONG PR_MESSAGE_CODEPAGE = 0x3FFD0003;
const DWORD kExportMode = STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE;  // 0x11002
const GUID kTestSet = {0x1a2b3c4d, 0x1111, 0x2222, {0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97}};
const GUID kPublicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// "Grüße aus Köln – 3 €" and other non-ASCII text.
const char kSubject[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln \xE2\x80\x93 3 \xE2\x82\xAC";
const char kInnerSubject[] = "Inner \xE2\x9C\x93 message";
const char kHtml[] = "<html><body><p>Hallo <b>Welt</b> \xE2\x82\xAC</p></body></html>";
const char kBody[] = "Hallo Welt \xE2\x82\xAC";

// Deterministic attachment bytes.
struct Bytes {
  uint64_t state;
  explicit Bytes(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  void fill(std::string& buf) {
    for (char& c : buf) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      c = static_cast<char>(state >> 24);
    }
  }
};

SPropValue str8(ULONG tag, const char* s) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(s);
  return v;
}
SPropValue lng(ULONG tag, LONG l) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.l = l;
  return v;
}
SPropValue bin(ULONG tag, const std::string& b) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.bin.cb = static_cast<ULONG>(b.size());
  v.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(b.data()));
  return v;
}

void setProps(IMAPIProp* obj, std::vector<SPropValue> values) {
  LPSPropProblemArray problems = nullptr;
  ASSERT_EQ(obj->SetProps(static_cast<ULONG>(values.size()), values.data(), &problems), S_OK);
  EXPECT_EQ(problems, nullptr);
  if (problems) MAPIFreeBuffer(problems);
}

// The calls of the library's export, with room to fill the message between
// OpenIMsgOnIStg and SaveChanges.
struct Export {
  IStorage* stg = nullptr;
  LPMSGSESS session = nullptr;
  LPMESSAGE msg = nullptr;

  HRESULT open(const std::string& path, DWORD mode = kExportMode) {
    std::wstring w = msgtest::wide(path);
    HRESULT hr = StgCreateDocfile(w.c_str(), mode, 0, &stg);
    if (FAILED(hr)) return hr;
    hr = OpenIMsgSession(MAPIGetDefaultMalloc(), 0, &session);
    if (FAILED(hr)) return hr;
    hr = OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                        stg, nullptr, 0, 0, &msg);
    if (FAILED(hr)) return hr;
    return WriteClassStg(stg, IID_IMessage);
  }
  // SaveChanges' result is not looked at, as in the export; the commit's is.
  HRESULT finish() {
    msg->SaveChanges(KEEP_OPEN_READWRITE);
    return stg->Commit(STGC_DEFAULT);
  }
  ~Export() {
    if (msg) msg->Release();
    if (session) CloseIMsgSession(session);
    if (stg) stg->Release();
  }
};

void addRecipient(IMessage* msg, const char* name, const char* address, LONG type) {
  SizedADRLIST(1, list);
  list.cEntries = 1;
  LPSPropValue vals = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(4 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&vals)), S_OK);
  vals[0] = str8(PR_DISPLAY_NAME_A, name);
  vals[1] = str8(PR_EMAIL_ADDRESS_A, address);
  vals[2] = str8(PR_ADDRTYPE_A, "SMTP");
  vals[3] = lng(PR_RECIPIENT_TYPE, type);
  list.aEntries[0].cValues = 4;
  list.aEntries[0].rgPropVals = vals;
  EXPECT_EQ(msg->ModifyRecipients(MODRECIP_ADD, reinterpret_cast<LPADRLIST>(&list)), S_OK);
  MAPIFreeBuffer(vals);
}

// A by-value attachment whose data is written through a stream in pieces;
// returns the data's SHA-256.
std::string addStreamedAttachment(IMessage* msg, const char* name, size_t size, size_t piece, uint64_t seed) {
  ULONG num = 0;
  LPATTACH att = nullptr;
  EXPECT_EQ(msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
  if (!att) return "";
  setProps(att, {lng(PR_ATTACH_METHOD, ATTACH_BY_VALUE), str8(PR_ATTACH_LONG_FILENAME_A, name),
                 str8(PR_ATTACH_FILENAME_A, name), str8(PR_DISPLAY_NAME_A, name)});
  LPSTREAM stm = nullptr;
  EXPECT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                              reinterpret_cast<LPUNKNOWN*>(&stm)),
            S_OK);
  msgtest::Sha256 sha;
  if (stm) {
    Bytes gen(seed);
    std::string buf(piece, '\0');
    for (size_t done = 0; done < size; done += piece) {
      size_t n = std::min(piece, size - done);
      buf.resize(n);
      gen.fill(buf);
      sha.update(buf.data(), n);
      ULONG written = 0;
      EXPECT_EQ(stm->Write(buf.data(), static_cast<ULONG>(n), &written), S_OK);
      EXPECT_EQ(written, n);
    }
    EXPECT_EQ(stm->Commit(STGC_DEFAULT), S_OK);
    stm->Release();
  }
  EXPECT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  att->Release();
  return sha.hex();
}

std::string sha256Of(const std::string& s) {
  msgtest::Sha256 sha;
  sha.update(s.data(), s.size());
  return sha.hex();
}

// An attachment holding a message that has an attachment of its own.
void addEmbeddedMessage(IMessage* msg, const std::string& innerData) {
  ULONG num = 0;
  LPATTACH att = nullptr;
  ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
  setProps(att, {lng(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), str8(PR_DISPLAY_NAME_A, kInnerSubject)});
  LPMESSAGE inner = nullptr;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                              reinterpret_cast<LPUNKNOWN*>(&inner)),
            S_OK);
  setProps(inner, {str8(PR_SUBJECT_A, kInnerSubject), str8(PR_MESSAGE_CLASS_A, "IPM.Note"),
                   str8(PR_SENDER_NAME_A, "Inner Sender"), str8(PR_BODY_A, "inner body")});
  ULONG innerNum = 0;
  LPATTACH innerAtt = nullptr;
  ASSERT_EQ(inner->CreateAttach(nullptr, 0, &innerNum, &innerAtt), S_OK);
  setProps(innerAtt, {lng(PR_ATTACH_METHOD, ATTACH_BY_VALUE), str8(PR_ATTACH_LONG_FILENAME_A, "inner.txt"),
                      bin(PR_ATTACH_DATA_BIN, innerData)});
  EXPECT_EQ(innerAtt->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  innerAtt->Release();
  EXPECT_EQ(inner->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  inner->Release();
  EXPECT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  att->Release();
}

class MsgFileTest : public msgtest::LiveCountsTest {};

// The message of the round-trip tests: every kind of content.
void fillFullMessage(IMessage* msg, std::string& bigSha, const std::string& innerData) {
  setProps(msg, {str8(PR_SUBJECT_A, kSubject), str8(PR_MESSAGE_CLASS_A, "IPM.Note"),
                 str8(PR_SENDER_NAME_A, "Anna Sender"), str8(PR_SENDER_EMAIL_ADDRESS_A, "anna@example.org"),
                 str8(PR_SENDER_ADDRTYPE_A, "SMTP"), str8(PR_BODY_HTML_A, kHtml), str8(PR_BODY_A, kBody)});
  addRecipient(msg, "Bert Empf\xC3\xA4nger", "bert@example.org", MAPI_TO);
  addRecipient(msg, "Carla Copy", "carla@example.org", MAPI_CC);
  bigSha = addStreamedAttachment(msg, "data.bin", 3 * 1024 * 1024 + 17, 64 * 1024, 1);
  addEmbeddedMessage(msg, innerData);

  // A named property, created by name.
  MAPINAMEID name{};
  name.lpguid = const_cast<LPGUID>(&kPublicStrings);
  name.ulKind = MNID_STRING;
  std::wstring wname = L"X-Tolvane-Check";
  name.Kind.lpwstrName = &wname[0];
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(msg->GetIDsFromNames(1, names, MAPI_CREATE, &tags), S_OK);
  ASSERT_EQ(tags->cValues, 1u);
  ULONG namedTag = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_STRING8);
  EXPECT_GE(PROP_ID(namedTag), 0x8000u);
  MAPIFreeBuffer(tags);
  setProps(msg, {str8(namedTag, "named value")});
  // And one by number, in a property set of its own.
  MAPINAMEID lid{};
  lid.lpguid = const_cast<LPGUID>(&kTestSet);
  lid.ulKind = MNID_ID;
  lid.Kind.lID = 0x8233;
  LPMAPINAMEID lids[] = {&lid};
  ASSERT_EQ(msg->GetIDsFromNames(1, lids, MAPI_CREATE, &tags), S_OK);
  ULONG lidTag = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_LONG);
  EXPECT_NE(PROP_ID(lidTag), PROP_ID(namedTag));
  MAPIFreeBuffer(tags);
  setProps(msg, {lng(lidTag, 4711)});
}

void checkFullMessage(const msgtest::ReaderResult& r, const std::string& bigSha, const std::string& innerData,
                      bool withBody) {
  ASSERT_EQ(r.get("error"), "<absent>");
  EXPECT_EQ(r.get("subject"), json(kSubject));
  EXPECT_EQ(r.get("senderName"), json("Anna Sender"));
  EXPECT_EQ(r.get("senderEmail"), json("anna@example.org"));
  EXPECT_EQ(r.get("html"), json(kHtml));
  EXPECT_EQ(r.get("body"), withBody ? json(kBody) : "null");
  EXPECT_EQ(r.get("messageCodepage"), "65001");
  EXPECT_EQ(r.get("internetCodepage"), "65001");
  EXPECT_EQ(r.get("recipients.length"), "2");
  EXPECT_EQ(r.get("recipients.0.name"), json("Bert Empf\xC3\xA4nger"));
  EXPECT_EQ(r.get("recipients.0.email"), json("bert@example.org"));
  EXPECT_EQ(r.get("recipients.0.recipType"), json("to"));
  EXPECT_EQ(r.get("recipients.1.name"), json("Carla Copy"));
  EXPECT_EQ(r.get("recipients.1.recipType"), json("cc"));
  EXPECT_EQ(r.get("attachments.length"), "2");
  EXPECT_EQ(r.get("attachments.0.fileName"), json("data.bin"));
  EXPECT_EQ(r.get("attachments.0.size"), std::to_string(3 * 1024 * 1024 + 17));
  EXPECT_EQ(r.get("attachments.0.sha256"), json(bigSha));
  EXPECT_EQ(r.get("attachments.1.embedded.subject"), json(kInnerSubject));
  EXPECT_EQ(r.get("attachments.1.embedded.senderName"), json("Inner Sender"));
  EXPECT_EQ(r.get("attachments.1.embedded.attachments.length"), "1");
  EXPECT_EQ(r.get("attachments.1.embedded.attachments.0.fileName"), json("inner.txt"));
  EXPECT_EQ(r.get("attachments.1.embedded.attachments.0.size"), std::to_string(innerData.size()));
  EXPECT_EQ(r.get("attachments.1.embedded.attachments.0.sha256"), json(sha256Of(innerData)));
  // Strings as Unicode, the HTML body as binary PR_HTML, as Outlook writes them.
  EXPECT_TRUE(r.hasTag("", "0037001f"));
  EXPECT_TRUE(r.hasTag("", "10130102"));
  EXPECT_FALSE(r.hasTag("", "0037001e"));
  EXPECT_FALSE(r.hasTag("", "1013001e"));
  EXPECT_TRUE(r.hasTag("", "340d0003"));
  // The named property, found through the name map.
  bool found = false;
  for (const auto& kv : r.values) {
    if (kv.first.rfind("named.", 0) == 0 && kv.second == json("X-Tolvane-Check")) {
      std::string base = kv.first.substr(0, kv.first.rfind('.'));
      EXPECT_EQ(r.get(base + ".value"), json("named value"));
      found = true;
    }
  }
  EXPECT_TRUE(found) << "the named property is not in the reader's output";
  found = false;
  for (const auto& kv : r.values) {
    if (kv.first.rfind("named.", 0) == 0 && kv.second == json("00008233")) {
      std::string base = kv.first.substr(0, kv.first.rfind('.'));
      EXPECT_EQ(r.get(base + ".set"), json("1a2b3c4d-1111-2222-9091-929394959697"));
      found = true;
    }
  }
  EXPECT_TRUE(found) << "the numeric named property is not in the reader's output";
}

TEST_F(MsgFileTest, IndependentReaderReadsWhatWasWritten) {
  TempDir dir;
  std::string path = dir.file("full.msg");
  std::string bigSha, innerData = "inner attachment text";
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    fillFullMessage(ex.msg, bigSha, innerData);
    EXPECT_EQ(ex.finish(), S_OK);
  }
  EXPECT_EQ(dir.listing(), "full.msg");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  checkFullMessage(r, bigSha, innerData, true);
}

// CopyTo from one message file into another, leaving out what the export
// leaves out.
TEST_F(MsgFileTest, CopyToAnotherMessage) {
  TempDir dir;
  std::string path = dir.file("copy.msg");
  std::string bigSha, innerData = "inner attachment text";
  mapitest::setSizeLimit(64 * 1024);
  {
    Export src;
    ASSERT_EQ(src.open(dir.file("source.msg")), S_OK);
    fillFullMessage(src.msg, bigSha, innerData);
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    SizedSPropTagArray(7, excluded) = {7,
                                       {PR_ACCESS, PR_BODY_A, PR_RTF_SYNC_BODY_COUNT, PR_RTF_SYNC_BODY_CRC,
                                        PR_RTF_SYNC_BODY_TAG_A, PR_RTF_SYNC_PREFIX_COUNT, PR_RTF_SYNC_TRAILING_COUNT}};
    EXPECT_EQ(src.msg->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&excluded), 0, nullptr, &IID_IMessage,
                              ex.msg, 0, nullptr),
              S_OK);
    EXPECT_EQ(ex.finish(), S_OK);
  }
  EXPECT_EQ(dir.listing(), "copy.msg source.msg");
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  checkFullMessage(r, bigSha, innerData, false);
}

TEST_F(MsgFileTest, NoPlainBodyWhenTheSourceHasNone) {
  TempDir dir;
  std::string path = dir.file("nobody.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "only html"), str8(PR_BODY_HTML_A, kHtml)});
    EXPECT_EQ(ex.finish(), S_OK);
  }
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  ASSERT_EQ(r.get("error"), "<absent>");
  EXPECT_EQ(r.get("body"), "null");
  EXPECT_FALSE(r.hasTag("", "1000001f"));
  EXPECT_FALSE(r.hasTag("", "1000001e"));
  EXPECT_EQ(r.get("html"), json(kHtml));
  EXPECT_TRUE(r.hasTag("", "3ffd0003"));
  EXPECT_EQ(r.get("messageCodepage"), "65001");
}

TEST_F(MsgFileTest, CodepageGivenBySourceIsKept) {
  TempDir dir;
  std::string path = dir.file("cp.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "cp"), lng(PR_MESSAGE_CODEPAGE, 1252)});
    EXPECT_EQ(ex.finish(), S_OK);
  }
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  EXPECT_EQ(r.get("messageCodepage"), "1252");
  EXPECT_EQ(r.get("internetCodepage"), "65001");
}

TEST_F(MsgFileTest, ReadsBackThroughTheInterface) {
  TempDir dir;
  Export ex;
  ASSERT_EQ(ex.open(dir.file("back.msg")), S_OK);
  setProps(ex.msg, {str8(PR_SUBJECT_A, kSubject), lng(PR_IMPORTANCE, 2)});
  addRecipient(ex.msg, "Bert", "bert@example.org", MAPI_TO);
  mapitest::setSizeLimit(1024);
  addStreamedAttachment(ex.msg, "a.bin", 5000, 1000, 7);

  SizedSPropTagArray(3, want) = {3, {PR_SUBJECT_W, PR_IMPORTANCE, PR_BODY_A}};
  ULONG count = 0;
  LPSPropValue vals = nullptr;
  EXPECT_EQ(ex.msg->GetProps(reinterpret_cast<LPSPropTagArray>(&want), 0, &count, &vals), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(vals[0].ulPropTag, PR_SUBJECT_W);
  EXPECT_EQ(std::wstring(vals[0].Value.lpszW), msgtest::wide(kSubject));
  EXPECT_EQ(vals[1].Value.l, 2);
  EXPECT_EQ(vals[2].ulPropTag, CHANGE_PROP_TYPE(PR_BODY_A, PT_ERROR));
  EXPECT_EQ(vals[2].Value.err, MAPI_E_NOT_FOUND);
  MAPIFreeBuffer(vals);

  LPSPropTagArray list = nullptr;
  ASSERT_EQ(ex.msg->GetPropList(0, &list), S_OK);
  EXPECT_EQ(list->cValues, 2u);
  MAPIFreeBuffer(list);

  LPMAPITABLE table = nullptr;
  ASSERT_EQ(ex.msg->GetRecipientTable(0, &table), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
  EXPECT_EQ(rows->cRows, 1u);
  FreeProws(rows);
  table->Release();

  ASSERT_EQ(ex.msg->GetAttachmentTable(0, &table), S_OK);
  ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
  EXPECT_EQ(rows->cRows, 1u);
  FreeProws(rows);
  table->Release();

  // Data above the single-read limit is read through a stream.
  LPATTACH att = nullptr;
  ASSERT_EQ(ex.msg->OpenAttach(0, nullptr, MAPI_BEST_ACCESS, &att), S_OK);
  SizedSPropTagArray(1, data) = {1, {PR_ATTACH_DATA_BIN}};
  ASSERT_EQ(att->GetProps(reinterpret_cast<LPSPropTagArray>(&data), 0, &count, &vals), MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(vals[0].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
  MAPIFreeBuffer(vals);
  LPSTREAM stm = nullptr;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stm)), S_OK);
  std::string got(6000, '\0');
  ULONG read = 0;
  EXPECT_EQ(stm->Read(&got[0], 6000, &read), S_OK);
  EXPECT_EQ(read, 5000u);
  stm->Release();
  att->Release();

  // Names map to the same id every time.
  MAPINAMEID name{};
  name.lpguid = const_cast<LPGUID>(&kTestSet);
  name.ulKind = MNID_ID;
  name.Kind.lID = 0x8233;
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray t1 = nullptr, t2 = nullptr, t3 = nullptr;
  EXPECT_EQ(ex.msg->GetIDsFromNames(1, names, 0, &t1), MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(PROP_TYPE(t1->aulPropTag[0]), PT_ERROR);
  ASSERT_EQ(ex.msg->GetIDsFromNames(1, names, MAPI_CREATE, &t2), S_OK);
  ASSERT_EQ(ex.msg->GetIDsFromNames(1, names, 0, &t3), S_OK);
  EXPECT_EQ(t2->aulPropTag[0], t3->aulPropTag[0]);
  ULONG cNames = 0;
  LPMAPINAMEID* back = nullptr;
  ASSERT_EQ(ex.msg->GetNamesFromIDs(&t3, nullptr, 0, &cNames, &back), S_OK);
  ASSERT_EQ(cNames, 1u);
  EXPECT_EQ(back[0]->Kind.lID, 0x8233);
  EXPECT_TRUE(IsEqualGUID(*back[0]->lpguid, kTestSet));
  MAPIFreeBuffer(back);
  MAPIFreeBuffer(t1);
  MAPIFreeBuffer(t2);
  MAPIFreeBuffer(t3);
}

TEST_F(MsgFileTest, StgCreateDocfileFaultSurfaces) {
  TempDir dir;
  mapitest::addFault("StgCreateDocfile", 1, STG_E_ACCESSDENIED);
  IStorage* stg = reinterpret_cast<IStorage*>(1);
  std::wstring w = msgtest::wide(dir.file("x.msg"));
  EXPECT_EQ(StgCreateDocfile(w.c_str(), kExportMode, 0, &stg), STG_E_ACCESSDENIED);
  EXPECT_EQ(stg, nullptr);
  EXPECT_EQ(dir.listing(), "");
}

TEST_F(MsgFileTest, CommitFaultSurfacesAndLeavesNoFileClaimedAsGood) {
  TempDir dir;
  std::string path = dir.file("fault.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "never written")});
    mapitest::addStickyFault("IStorage::Commit", 1, STG_E_MEDIUMFULL);
    EXPECT_EQ(ex.finish(), STG_E_MEDIUMFULL);
    mapitest::clearFaults();
  }
  // The name stays as StgCreateDocfile made it (empty), with no temporary
  // file beside it.
  EXPECT_EQ(dir.listing(), "fault.msg");
  EXPECT_EQ(msgtest::fileSize(path), 0);
}

TEST_F(MsgFileTest, SaveChangesCommitsUnlessAskedNotTo) {
  TempDir dir;
  for (ULONG flags : {0u, static_cast<ULONG>(IMSG_NO_ISTG_COMMIT)}) {
    std::string path = dir.file(flags ? "nocommit.msg" : "commit.msg");
    IStorage* stg = nullptr;
    std::wstring w = msgtest::wide(path);
    ASSERT_EQ(StgCreateDocfile(w.c_str(), kExportMode, 0, &stg), S_OK);
    LPMSGSESS session = nullptr;
    ASSERT_EQ(OpenIMsgSession(MAPIGetDefaultMalloc(), 0, &session), S_OK);
    LPMESSAGE msg = nullptr;
    ASSERT_EQ(OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                             nullptr, stg, nullptr, 0, flags, &msg),
              S_OK);
    setProps(msg, {str8(PR_SUBJECT_A, "s")});
    EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    if (flags)
      EXPECT_EQ(msgtest::fileSize(path), 0);
    else
      EXPECT_GT(msgtest::fileSize(path), 0);
    // A message released before its session is closed, and the other way round.
    if (flags) {
      msg->Release();
      CloseIMsgSession(session);
    } else {
      CloseIMsgSession(session);
      msg->Release();
    }
    stg->Release();
  }
  EXPECT_EQ(dir.listing(), "commit.msg nocommit.msg");
}

TEST_F(MsgFileTest, UnwritableDirectoryFailsCleanly) {
  TempDir dir;
  IStorage* stg = nullptr;
  std::wstring missing = msgtest::wide(dir.file("no/such/dir/x.msg"));
  EXPECT_EQ(StgCreateDocfile(missing.c_str(), kExportMode, 0, &stg), STG_E_PATHNOTFOUND);
  EXPECT_EQ(stg, nullptr);
  // A file where a folder should be.
  FILE* f = fopen(dir.file("plain").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  std::wstring underFile = msgtest::wide(dir.file("plain/x.msg"));
  EXPECT_EQ(StgCreateDocfile(underFile.c_str(), kExportMode, 0, &stg), STG_E_PATHNOTFOUND);
  EXPECT_EQ(stg, nullptr);
  if (geteuid() != 0) {  // root writes into any folder
    std::string ro = dir.file("ro");
    ASSERT_EQ(mkdir(ro.c_str(), 0500), 0);
    std::wstring inRo = msgtest::wide(ro + "/x.msg");
    EXPECT_EQ(StgCreateDocfile(inRo.c_str(), kExportMode, 0, &stg), STG_E_ACCESSDENIED);
    EXPECT_EQ(stg, nullptr);
  }
  // A read-only file system refuses even root.
  std::wstring proc = msgtest::wide("/proc/tolvane-msgfile-test.msg");
  HRESULT hr = StgCreateDocfile(proc.c_str(), kExportMode, 0, &stg);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(stg, nullptr);
  EXPECT_EQ(dir.listing(), "plain");
}

TEST_F(MsgFileTest, ExistingFileNeedsCreateFlag) {
  TempDir dir;
  std::string path = dir.file("exists.msg");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("old", f);
  fclose(f);
  IStorage* stg = nullptr;
  std::wstring w = msgtest::wide(path);
  EXPECT_EQ(StgCreateDocfile(w.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stg), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(stg, nullptr);
  EXPECT_EQ(msgtest::fileSize(path), 3);
  // The export's mode replaces it.
  ASSERT_EQ(StgCreateDocfile(w.c_str(), STGM_TRANSACTED | STGM_CREATE | STGM_SHARE_DENY_NONE | STGM_READWRITE, 0, &stg),
            S_OK);
  EXPECT_EQ(WriteClassStg(stg, IID_IMessage), S_OK);
  CLSID clsid{};
  EXPECT_EQ(ReadClassStg(stg, &clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, IID_IMessage));
  EXPECT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(stg->Commit(STGC_DEFAULT), S_OK);  // nothing more to write
  IStream* stm = nullptr;
  EXPECT_TRUE(FAILED(stg->CreateStream(L"late", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stm)));
  stg->Release();
  EXPECT_GE(msgtest::fileSize(path), 512);
  EXPECT_EQ(dir.listing(), "exists.msg");
}

TEST_F(MsgFileTest, ReleaseWithoutCommitKeepsTheEmptyFile) {
  TempDir dir;
  std::string path = dir.file("dropped.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "dropped")});
    addStreamedAttachment(ex.msg, "a.bin", 2 * 1024 * 1024, 256 * 1024, 3);
  }
  EXPECT_EQ(dir.listing(), "dropped.msg");
  EXPECT_EQ(msgtest::fileSize(path), 0);
}

// Bodies larger than the single-read limit arrive through streams, in pieces
// that cut multi-byte characters apart.
TEST_F(MsgFileTest, StreamedBodiesAreConvertedWhole) {
  TempDir dir;
  std::string path = dir.file("streamed.msg");
  std::string body, html = "<html><body>";
  for (int k = 0; body.size() < 300 * 1024; ++k)
    body += "Zeile " + std::to_string(k) +
            ": Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC \xF0\x9D\x84\x9E\r\n";
  for (int k = 0; html.size() < 200 * 1024; ++k) html += "<p>\xC3\xA4\xC3\xB6\xC3\xBC " + std::to_string(k) + "</p>";
  html += "</body></html>";
  mapitest::setSizeLimit(4096);
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "streamed")});
    for (auto item : {std::make_pair(PR_BODY_A, &body), std::make_pair(PR_BODY_HTML_A, &html)}) {
      LPSTREAM stm = nullptr;
      ASSERT_EQ(ex.msg->OpenProperty(item.first, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                     reinterpret_cast<LPUNKNOWN*>(&stm)),
                S_OK);
      const std::string& text = *item.second;
      for (size_t off = 0; off < text.size(); off += 4093) {
        ULONG n = static_cast<ULONG>(std::min<size_t>(4093, text.size() - off));
        ASSERT_EQ(stm->Write(text.data() + off, n, nullptr), S_OK);
      }
      ASSERT_EQ(stm->Write("", 1, nullptr), S_OK);  // a terminator, as 8-bit streams may carry
      stm->Release();
    }
    // Too big for GetProps now; OpenProperty reads it.
    SizedSPropTagArray(1, want) = {1, {PR_BODY_A}};
    ULONG count = 0;
    LPSPropValue vals = nullptr;
    EXPECT_EQ(ex.msg->GetProps(reinterpret_cast<LPSPropTagArray>(&want), 0, &count, &vals), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(vals[0].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    MAPIFreeBuffer(vals);
    EXPECT_EQ(ex.finish(), S_OK);
  }
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  ASSERT_EQ(r.get("error"), "<absent>");
  EXPECT_TRUE(r.get("body") == json(body)) << "the body differs";
  EXPECT_TRUE(r.get("html") == json(html)) << "the HTML body differs";
}

TEST_F(MsgFileTest, ValuesOfOtherTypes) {
  TempDir dir;
  std::string path = dir.file("types.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    std::wstring sender = msgtest::wide(
        "J\xC3\xBCrgen W\xC3\xA9"
        "de");
    SPropValue w{};
    w.ulPropTag = PR_SENDER_NAME_W;
    w.Value.lpszW = &sender[0];
    SPropValue when{};
    when.ulPropTag = PR_CLIENT_SUBMIT_TIME;
    when.Value.ft.dwLowDateTime = 0x0C358000;  // 2021-01-01T00:00:00Z
    when.Value.ft.dwHighDateTime = 0x01D6DFD1;
    char k1[] = "eins", k2[] = "zw\xC3\xB6lf";
    LPSTR keywords[] = {k1, k2};
    SPropValue mv{};
    mv.ulPropTag = PROP_TAG(PT_MV_STRING8, 0x6650);
    mv.Value.MVszA.cValues = 2;
    mv.Value.MVszA.lppszA = keywords;
    LONG longs[] = {1, 2, 3};
    SPropValue mvl{};
    mvl.ulPropTag = PROP_TAG(PT_MV_LONG, 0x6651);
    mvl.Value.MVl.cValues = 3;
    mvl.Value.MVl.lpl = longs;
    SPropValue flag{};
    flag.ulPropTag = PR_READ_RECEIPT_REQUESTED;
    flag.Value.b = 1;
    std::wstring htmlW = msgtest::wide(kHtml);
    SPropValue html{};
    html.ulPropTag = 0x1013001F;  // PR_BODY_HTML_W
    html.Value.lpszW = &htmlW[0];
    setProps(ex.msg, {str8(PR_SUBJECT_A, "types"), w, when, mv, mvl, flag, html});
    EXPECT_EQ(ex.finish(), S_OK);
  }
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  ASSERT_EQ(r.get("error"), "<absent>");
  EXPECT_EQ(r.get("senderName"), json("J\xC3\xBCrgen W\xC3\xA9"
                                      "de"));
  EXPECT_EQ(r.get("clientSubmitTime"), json("Fri, 01 Jan 2021 00:00:00 GMT"));
  EXPECT_TRUE(r.hasTag("", "6650101f"));
  EXPECT_TRUE(r.hasTag("", "66511003"));
  EXPECT_TRUE(r.hasTag("", "0029000b"));
  EXPECT_EQ(r.get("html"), json(kHtml));
  EXPECT_TRUE(r.hasTag("", "10130102"));
}

TEST_F(MsgFileTest, OnlySavedAttachmentsAndListedRecipientsAreWritten) {
  TempDir dir;
  std::string path = dir.file("edit.msg");
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "edit")});
    addRecipient(ex.msg, "Gone", "gone@example.org", MAPI_TO);
    addRecipient(ex.msg, "Stays", "stays@example.org", MAPI_TO);
    // Remove the first by its row id.
    SPropValue rowid = lng(PR_ROWID, 0);
    SizedADRLIST(1, list);
    list.cEntries = 1;
    list.aEntries[0].cValues = 1;
    list.aEntries[0].rgPropVals = &rowid;
    EXPECT_EQ(ex.msg->ModifyRecipients(MODRECIP_REMOVE, reinterpret_cast<LPADRLIST>(&list)), S_OK);
    // An attachment released without SaveChanges is dropped; a deleted one too.
    ULONG num = 0;
    LPATTACH att = nullptr;
    ASSERT_EQ(ex.msg->CreateAttach(nullptr, 0, &num, &att), S_OK);
    setProps(att, {str8(PR_ATTACH_LONG_FILENAME_A, "unsaved.txt"), bin(PR_ATTACH_DATA_BIN, "x")});
    att->Release();
    addStreamedAttachment(ex.msg, "deleted.bin", 10, 10, 1);
    std::string keepSha = addStreamedAttachment(ex.msg, "kept.bin", 100, 7, 2);
    EXPECT_EQ(ex.msg->DeleteAttach(1, 0, nullptr, 0), S_OK);
    EXPECT_EQ(ex.msg->DeleteAttach(1, 0, nullptr, 0), MAPI_E_NOT_FOUND);
    EXPECT_EQ(ex.finish(), S_OK);
  }
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  EXPECT_EQ(r.get("recipients.length"), "1");
  EXPECT_EQ(r.get("recipients.0.name"), json("Stays"));
  EXPECT_EQ(r.get("attachments.length"), "1");
  EXPECT_EQ(r.get("attachments.0.fileName"), json("kept.bin"));
}

ULONG g_releaseCalls = 0;
ULONG g_releaseData = 0;
void WINAPI onRelease(ULONG callerData, LPMESSAGE) {
  ++g_releaseCalls;
  g_releaseData = callerData;
}

TEST_F(MsgFileTest, ReleaseCallbackRunsOnce) {
  TempDir dir;
  IStorage* stg = nullptr;
  std::wstring w = msgtest::wide(dir.file("cb.msg"));
  ASSERT_EQ(StgCreateDocfile(w.c_str(), kExportMode, 0, &stg), S_OK);
  LPMSGSESS session = nullptr;
  ASSERT_EQ(OpenIMsgSession(MAPIGetDefaultMalloc(), 0, &session), S_OK);
  LPMESSAGE msg = nullptr;
  g_releaseCalls = 0;
  ASSERT_EQ(OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                           nullptr, stg, onRelease, 42, 0, &msg),
            S_OK);
  msg->AddRef();
  msg->Release();
  EXPECT_EQ(g_releaseCalls, 0u);
  msg->Release();
  EXPECT_EQ(g_releaseCalls, 1u);
  EXPECT_EQ(g_releaseData, 42u);
  EXPECT_EQ(OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                           nullptr, nullptr, nullptr, 0, 0, &msg),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(msg, nullptr);
  mapitest::addFault("OpenIMsgOnIStg", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(OpenIMsgOnIStg(session, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                           nullptr, stg, nullptr, 0, 0, &msg),
            MAPI_E_NOT_ENOUGH_MEMORY);
  CloseIMsgSession(session);
  stg->Release();
}

// A failure inside SaveChanges reaches the caller with its text.
TEST_F(MsgFileTest, StorageFailureDuringSaveChanges) {
  TempDir dir;
  Export ex;
  ASSERT_EQ(ex.open(dir.file("save.msg")), S_OK);
  setProps(ex.msg, {str8(PR_SUBJECT_A, "s")});
  addRecipient(ex.msg, "R", "r@example.org", MAPI_TO);
  mapitest::addFault("IStorage::CreateStorage", 2, STG_E_MEDIUMFULL);
  EXPECT_EQ(ex.msg->SaveChanges(KEEP_OPEN_READWRITE), STG_E_MEDIUMFULL);
  LPMAPIERROR err = nullptr;
  ASSERT_EQ(ex.msg->GetLastError(STG_E_MEDIUMFULL, 0, &err), S_OK);
  EXPECT_NE(std::string(err->lpszError).find("__recip_version1.0_#00000000"), std::string::npos) << err->lpszError;
  MAPIFreeBuffer(err);
}

TEST_F(MsgFileTest, AttributesAndStorageCodes) {
  TempDir dir;
  Export ex;
  ASSERT_EQ(ex.open(dir.file("attr.msg")), S_OK);
  setProps(ex.msg, {str8(PR_SUBJECT_A, "a")});
  SizedSPropTagArray(2, tags) = {2, {PR_SUBJECT_A, PR_BODY_A}};
  LPSPropAttrArray attrs = nullptr;
  ASSERT_EQ(GetAttribIMsgOnIStg(ex.msg, reinterpret_cast<LPSPropTagArray>(&tags), &attrs), S_OK);
  ASSERT_EQ(attrs->cValues, 2u);
  EXPECT_EQ(attrs->aPropAttr[0], static_cast<ULONG>(PROPATTR_READABLE | PROPATTR_WRITEABLE));
  EXPECT_EQ(attrs->aPropAttr[1], static_cast<ULONG>(PROPATTR_NOT_PRESENT));
  LPSPropProblemArray problems = nullptr;
  EXPECT_EQ(SetAttribIMsgOnIStg(ex.msg, reinterpret_cast<LPSPropTagArray>(&tags), attrs, &problems), S_OK);
  EXPECT_EQ(problems, nullptr);
  MAPIFreeBuffer(attrs);
  EXPECT_EQ(MapStorageSCode(STG_E_MEDIUMFULL), MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(MapStorageSCode(STG_E_ACCESSDENIED), MAPI_E_NO_ACCESS);
  EXPECT_EQ(MapStorageSCode(STG_E_WRITEFAULT), MAPI_E_CALL_FAILED);
  EXPECT_EQ(MapStorageSCode(S_OK), S_OK);
}

// A 64 MiB attachment goes through spools and straight into the file: the
// peak memory of the process grows by far less than the attachment.
TEST_F(MsgFileTest, LargeAttachmentDoesNotRaisePeakMemoryBySize) {
  TempDir dir;
  std::string path = dir.file("large.msg");
  const size_t kSize = 64u * 1024 * 1024;
  msgtest::resetPeakRss();
  long before = msgtest::peakRssKiB();
  std::string sha;
  {
    Export ex;
    ASSERT_EQ(ex.open(path), S_OK);
    setProps(ex.msg, {str8(PR_SUBJECT_A, "large")});
    sha = addStreamedAttachment(ex.msg, "large.bin", kSize, 1024 * 1024, 9);
    EXPECT_EQ(ex.finish(), S_OK);
  }
  long grown = msgtest::peakRssKiB() - before;
  EXPECT_LT(grown, 24 * 1024) << "peak memory grew by " << grown << " kB";
  EXPECT_GT(msgtest::fileSize(path), static_cast<long>(kSize));
  EXPECT_EQ(dir.listing(), "large.msg");
  msgtest::ReaderResult r = msgtest::readWithIndependentReader(path);
  if (!r.ran) GTEST_SKIP() << "independent reader not available: " << r.why;
  EXPECT_EQ(r.get("attachments.0.size"), std::to_string(kSize));
  EXPECT_EQ(r.get("attachments.0.sha256"), json(sha));
}

}  // namespace
