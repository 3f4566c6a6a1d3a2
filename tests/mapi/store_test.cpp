// The message store provider through its MAPI interfaces: entry
// identifiers, folders and their tables, messages, recipients, attachments,
// streams, CopyTo and named properties. Stores are made in a fresh
// TOLVANE_MAPI_HOME per test; every test ends with no MAPI object alive and
// no MAPI buffer unfreed. With TOLVANE_TEST_PG set (tests/pg/pgserver.sh),
// the stores are mailboxes of that PostgreSQL database instead of SQLite
// files: the same tests, run against the other engine.
#include <mapix.h>
#include <mapicode.h>
#include <mapiguid.h>
#include <mapiutil.h>
#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include "store/storedb.h"  // StoreDb::rowValueBytes: what a table read

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ftw.h>
#include <sys/wait.h>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

const ULONG PR_BODY_A_ = PROP_TAG(PT_STRING8, 0x1000);
const ULONG PR_HTML_ = PROP_TAG(PT_BINARY, 0x1013);

template <typename T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T** out() {
    reset();
    return &p;
  }
  LPUNKNOWN* unk() {
    reset();
    return reinterpret_cast<LPUNKNOWN*>(&p);
  }
  T* operator->() const { return p; }
};

struct Buffer {
  void* p = nullptr;
  ~Buffer() { MAPIFreeBuffer(p); }
};

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Deterministic bytes for large values: a position-dependent pattern, so a
// piece out of place changes the checksum.
void pattern(uint64_t offset, char* buf, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    uint64_t x = offset + k;
    buf[k] = static_cast<char>((x * 2654435761u >> 13) ^ (x >> 7));
  }
}

uint64_t fnv(uint64_t h, const char* p, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    h ^= static_cast<unsigned char>(p[k]);
    h *= 1099511628211ULL;
  }
  return h;
}
const uint64_t kFnvStart = 1469598103934665603ULL;

uint64_t patternSum(uint64_t size) {
  std::vector<char> buf(1 << 16);
  uint64_t h = kFnvStart;
  for (uint64_t off = 0; off < size; off += buf.size()) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
    pattern(off, buf.data(), n);
    h = fnv(h, buf.data(), n);
  }
  return h;
}

// Reads a stream to its end in pieces of `piece` bytes.
uint64_t streamSum(IStream* s, size_t piece, uint64_t& total) {
  std::vector<char> buf(piece);
  uint64_t h = kFnvStart;
  total = 0;
  for (;;) {
    ULONG got = 0;
    EXPECT_EQ(s->Read(buf.data(), static_cast<ULONG>(piece), &got), S_OK);
    if (got == 0) break;
    h = fnv(h, buf.data(), got);
    total += got;
  }
  return h;
}

std::string lastErrorText(IMAPIProp* obj, HRESULT hr) {
  LPMAPIERROR err = nullptr;
  if (FAILED(obj->GetLastError(hr, 0, &err)) || !err) return "";
  std::string text = err->lpszError ? reinterpret_cast<const char*>(err->lpszError) : "";
  MAPIFreeBuffer(err);
  return text;
}

std::string getString(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(obj, tag, &v);
  if (FAILED(hr)) return "<" + std::to_string(static_cast<unsigned>(hr)) + ">";
  std::string s = PROP_TYPE(tag) == PT_BINARY ? std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb)
                                              : std::string(v->Value.lpszA);
  MAPIFreeBuffer(v);
  return s;
}

LONG getLong(IMAPIProp* obj, ULONG tag, LONG fallback = -1) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return fallback;
  LONG l = PROP_TYPE(tag) == PT_BOOLEAN ? v->Value.b : v->Value.l;
  MAPIFreeBuffer(v);
  return l;
}

MessageDef simpleMessage(const std::string& subject, LONG flags = 0) {
  MessageDef m;
  m.props = {Value::String(PR_SUBJECT_A, subject), Value::Long(PR_MESSAGE_FLAGS, flags),
             Value::String(PR_MESSAGE_CLASS_A, "IPM.Note"), Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 946728000)};
  return m;
}

// Adds Cy as a BCC recipient.
void addCy(IMessage* msg) {
  SPropValue cy[3] = {};
  cy[0].ulPropTag = PR_RECIPIENT_TYPE;
  cy[0].Value.l = MAPI_BCC;
  cy[1].ulPropTag = PR_DISPLAY_NAME_A;
  cy[1].Value.lpszA = const_cast<char*>("Cy");
  cy[2].ulPropTag = PR_EMAIL_ADDRESS_A;
  cy[2].Value.lpszA = const_cast<char*>("cy@example.com");
  ADRLIST add1 = {1, {{0, 3, cy}}};
  ASSERT_EQ(msg->ModifyRecipients(MODRECIP_ADD, &add1), S_OK);
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    mapitest::reset();
    m_buffers = mapitest::liveBuffers();
    m_objects = mapitest::liveObjects();
    char tmpl[] = "/tmp/tolvane-store-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_home = tmpl;
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapiprofile::Profile p;
    p.name = "alice";
    p.address = "alice@example.com";
    if (const char* pg = getenv("TOLVANE_TEST_PG"))
      p.storePath = std::string(pg) + " mailbox=" + m_home.substr(m_home.rfind('/') + 1);
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    m_storePath = p.storePath;
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    openStore();
  }

  void TearDown() override {
    closeStore();
    MAPIUninitialize();
    mapitest::reset();
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers left unfreed";
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects left alive";
    nftw(m_home.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  void openStore() {
    ASSERT_EQ(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("alice")), nullptr, 0, m_session.out()), S_OK);
    Ref<IMAPITable> table;
    ASSERT_EQ(m_session->GetMsgStoresTable(0, table.out()), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    LPSPropValue eid = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
    ASSERT_NE(eid, nullptr);
    HRESULT hr = m_session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb),
                                         nullptr, MAPI_BEST_ACCESS, m_store.out());
    FreeProws(rows);
    ASSERT_EQ(hr, S_OK);
  }

  void closeStore() {
    m_store.reset();
    if (m_session.p) m_session->Logoff(0, 0, 0);
    m_session.reset();
  }

  void reopen() {
    closeStore();
    openStore();
  }

  std::string add(const MessageDef& def, mapifixture::Folder folder = mapifixture::Folder::Inbox) {
    std::string eid, error;
    EXPECT_EQ(mapifixture::addMessage("alice", def, eid, error, folder), S_OK) << error;
    return eid;
  }

  // The folder named by a store property (PR_IPM_OUTBOX_ENTRYID ...) or the Inbox.
  void openInbox(Ref<IMAPIFolder>& folder, ULONG flags = MAPI_MODIFY) {
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    ASSERT_EQ(m_store->GetReceiveFolder(nullptr, 0, &cb, &eid, nullptr), S_OK);
    ULONG type = 0;
    HRESULT hr = m_store->OpenEntry(cb, eid, nullptr, flags, &type, folder.unk());
    MAPIFreeBuffer(eid);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(type, static_cast<ULONG>(MAPI_FOLDER));
  }

  void openMessage(const std::string& eid, Ref<IMessage>& msg, ULONG flags = MAPI_BEST_ACCESS) {
    ULONG type = 0;
    ASSERT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())),
                                 nullptr, flags, &type, msg.unk()),
              S_OK);
    EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
  }

  HRESULT openEntry(const std::string& eid, ULONG& type, Ref<IUnknown>& obj) {
    return m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())),
                              nullptr, 0, &type, obj.out());
  }

  // PR_ENTRYID and PR_SUBJECT of every row of the Inbox's contents table.
  std::vector<std::pair<std::string, std::string>> inboxRows() {
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    Ref<IMAPITable> table;
    EXPECT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
    return tableRows(table.p);
  }

  static std::vector<std::pair<std::string, std::string>> tableRows(IMAPITable* table) {
    std::vector<std::pair<std::string, std::string>> out;
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_SUBJECT_A}};
    EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
    if (!rows) return out;
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SPropValue* v = rows->aRow[k].lpProps;
      std::string eid(reinterpret_cast<const char*>(v[0].Value.bin.lpb), v[0].Value.bin.cb);
      std::string subject = PROP_TYPE(v[1].ulPropTag) == PT_STRING8 ? v[1].Value.lpszA : "<none>";
      out.emplace_back(eid, subject);
    }
    FreeProws(rows);
    return out;
  }

  std::string m_home;
  std::string m_storePath;
  Ref<IMAPISession> m_session;
  Ref<IMsgStore> m_store;

 private:
  long m_buffers = 0;
  long m_objects = 0;
};

// ---------------------------------------------------------------- entry ids

TEST_F(Store, NullEntryIdOpensTheRootFolder) {
  Ref<IUnknown> obj;
  ULONG type = 0;
  ASSERT_EQ(m_store->OpenEntry(0, nullptr, nullptr, 0, &type, obj.out()), S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_FOLDER));
  IMAPIFolder* root = reinterpret_cast<IMAPIFolder*>(obj.p);
  EXPECT_EQ(getLong(root, PR_FOLDER_TYPE), FOLDER_ROOT);
  EXPECT_EQ(getLong(root, PR_SUBFOLDERS), 1);
  Ref<IMAPITable> hier;
  ASSERT_EQ(root->GetHierarchyTable(0, hier.out()), S_OK);
  SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_A}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(hier.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Top of Information Store");
  FreeProws(rows);
}

TEST_F(Store, EntryIdsAreStableAcrossReopen) {
  std::string eid = add(simpleMessage("first"));
  ASSERT_EQ(eid.size(), 32u);
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    EXPECT_EQ(getString(msg.p, PR_ENTRYID), eid);
    EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "first");
    EXPECT_EQ(getLong(msg.p, PR_OBJECT_TYPE), MAPI_MESSAGE);
  }
  auto before = inboxRows();
  reopen();
  auto after = inboxRows();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(before, after);
  EXPECT_EQ(after[0].first, eid);
  Ref<IMessage> msg;
  openMessage(eid, msg);
  EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "first");
}

TEST_F(Store, MalformedAndForeignEntryIdsAreRefused) {
  std::string eid = add(simpleMessage("x"));
  ULONG type = 7;
  Ref<IUnknown> obj;
  // One byte short, one byte long.
  EXPECT_EQ(openEntry(eid.substr(0, 31), type, obj), MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(obj.p, nullptr);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(openEntry(eid + "x", type, obj), MAPI_E_INVALID_ENTRYID);
  // Another store's identity.
  std::string foreign = eid;
  foreign[5] ^= 0x5A;
  EXPECT_EQ(openEntry(foreign, type, obj), MAPI_E_INVALID_ENTRYID);
  EXPECT_NE(lastErrorText(m_store.p, MAPI_E_INVALID_ENTRYID).find("another message store"), std::string::npos);
  // The object type says attachment.
  std::string attach = eid;
  attach[20] = MAPI_ATTACH;
  EXPECT_EQ(openEntry(attach, type, obj), MAPI_E_INVALID_ENTRYID);
  // A message id named as a folder.
  std::string asFolder = eid;
  asFolder[20] = MAPI_FOLDER;
  EXPECT_EQ(openEntry(asFolder, type, obj), MAPI_E_INVALID_ENTRYID);
  // An id that never existed.
  std::string missing = eid;
  missing[30] = 0x7F;
  EXPECT_EQ(openEntry(missing, type, obj), MAPI_E_NOT_FOUND);
  EXPECT_EQ(obj.p, nullptr);
}

// ---------------------------------------------------------------- folders

TEST_F(Store, ContentsTableIsASnapshotInCreationOrder) {
  std::string a = add(simpleMessage("a"));
  std::string b = add(simpleMessage("b"));
  std::string c = add(simpleMessage("c"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  add(simpleMessage("d"));  // after the table was made
  auto rows = tableRows(table.p);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], std::make_pair(a, std::string("a")));
  EXPECT_EQ(rows[1], std::make_pair(b, std::string("b")));
  EXPECT_EQ(rows[2], std::make_pair(c, std::string("c")));
  ULONG count = 0;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 3u);
  Ref<IMAPITable> fresh;
  ASSERT_EQ(inbox->GetContentsTable(0, fresh.out()), S_OK);
  auto now = tableRows(fresh.p);
  ASSERT_EQ(now.size(), 4u);
  EXPECT_EQ(now[3].second, "d");
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_COUNT), 4);
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 4);
}

TEST_F(Store, ContentsTableCarriesEnvelopeColumnsAndLacksBodies) {
  MessageDef m = simpleMessage("with body");
  m.props.push_back(Value::String(PR_BODY_A_, "the body"));
  m.attachments.push_back(Attachment::file("a.bin", "0123456789"));
  add(m);
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  SizedSPropTagArray(5, cols) = {5, {PR_MESSAGE_FLAGS, PR_HASATTACH, PR_MESSAGE_SIZE, PR_BODY_A_, PR_INSTANCE_KEY}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  const SPropValue* v = rows->aRow[0].lpProps;
  EXPECT_EQ(v[0].ulPropTag, PR_MESSAGE_FLAGS);
  EXPECT_EQ(v[0].Value.l & MSGFLAG_HASATTACH, static_cast<LONG>(MSGFLAG_HASATTACH));
  EXPECT_EQ(v[0].Value.l & MSGFLAG_READ, 0);
  EXPECT_EQ(v[1].ulPropTag, PR_HASATTACH);
  EXPECT_TRUE(v[1].Value.b);
  EXPECT_EQ(v[2].ulPropTag, PR_MESSAGE_SIZE);
  EXPECT_GT(v[2].Value.l, 10);
  EXPECT_EQ(v[3].ulPropTag, CHANGE_PROP_TYPE(PR_BODY_A_, PT_ERROR));
  EXPECT_EQ(v[4].ulPropTag, PR_INSTANCE_KEY);
  FreeProws(rows);
}

// STORE_TEST_COUNT sets the folder's size (default 5,000); the figures
// printed are for reading, not asserted.
TEST_F(Store, LargeFolderListsEntryIdsInCreationOrder) {
  const size_t count = static_cast<size_t>(getenv("STORE_TEST_COUNT") ? atoi(getenv("STORE_TEST_COUNT")) : 5000);
  std::vector<MessageDef> defs;
  defs.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    MessageDef m = simpleMessage("message " + std::to_string(k));
    m.props.push_back(Value::String(PR_BODY_A_, std::string(2000, 'x')));  // never read for the table
    defs.push_back(std::move(m));
  }
  std::vector<std::string> eids;
  std::string error;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(mapifixture::addMessages("alice", defs, eids, error), S_OK) << error;
  ASSERT_EQ(eids.size(), count);
  auto t1 = std::chrono::steady_clock::now();

  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  ULONG rowCount = 0;
  ASSERT_EQ(table->GetRowCount(0, &rowCount), S_OK);
  ASSERT_EQ(rowCount, count);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(static_cast<LONG>(rowCount), 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, count);
  for (size_t k = 0; k < count; k += 997) {
    ASSERT_EQ(rows->aRow[k].cValues, 1u);
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.lpb), b.cb), eids[k]);
  }
  FreeProws(rows);
  auto t2 = std::chrono::steady_clock::now();
  using ms = std::chrono::milliseconds;
  printf("stored %zu messages in %lld ms; listed them in %lld ms\n", count,
         static_cast<long long>(std::chrono::duration_cast<ms>(t1 - t0).count()),
         static_cast<long long>(std::chrono::duration_cast<ms>(t2 - t1).count()));
}

TEST_F(Store, ContentsTableColumnsAndFaultsBeforeFirstUse) {
  std::string a = add(simpleMessage("a"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  mapitest::addFault("IMAPITable::SetColumns", 1, MAPI_E_BUSY);
  SizedSPropTagArray(2, cols) = {2, {PR_SUBJECT_A, PR_ENTRYID}};
  EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), MAPI_E_BUSY);
  LPMAPIERROR err = nullptr;
  ASSERT_EQ(table->GetLastError(MAPI_E_BUSY, 0, &err), S_OK);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(err->lpszError)).find("IMAPITable::SetColumns"), std::string::npos);
  MAPIFreeBuffer(err);
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  // The message goes before the table's first use: its row stays, without
  // stored values.
  {
    Ref<IMAPIFolder> f;
    openInbox(f);
    SBinary bin = {32, reinterpret_cast<LPBYTE>(&a[0])};
    ENTRYLIST list = {1, &bin};
    ASSERT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_SUBJECT_A, PT_ERROR));
  EXPECT_EQ(rows->aRow[0].lpProps[1].ulPropTag, PR_ENTRYID);
  FreeProws(rows);
  LPSPropTagArray shown = nullptr;
  ASSERT_EQ(table->QueryColumns(0, &shown), S_OK);
  EXPECT_EQ(shown->cValues, 2u);
  MAPIFreeBuffer(shown);
}

TEST_F(Store, ContentsTableGivesWideStringsWhenAsked) {
  add(simpleMessage("Gr\xC3\xBC\xC3\x9F" "e"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  SizedSPropTagArray(2, cols) = {2, {PROP_TAG(PT_UNICODE, 0x0037), PR_SUBJECT_A}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  ASSERT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PROP_TAG(PT_UNICODE, 0x0037));
  EXPECT_EQ(std::wstring(rows->aRow[0].lpProps[0].Value.lpszW), L"Gr\u00FC\u00DFe");
  EXPECT_STREQ(rows->aRow[0].lpProps[1].Value.lpszA, "Gr\xC3\xBC\xC3\x9F" "e");
  FreeProws(rows);
}

TEST_F(Store, ContentsTableSortsAndRestrictsOnFirstUse) {
  MessageDef older = simpleMessage("older", MSGFLAG_READ);
  older.props[3] = Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 1000000000);
  MessageDef newer = simpleMessage("newer", 0);
  newer.props[3] = Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 1600000000);
  MessageDef middle = simpleMessage("middle", 0);
  middle.props[3] = Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 1300000000);
  add(older);
  add(newer);
  add(middle);
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPITable> table;
  ASSERT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);
  SizedSSortOrderSet(1, sort) = {1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_DESCEND}}};
  ASSERT_EQ(table->SortTable(reinterpret_cast<LPSSortOrderSet>(&sort), 0), S_OK);
  auto rows = tableRows(table.p);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].second, "newer");
  EXPECT_EQ(rows[1].second, "middle");
  EXPECT_EQ(rows[2].second, "older");
  SRestriction unread;
  unread.rt = RES_BITMASK;
  unread.res.resBitMask.relBMR = BMR_EQZ;
  unread.res.resBitMask.ulPropTag = PR_MESSAGE_FLAGS;
  unread.res.resBitMask.ulMask = MSGFLAG_READ;
  ASSERT_EQ(table->Restrict(&unread, 0), S_OK);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 2u);

  // A restriction on a value outside the envelope, first thing.
  const ULONG PR_TEST_MARK = PROP_TAG(PT_LONG, 0x6601);
  MessageDef marked = simpleMessage("marked");
  marked.props.push_back(Value::Long(PR_TEST_MARK, 7));
  add(marked);
  Ref<IMAPITable> fresh;
  ASSERT_EQ(inbox->GetContentsTable(0, fresh.out()), S_OK);
  SPropValue seven;
  seven.ulPropTag = PR_TEST_MARK;
  seven.Value.l = 7;
  SRestriction byMark;
  byMark.rt = RES_PROPERTY;
  byMark.res.resProperty.relop = RELOP_EQ;
  byMark.res.resProperty.ulPropTag = PR_TEST_MARK;
  byMark.res.resProperty.lpProp = &seven;
  ASSERT_EQ(fresh->Restrict(&byMark, 0), S_OK);
  auto found = tableRows(fresh.p);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].second, "marked");
}

TEST_F(Store, DeleteMessagesPersistsAndDeletesExactlyThose) {
  std::vector<std::string> eids;
  for (const char* s : {"1", "2", "3", "4"}) eids.push_back(add(simpleMessage(s)));
  {
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    SBinary bins[2] = {{32, reinterpret_cast<LPBYTE>(&eids[1][0])}, {32, reinterpret_cast<LPBYTE>(&eids[3][0])}};
    ENTRYLIST list = {2, bins};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }
  reopen();
  auto rows = inboxRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].second, "1");
  EXPECT_EQ(rows[1].second, "3");
  ULONG type = 0;
  Ref<IUnknown> obj;
  EXPECT_EQ(openEntry(eids[1], type, obj), MAPI_E_NOT_FOUND);
  EXPECT_NE(lastErrorText(m_store.p, MAPI_E_NOT_FOUND).find("does not exist"), std::string::npos);
}

TEST_F(Store, DeleteMessagesWithOneBadEntryDeletesNothing) {
  std::string a = add(simpleMessage("a"));
  std::string b = add(simpleMessage("b"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  std::string shortId = b.substr(0, 20);
  SBinary bins[2] = {{32, reinterpret_cast<LPBYTE>(&a[0])}, {20, reinterpret_cast<LPBYTE>(&shortId[0])}};
  ENTRYLIST list = {2, bins};
  EXPECT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), MAPI_E_INVALID_ENTRYID);
  EXPECT_NE(lastErrorText(inbox.p, MAPI_E_INVALID_ENTRYID).find("entry 1"), std::string::npos);
  SBinary noBytes = {32, nullptr};
  ENTRYLIST nulls = {1, &noBytes};
  EXPECT_EQ(inbox->DeleteMessages(&nulls, 0, nullptr, 0), MAPI_E_INVALID_PARAMETER);
  ENTRYLIST noArray = {1, nullptr};
  EXPECT_EQ(inbox->DeleteMessages(&noArray, 0, nullptr, 0), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(inbox->DeleteMessages(nullptr, 0, nullptr, 0), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(inboxRows().size(), 2u);
}

TEST_F(Store, DeletingAMessageOfAnotherFolderIsPartial) {
  std::string draft = add(simpleMessage("draft"), mapifixture::Folder::Drafts);
  std::string mine = add(simpleMessage("mine"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  SBinary bins[2] = {{32, reinterpret_cast<LPBYTE>(&draft[0])}, {32, reinterpret_cast<LPBYTE>(&mine[0])}};
  ENTRYLIST list = {2, bins};
  EXPECT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
  EXPECT_TRUE(inboxRows().empty());
  Ref<IMessage> still;
  openMessage(draft, still);
}

// ---------------------------------------------------------------- messages

TEST_F(Store, SetReadFlagIsStoredAtOnce) {
  std::string eid = add(simpleMessage("unread", 0));
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    EXPECT_EQ(getLong(msg.p, PR_MESSAGE_FLAGS) & MSGFLAG_READ, 0);
    ASSERT_EQ(msg->SetReadFlag(0), S_OK);
  }  // released without SaveChanges
  reopen();
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    EXPECT_EQ(getLong(msg.p, PR_MESSAGE_FLAGS) & MSGFLAG_READ, static_cast<LONG>(MSGFLAG_READ));
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 0);
    // A mark that is set already changes nothing, and takes no transaction:
    // a commit that would fail is never reached.
    mapitest::addFault("StoreDb::commit", 1, MAPI_E_NOT_ENOUGH_DISK);
    EXPECT_EQ(msg->SetReadFlag(0), S_OK);
    EXPECT_EQ(msg->SetReadFlag(CLEAR_READ_FLAG), MAPI_E_NOT_ENOUGH_DISK) << "the fault was still there";
    mapitest::clearFaults();
    EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 0) << "a failed change leaves the mark";
    ASSERT_EQ(msg->SetReadFlag(CLEAR_READ_FLAG), S_OK);
    EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 1);
  }
}

TEST_F(Store, UnsavedChangesAreDroppedAndSavedOnesKept) {
  std::string eid = add(simpleMessage("old"));
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("new")}};
    ASSERT_EQ(HrSetOneProp(msg.p, &v), S_OK);
    EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "new");
  }
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "old");
    SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("newer")}};
    ASSERT_EQ(HrSetOneProp(msg.p, &v), S_OK);
    SizedSPropTagArray(1, gone) = {1, {PR_MESSAGE_CLASS_A}};
    ASSERT_EQ(msg->DeleteProps(reinterpret_cast<LPSPropTagArray>(&gone), nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "newer");
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(msg.p, PR_MESSAGE_CLASS_A, &v), MAPI_E_NOT_FOUND);
  EXPECT_EQ(v, nullptr);
}

TEST_F(Store, ComputedValuesCannotBeSet) {
  std::string eid = add(simpleMessage("x"));
  Ref<IMessage> msg;
  openMessage(eid, msg);
  SPropValue v[2] = {};
  v[0].ulPropTag = PR_ENTRYID;
  v[0].Value.bin.cb = 3;
  v[0].Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>("abc"));
  v[1].ulPropTag = PR_SUBJECT_A;
  v[1].Value.lpszA = const_cast<char*>("ok");
  LPSPropProblemArray problems = nullptr;
  ASSERT_EQ(msg->SetProps(2, v, &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  ASSERT_EQ(problems->cProblem, 1u);
  EXPECT_EQ(problems->aProblem[0].ulIndex, 0u);
  EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
  MAPIFreeBuffer(problems);
  EXPECT_EQ(getString(msg.p, PR_ENTRYID), eid);
  EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "ok");
}

TEST_F(Store, ReadOnlyMessageRefusesChanges) {
  std::string eid = add(simpleMessage("x"));
  Ref<IMessage> msg;
  openMessage(eid, msg, 0);
  SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("no")}};
  EXPECT_EQ(msg->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
  EXPECT_NE(lastErrorText(msg.p, MAPI_E_NO_ACCESS).find("reading only"), std::string::npos);
  EXPECT_EQ(msg->SetReadFlag(0), S_OK);  // the read state is not a change of the message
  EXPECT_EQ(getLong(msg.p, PR_ACCESS), static_cast<LONG>(MAPI_ACCESS_READ));
  EXPECT_EQ(getLong(msg.p, PR_ACCESS_LEVEL), 0);
}

TEST_F(Store, NewMessageIsStoredOnSaveChangesOnly) {
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMessage> msg;
  ASSERT_EQ(inbox->CreateMessage(nullptr, 0, msg.out()), S_OK);
  SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("composed")}};
  ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
  LPSPropValue eid = nullptr;
  EXPECT_EQ(HrGetOneProp(msg.p, PR_ENTRYID, &eid), MAPI_E_NOT_FOUND);
  EXPECT_TRUE(inboxRows().empty());
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  ASSERT_EQ(HrGetOneProp(msg.p, PR_ENTRYID, &eid), S_OK);
  std::string id(reinterpret_cast<const char*>(eid->Value.bin.lpb), eid->Value.bin.cb);
  MAPIFreeBuffer(eid);
  auto rows = inboxRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].first, id);
  EXPECT_EQ(rows[0].second, "composed");
  EXPECT_EQ(getLong(msg.p, PR_MESSAGE_FLAGS), static_cast<LONG>(MSGFLAG_READ | MSGFLAG_UNSENT));
}

TEST_F(Store, RecipientsAreAddedModifiedAndRemoved) {
  MessageDef m = simpleMessage("r");
  m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_CC, "Bob", "bob@example.com")};
  std::string eid = add(m);
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    Ref<IMAPITable> table;
    ASSERT_EQ(msg->GetRecipientTable(0, table.out()), S_OK);
    SizedSPropTagArray(5, cols) = {5, {PR_ROWID, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 2u);
    EXPECT_EQ(rows->aRow[0].lpProps[1].Value.l, MAPI_TO);
    EXPECT_STREQ(rows->aRow[0].lpProps[2].Value.lpszA, "Ann");
    EXPECT_STREQ(rows->aRow[1].lpProps[3].Value.lpszA, "bob@example.com");
    EXPECT_EQ(rows->aRow[0].lpProps[4].ulPropTag, CHANGE_PROP_TYPE(PR_ENTRYID, PT_ERROR));
    LONG bobRow = rows->aRow[1].lpProps[0].Value.l;
    FreeProws(rows);

    // Remove Bob, rename Ann (by row id), add Cy.
    LPADRLIST list = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(1), reinterpret_cast<LPVOID*>(&list)), S_OK);
    list->cEntries = 1;
    ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&list->aEntries[0].rgPropVals)), S_OK);
    list->aEntries[0].cValues = 1;
    list->aEntries[0].rgPropVals[0].ulPropTag = PR_ROWID;
    list->aEntries[0].rgPropVals[0].Value.l = bobRow;
    ASSERT_EQ(msg->ModifyRecipients(MODRECIP_REMOVE, list), S_OK);
    FreePadrlist(list);

    addCy(msg.p);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IMAPITable> table;
  ASSERT_EQ(msg->GetRecipientTable(0, table.out()), S_OK);
  SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_A, PR_RECIPIENT_TYPE}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Ann");
  EXPECT_STREQ(rows->aRow[1].lpProps[0].Value.lpszA, "Cy");
  EXPECT_EQ(rows->aRow[1].lpProps[1].Value.l, MAPI_BCC);
  FreeProws(rows);
  EXPECT_EQ(getString(msg.p, PR_DISPLAY_TO_A), "Ann");
  EXPECT_EQ(getString(msg.p, PR_DISPLAY_CC_A), "");
  EXPECT_EQ(getString(msg.p, PR_DISPLAY_BCC_A), "Cy");
}

// A message open for writing reads its stored recipients once for any
// number of recipient tables (a reader asks once per recipient type), and
// reads them again once it has saved others.
TEST_F(Store, StoredRecipientsAreReadOnceUntilTheMessageSavesOthers) {
  MessageDef m = simpleMessage("r");
  m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_CC, "Bob", "bob@example.com")};
  std::string eid = add(m);
  Ref<IMessage> msg;
  openMessage(eid, msg, MAPI_MODIFY);
  auto names = [&]() {
    Ref<IMAPITable> table;
    EXPECT_EQ(msg->GetRecipientTable(0, table.out()), S_OK);
    SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_A}};
    LPSRowSet rows = nullptr;
    std::string out;
    EXPECT_EQ(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    for (ULONG k = 0; rows && k < rows->cRows; ++k) out += std::string(rows->aRow[k].lpProps[0].Value.lpszA) + ";";
    if (rows) FreeProws(rows);
    return out;
  };
  uint64_t before = tmapi::StoreDb::rowValueBytes();
  EXPECT_EQ(names(), "Ann;Bob;");
  uint64_t once = tmapi::StoreDb::rowValueBytes();
  EXPECT_GT(once, before);
  EXPECT_EQ(names(), "Ann;Bob;");
  EXPECT_EQ(names(), "Ann;Bob;");
  EXPECT_EQ(tmapi::StoreDb::rowValueBytes(), once) << "the second and third tables read nothing";

  addCy(msg.p);
  EXPECT_EQ(names(), "Ann;Bob;Cy;");
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  uint64_t saved = tmapi::StoreDb::rowValueBytes();
  EXPECT_EQ(names(), "Ann;Bob;Cy;");
  EXPECT_GT(tmapi::StoreDb::rowValueBytes(), saved) << "the saved rows are read from the store";
}

// ---------------------------------------------------------------- large values

TEST_F(Store, ValuesAboveTheSizeLimitAreReadThroughStreams) {
  std::string body(5000, 'b');
  for (size_t k = 0; k < body.size(); ++k) body[k] = static_cast<char>('a' + k % 26);
  MessageDef m = simpleMessage("big body");
  m.props.push_back(Value::String(PR_BODY_A_, body));
  std::string eid = add(m);
  mapitest::setSizeLimit(1000);
  Ref<IMessage> msg;
  openMessage(eid, msg);
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(msg.p, PR_BODY_A_, &v), E_OUTOFMEMORY);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "big body");  // small values still read

  Ref<IStream> s;
  ASSERT_EQ(msg->OpenProperty(PR_BODY_A_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
  STATSTG st;
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, body.size());
  std::string read(body.size() + 1, '\0');
  ULONG got = 0;
  ASSERT_EQ(s->Read(&read[0], static_cast<ULONG>(read.size()), &got), S_OK);
  EXPECT_EQ(got, body.size());
  read.resize(got);
  EXPECT_EQ(read, body);
  ASSERT_EQ(s->Read(&read[0], 10, &got), S_OK);
  EXPECT_EQ(got, 0u);
  // Seek back into the middle.
  LARGE_INTEGER to;
  to.QuadPart = 4990;
  ULARGE_INTEGER pos;
  ASSERT_EQ(s->Seek(to, STREAM_SEEK_SET, &pos), S_OK);
  char tail[16];
  ASSERT_EQ(s->Read(tail, sizeof tail, &got), S_OK);
  EXPECT_EQ(std::string(tail, got), body.substr(4990));
  // A property that is absent has no stream.
  Ref<IStream> none;
  EXPECT_EQ(msg->OpenProperty(PR_HTML_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(none.out())), MAPI_E_NOT_FOUND);
}

TEST_F(Store, MultiMegabyteAttachmentRoundTripsThroughStreams) {
  const uint64_t size = 5 * 1024 * 1024 + 12345;  // several stored pieces and a partial one
  MessageDef m = simpleMessage("attachment");
  Attachment a = Attachment::file("big.bin", "");
  a.props.back() = Value::Generated(PR_ATTACH_DATA_BIN, size, pattern);
  m.attachments.push_back(a);
  std::string eid = add(m);
  uint64_t expected = patternSum(size);

  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IMAPITable> table;
  ASSERT_EQ(msg->GetAttachmentTable(0, table.out()), S_OK);
  SizedSPropTagArray(4, cols) = {4, {PR_ATTACH_NUM, PR_ATTACH_SIZE, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_DATA_BIN}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  ULONG num = static_cast<ULONG>(rows->aRow[0].lpProps[0].Value.l);
  EXPECT_GE(static_cast<uint64_t>(rows->aRow[0].lpProps[1].Value.l), size);
  EXPECT_STREQ(rows->aRow[0].lpProps[2].Value.lpszA, "big.bin");
  EXPECT_EQ(PROP_TYPE(rows->aRow[0].lpProps[3].ulPropTag), static_cast<ULONG>(PT_ERROR));
  FreeProws(rows);

  Ref<IAttach> att;
  ASSERT_EQ(msg->OpenAttach(num, nullptr, MAPI_BEST_ACCESS, att.out()), S_OK);
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(att.p, PR_ATTACH_DATA_BIN, &v), E_OUTOFMEMORY);  // above the 4 MiB default
  Ref<IStream> s;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
  uint64_t total = 0;
  EXPECT_EQ(streamSum(s.p, 4093, total), expected);  // odd pieces cross the stored ones
  EXPECT_EQ(total, size);

  // Written back through a stream into a new attachment of a new message.
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMessage> copy;
  ASSERT_EQ(inbox->CreateMessage(nullptr, 0, copy.out()), S_OK);
  Ref<IAttach> newAtt;
  ULONG newNum = 0;
  ASSERT_EQ(copy->CreateAttach(nullptr, 0, &newNum, newAtt.out()), S_OK);
  Ref<IStream> w;
  ASSERT_EQ(newAtt->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                 reinterpret_cast<LPUNKNOWN*>(w.out())),
            S_OK);
  LARGE_INTEGER zero{};
  ASSERT_EQ(s->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
  ULARGE_INTEGER all, r, wr;
  all.QuadPart = ~0ULL;
  ASSERT_EQ(s->CopyTo(w.p, all, &r, &wr), S_OK);
  EXPECT_EQ(wr.QuadPart, size);
  w.reset();
  ASSERT_EQ(newAtt->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  ASSERT_EQ(copy->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  std::string copyId = getString(copy.p, PR_ENTRYID);
  copy.reset();
  newAtt.reset();
  reopen();
  Ref<IMessage> again;
  openMessage(copyId, again);
  Ref<IAttach> againAtt;
  ASSERT_EQ(again->OpenAttach(newNum, nullptr, 0, againAtt.out()), S_OK);
  Ref<IStream> rs;
  ASSERT_EQ(againAtt->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(rs.out())), S_OK);
  EXPECT_EQ(streamSum(rs.p, 65536, total), expected);
  EXPECT_EQ(total, size);
  EXPECT_GE(static_cast<uint64_t>(getLong(againAtt.p, PR_ATTACH_SIZE)), size);
}

TEST_F(Store, StreamWritesLandOnlyWithSaveChanges) {
  MessageDef m = simpleMessage("s");
  m.props.push_back(Value::String(PR_BODY_A_, "original"));
  std::string eid = add(m);
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    Ref<IStream> w;
    ASSERT_EQ(msg->OpenProperty(PR_BODY_A_, &IID_IStream, STGM_WRITE, MAPI_MODIFY, reinterpret_cast<LPUNKNOWN*>(w.out())), S_OK);
    LARGE_INTEGER end{};
    ASSERT_EQ(w->Seek(end, STREAM_SEEK_END, nullptr), S_OK);
    ASSERT_EQ(w->Write(" plus", 5, nullptr), S_OK);
    EXPECT_EQ(getString(msg.p, PR_BODY_A_), "original plus");  // the object sees its own change
  }
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    EXPECT_EQ(getString(msg.p, PR_BODY_A_), "original");
    Ref<IStream> w;
    ASSERT_EQ(msg->OpenProperty(PR_BODY_A_, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                reinterpret_cast<LPUNKNOWN*>(w.out())),
              S_OK);
    ASSERT_EQ(w->Write("replaced", 8, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  EXPECT_EQ(getString(msg.p, PR_BODY_A_), "replaced");
}

std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

TEST_F(Store, UnicodeStreamsCarryUtf16) {
  // "Grüße € 𝄞": two-, three- and four-byte sequences.
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
  const std::string wide = utf16le(u"Gr\u00FC\u00DFe \u20AC \U0001D11E");
  const ULONG PR_BODY_W_ = PROP_TAG(PT_UNICODE, 0x1000);
  MessageDef m = simpleMessage("unicode");
  m.props.push_back(Value::String(PR_BODY_A_, utf8));
  std::string eid = add(m);
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    Ref<IStream> s;
    ASSERT_EQ(msg->OpenProperty(PR_BODY_W_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
    STATSTG st;
    ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, wide.size());
    std::string got(64, '\0');
    ULONG n = 0;
    ASSERT_EQ(s->Read(&got[0], 64, &n), S_OK);
    got.resize(n);
    EXPECT_EQ(got, wide);

    // Written as UTF-16LE one byte at a time (a surrogate pair split too).
    Ref<IStream> w;
    ASSERT_EQ(msg->OpenProperty(PR_BODY_W_, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                reinterpret_cast<LPUNKNOWN*>(w.out())),
              S_OK);
    std::string again = wide + wide;
    for (char c : again) ASSERT_EQ(w->Write(&c, 1, nullptr), S_OK);
    EXPECT_EQ(getString(msg.p, PR_BODY_A_), utf8 + utf8);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  EXPECT_EQ(getString(msg.p, PR_BODY_A_), utf8 + utf8);
}

TEST_F(Store, LargeUnicodeValueConvertsAcrossPieces) {
  std::string utf8;
  while (utf8.size() < 300 * 1024) utf8 += "a\xC3\xBC\xE2\x82\xAC\xF0\x9D\x84\x9E";  // 10 bytes, pieces split them
  MessageDef m = simpleMessage("big unicode");
  m.props.push_back(Value::String(PR_BODY_A_, utf8));
  std::string eid = add(m);
  mapitest::setSizeLimit(1024);
  std::string copyId;
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    Ref<IStream> r;
    ASSERT_EQ(msg->OpenProperty(PROP_TAG(PT_UNICODE, 0x1000), &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(r.out())), S_OK);
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    Ref<IMessage> dest;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, dest.out()), S_OK);
    Ref<IStream> w;
    ASSERT_EQ(dest->OpenProperty(PROP_TAG(PT_UNICODE, 0x1000), &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                 reinterpret_cast<LPUNKNOWN*>(w.out())),
              S_OK);
    ULARGE_INTEGER all, rd, wr;
    all.QuadPart = ~0ULL;
    ASSERT_EQ(r->CopyTo(w.p, all, &rd, &wr), S_OK);
    EXPECT_EQ(rd.QuadPart, (utf8.size() / 10) * 4 * 2 + (utf8.size() / 10) * 2);  // a, ü, € one unit each; 𝄞 two
    ASSERT_EQ(dest->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    copyId = getString(dest.p, PR_ENTRYID);
  }
  Ref<IMessage> copy;
  openMessage(copyId, copy);
  Ref<IStream> s;
  ASSERT_EQ(copy->OpenProperty(PR_BODY_A_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
  uint64_t total = 0;
  EXPECT_EQ(streamSum(s.p, 777, total), fnv(kFnvStart, utf8.data(), utf8.size()));
  EXPECT_EQ(total, utf8.size());
}

TEST_F(Store, SavingAMessageDeletedWhileOpenFails) {
  std::string eid = add(simpleMessage("doomed"));
  Ref<IMessage> msg;
  openMessage(eid, msg);
  {
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    SBinary bin = {32, reinterpret_cast<LPBYTE>(&eid[0])};
    ENTRYLIST list = {1, &bin};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }
  SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("back?")}};
  ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
  EXPECT_EQ(msg->SaveChanges(0), MAPI_E_OBJECT_DELETED);
  EXPECT_NE(lastErrorText(msg.p, MAPI_E_OBJECT_DELETED).find("deleted while it was open"), std::string::npos);
  EXPECT_TRUE(inboxRows().empty());
}

TEST_F(Store, FoldersAreCreatedListedAndMarkedRead) {
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPIFolder> sub;
  ASSERT_EQ(inbox->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<char*>("Projects")), nullptr,
                                nullptr, 0, sub.out()),
            S_OK);
  EXPECT_EQ(getString(sub.p, PR_DISPLAY_NAME_A), "Projects");
  EXPECT_EQ(getString(sub.p, PR_PARENT_ENTRYID), getString(inbox.p, PR_ENTRYID));
  Ref<IMAPIFolder> dup;
  EXPECT_EQ(inbox->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<char*>("Projects")), nullptr,
                                nullptr, 0, dup.out()),
            MAPI_E_COLLISION);
  ASSERT_EQ(inbox->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<char*>("Projects")), nullptr,
                                nullptr, OPEN_IF_EXISTS, dup.out()),
            S_OK);
  EXPECT_EQ(getString(dup.p, PR_ENTRYID), getString(sub.p, PR_ENTRYID));
  EXPECT_EQ(getLong(inbox.p, PR_SUBFOLDERS), 1);

  Ref<IMAPITable> hier;
  ASSERT_EQ(inbox->GetHierarchyTable(0, hier.out()), S_OK);
  SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_A, PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(hier.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Projects");
  std::string subId(reinterpret_cast<const char*>(rows->aRow[0].lpProps[1].Value.bin.lpb), rows->aRow[0].lpProps[1].Value.bin.cb);
  FreeProws(rows);
  ULONG type = 0;
  Ref<IUnknown> obj;
  ASSERT_EQ(openEntry(subId, type, obj), S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_FOLDER));

  std::string a = add(simpleMessage("a"));
  add(simpleMessage("b"));
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 2);
  ASSERT_EQ(inbox->SetReadFlags(nullptr, 0, nullptr, 0), S_OK);
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 0);
  SBinary bin = {32, reinterpret_cast<LPBYTE>(&a[0])};
  ENTRYLIST one = {1, &bin};
  ASSERT_EQ(inbox->SetReadFlags(&one, 0, nullptr, CLEAR_READ_FLAG), S_OK);
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 1);

  ULONG status = 99, old = 99;
  ASSERT_EQ(inbox->GetMessageStatus(32, reinterpret_cast<LPENTRYID>(&a[0]), 0, &status), S_OK);
  EXPECT_EQ(status, 0u);
  ASSERT_EQ(inbox->SetMessageStatus(32, reinterpret_cast<LPENTRYID>(&a[0]), MSGSTATUS_DELMARKED, MSGSTATUS_DELMARKED, &old), S_OK);
  EXPECT_EQ(old, 0u);
  ASSERT_EQ(inbox->GetMessageStatus(32, reinterpret_cast<LPENTRYID>(&a[0]), 0, &status), S_OK);
  EXPECT_EQ(status, static_cast<ULONG>(MSGSTATUS_DELMARKED));
}

TEST_F(Store, MessagesAreCopiedAndMovedBetweenFolders) {
  MessageDef m = simpleMessage("travels");
  m.recipients.push_back(Recipient::make(MAPI_TO, "Ann", "ann@example.com"));
  m.attachments.push_back(Attachment::file("t.txt", "travel data"));
  std::string a = add(m);
  std::string b = add(simpleMessage("stays"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMAPIFolder> sub;
  ASSERT_EQ(inbox->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<char*>("Archive")), nullptr,
                                nullptr, 0, sub.out()),
            S_OK);
  SBinary bin = {32, reinterpret_cast<LPBYTE>(&a[0])};
  ENTRYLIST list = {1, &bin};
  ASSERT_EQ(inbox->CopyMessages(&list, nullptr, sub.p, 0, nullptr, 0), S_OK);
  EXPECT_EQ(inboxRows().size(), 2u);
  EXPECT_EQ(getLong(sub.p, PR_CONTENT_COUNT), 1);
  Ref<IMAPITable> subTable;
  ASSERT_EQ(sub->GetContentsTable(0, subTable.out()), S_OK);
  auto copied = tableRows(subTable.p);
  ASSERT_EQ(copied.size(), 1u);
  EXPECT_NE(copied[0].first, a);
  EXPECT_EQ(copied[0].second, "travels");
  {
    Ref<IMessage> c;
    openMessage(copied[0].first, c);
    Ref<IAttach> att;
    ASSERT_EQ(c->OpenAttach(0, nullptr, 0, att.out()), S_OK);
    EXPECT_EQ(getString(att.p, PR_ATTACH_DATA_BIN), "travel data");
    EXPECT_EQ(getString(c.p, PR_DISPLAY_TO_A), "Ann");
  }
  // A move keeps the message and its entry identifier.
  ASSERT_EQ(inbox->CopyMessages(&list, nullptr, sub.p, 0, nullptr, MESSAGE_MOVE), S_OK);
  auto left = inboxRows();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].first, b);
  EXPECT_EQ(getLong(sub.p, PR_CONTENT_COUNT), 2);
  Ref<IMessage> moved;
  openMessage(a, moved);
  EXPECT_EQ(getString(moved.p, PR_PARENT_ENTRYID), getString(sub.p, PR_ENTRYID));
  // Deleting the folder takes its messages only when asked to.
  std::string subId = getString(sub.p, PR_ENTRYID);
  EXPECT_EQ(inbox->DeleteFolder(32, reinterpret_cast<LPENTRYID>(&subId[0]), 0, nullptr, 0), MAPI_E_HAS_MESSAGES);
  ASSERT_EQ(inbox->DeleteFolder(32, reinterpret_cast<LPENTRYID>(&subId[0]), 0, nullptr, DEL_MESSAGES), S_OK);
  ULONG type = 0;
  Ref<IUnknown> gone;
  EXPECT_EQ(openEntry(a, type, gone), MAPI_E_NOT_FOUND);
  EXPECT_EQ(openEntry(subId, type, gone), MAPI_E_NOT_FOUND);
  std::string inboxId = getString(inbox.p, PR_ENTRYID);
  Ref<IMAPIFolder> top;
  ASSERT_EQ(m_store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(top.out())), S_OK);
  EXPECT_EQ(top->DeleteFolder(32, reinterpret_cast<LPENTRYID>(&inboxId[0]), 0, nullptr, DEL_MESSAGES | DEL_FOLDERS),
            MAPI_E_NO_ACCESS);
}

TEST_F(Store, OpenEntryChecksTheInterface) {
  std::string eid = add(simpleMessage("x"));
  ULONG type = 0;
  Ref<IUnknown> obj;
  EXPECT_EQ(m_store->OpenEntry(32, reinterpret_cast<LPENTRYID>(&eid[0]), &IID_IMAPIFolder, 0, &type, obj.out()),
            MAPI_E_INTERFACE_NOT_SUPPORTED);
  EXPECT_EQ(obj.p, nullptr);
  ASSERT_EQ(m_store->OpenEntry(32, reinterpret_cast<LPENTRYID>(&eid[0]), &IID_IMessage, 0, &type, obj.out()), S_OK);
  Ref<IMessage> q;
  ASSERT_EQ(obj->QueryInterface(IID_IMessage, reinterpret_cast<void**>(q.out())), S_OK);
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IUnknown> viaFolder;
  ASSERT_EQ(inbox->OpenEntry(32, reinterpret_cast<LPENTRYID>(&eid[0]), nullptr, MAPI_BEST_ACCESS, &type, viaFolder.out()), S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
}

// ---------------------------------------------------------------- CopyTo

TEST_F(Store, CopyToCarriesValuesRecipientsAttachmentsAndEmbeddedMessages) {
  const uint64_t bigSize = 300 * 1024;  // stored in pieces, above the lowered limit
  MessageDef inner = simpleMessage("inner subject");
  inner.props.push_back(Value::String(PR_BODY_A_, "inner body"));
  inner.recipients.push_back(Recipient::make(MAPI_TO, "Dee", "dee@example.com"));
  inner.attachments.push_back(Attachment::file("inner.txt", "inner data"));
  MessageDef m = simpleMessage("outer subject");
  m.props.push_back(Value::String(PR_BODY_A_, "outer body"));
  m.props.push_back(Value::Generated(PR_HTML_, bigSize, pattern));
  m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_CC, "Bob", "bob@example.com")};
  m.attachments.push_back(Attachment::file("a.txt", "attachment a"));
  m.attachments.push_back(Attachment::message("Forwarded", inner));
  std::string eid = add(m);
  mapitest::setSizeLimit(64 * 1024);

  std::string copyId;
  {
    Ref<IMessage> src;
    openMessage(eid, src);
    Ref<IMAPIFolder> inbox;
    openInbox(inbox);
    Ref<IMessage> dest;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, dest.out()), S_OK);
    SizedSPropTagArray(2, excluded) = {2, {PR_ACCESS, PR_BODY_A_}};
    ASSERT_EQ(src->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&excluded), 0, nullptr, &IID_IMessage,
                          dest.p, 0, nullptr),
              S_OK);
    ASSERT_EQ(dest->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    copyId = getString(dest.p, PR_ENTRYID);
  }
  reopen();
  Ref<IMessage> copy;
  openMessage(copyId, copy);
  EXPECT_NE(copyId, eid);
  EXPECT_EQ(getString(copy.p, PR_SUBJECT_A), "outer subject");
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(copy.p, PR_BODY_A_, &v), MAPI_E_NOT_FOUND);
  EXPECT_EQ(getLong(copy.p, PR_ACCESS_LEVEL), static_cast<LONG>(MAPI_MODIFY));  // the copy's own
  Ref<IStream> html;
  ASSERT_EQ(copy->OpenProperty(PR_HTML_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(html.out())), S_OK);
  uint64_t total = 0;
  EXPECT_EQ(streamSum(html.p, 1000, total), patternSum(bigSize));
  EXPECT_EQ(total, bigSize);

  Ref<IMAPITable> recips;
  ASSERT_EQ(copy->GetRecipientTable(0, recips.out()), S_OK);
  SizedSPropTagArray(2, rcols) = {2, {PR_DISPLAY_NAME_A, PR_RECIPIENT_TYPE}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(recips.p, reinterpret_cast<LPSPropTagArray>(&rcols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Ann");
  EXPECT_EQ(rows->aRow[1].lpProps[1].Value.l, MAPI_CC);
  FreeProws(rows);

  Ref<IMAPITable> atts;
  ASSERT_EQ(copy->GetAttachmentTable(0, atts.out()), S_OK);
  SizedSPropTagArray(2, acols) = {2, {PR_ATTACH_NUM, PR_ATTACH_METHOD}};
  ASSERT_EQ(HrQueryAllRows(atts.p, reinterpret_cast<LPSPropTagArray>(&acols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  ULONG fileNum = static_cast<ULONG>(rows->aRow[0].lpProps[0].Value.l);
  ULONG msgNum = static_cast<ULONG>(rows->aRow[1].lpProps[0].Value.l);
  EXPECT_EQ(rows->aRow[1].lpProps[1].Value.l, ATTACH_EMBEDDED_MSG);
  FreeProws(rows);

  Ref<IAttach> fileAtt;
  ASSERT_EQ(copy->OpenAttach(fileNum, nullptr, 0, fileAtt.out()), S_OK);
  EXPECT_EQ(getString(fileAtt.p, PR_ATTACH_DATA_BIN), "attachment a");
  EXPECT_EQ(getString(fileAtt.p, PR_ATTACH_LONG_FILENAME_A), "a.txt");

  Ref<IAttach> msgAtt;
  ASSERT_EQ(copy->OpenAttach(msgNum, nullptr, 0, msgAtt.out()), S_OK);
  EXPECT_EQ(getString(msgAtt.p, PR_DISPLAY_NAME_A), "Forwarded");
  Ref<IMessage> emb;
  ASSERT_EQ(msgAtt->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(emb.out())), S_OK);
  EXPECT_EQ(getString(emb.p, PR_SUBJECT_A), "inner subject");
  EXPECT_EQ(getString(emb.p, PR_BODY_A_), "inner body");  // exclusions apply to the top message
  Ref<IMAPITable> embRecips;
  ASSERT_EQ(emb->GetRecipientTable(0, embRecips.out()), S_OK);
  ULONG count = 0;
  ASSERT_EQ(embRecips->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 1u);
  Ref<IAttach> embAtt;
  ASSERT_EQ(emb->OpenAttach(0, nullptr, 0, embAtt.out()), S_OK);
  EXPECT_EQ(getString(embAtt.p, PR_ATTACH_DATA_BIN), "inner data");
}

TEST_F(Store, EmbeddedMessageChangesReachTheStoreOnlyThroughEverySave) {
  MessageDef inner = simpleMessage("v1");
  MessageDef m = simpleMessage("outer");
  m.attachments.push_back(Attachment::message("Fwd", inner));
  std::string eid = add(m);
  for (int saveAttach = 0; saveAttach < 2; ++saveAttach) {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    Ref<IAttach> att;
    ASSERT_EQ(msg->OpenAttach(0, nullptr, MAPI_MODIFY, att.out()), S_OK);
    Ref<IMessage> emb;
    ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY, reinterpret_cast<LPUNKNOWN*>(emb.out())), S_OK);
    SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>(saveAttach ? "v3" : "v2")}};
    ASSERT_EQ(emb->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(emb->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    if (saveAttach) {
      ASSERT_EQ(att->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IAttach> att;
  ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, att.out()), S_OK);
  Ref<IMessage> emb;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(emb.out())), S_OK);
  EXPECT_EQ(getString(emb.p, PR_SUBJECT_A), "v3");  // v2 was never saved into its attachment
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(emb.p, PR_ENTRYID, &v), MAPI_E_NOT_FOUND);
}

TEST_F(Store, DeleteAttachAndAttachmentNumbers) {
  MessageDef m = simpleMessage("three");
  for (const char* n : {"0.txt", "1.txt", "2.txt"}) m.attachments.push_back(Attachment::file(n, n));
  std::string eid = add(m);
  {
    Ref<IMessage> msg;
    openMessage(eid, msg);
    ASSERT_EQ(msg->DeleteAttach(1, 0, nullptr, 0), S_OK);
    EXPECT_EQ(msg->DeleteAttach(7, 0, nullptr, 0), MAPI_E_NOT_FOUND);
    Ref<IAttach> gone;
    EXPECT_EQ(msg->OpenAttach(1, nullptr, 0, gone.out()), MAPI_E_NOT_FOUND);
    Ref<IAttach> added;
    ULONG num = 0;
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, added.out()), S_OK);
    EXPECT_EQ(num, 3u);  // numbers are not reused
    ASSERT_EQ(added->SaveChanges(0), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }
  reopen();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IMAPITable> table;
  ASSERT_EQ(msg->GetAttachmentTable(0, table.out()), S_OK);
  SizedSPropTagArray(1, cols) = {1, {PR_ATTACH_NUM}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.l, 0);
  EXPECT_EQ(rows->aRow[1].lpProps[0].Value.l, 2);
  EXPECT_EQ(rows->aRow[2].lpProps[0].Value.l, 3);
  FreeProws(rows);
}

// The attachment table reads the values of the columns set, not every
// value of every attachment: 10,000 attachments each carrying 2,000 bytes
// nobody asked for cost 10,000 integers when PR_ATTACH_NUM and
// PR_ATTACH_SIZE are read (PR_ATTACH_NUM is the row's own number).
TEST_F(Store, AttachmentTableReadsOnlyTheColumnsSet) {
  const ULONG count = 10000;
  MessageDef m = simpleMessage("many");
  for (ULONG k = 0; k < count; ++k) {
    Attachment a = Attachment::file("a" + std::to_string(k) + ".bin", std::string(k % 7 + 1, 'd'));
    a.props.push_back(Value::Binary(PR_ATTACH_ENCODING, std::string(2000, 'e')));
    m.attachments.push_back(std::move(a));
  }
  std::string eid = add(m);
  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IMAPITable> table;
  uint64_t before = tmapi::StoreDb::rowValueBytes();
  ASSERT_EQ(msg->GetAttachmentTable(0, table.out()), S_OK);
  ULONG rowCount = 0;
  ASSERT_EQ(table->GetRowCount(0, &rowCount), S_OK);
  EXPECT_EQ(rowCount, count);
  EXPECT_EQ(tmapi::StoreDb::rowValueBytes(), before) << "counting rows reads no value";
  SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_SIZE}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(static_cast<LONG>(count), 0, &rows), S_OK);
  EXPECT_EQ(tmapi::StoreDb::rowValueBytes() - before, uint64_t{count} * 8);
  ASSERT_EQ(rows->cRows, count);
  for (ULONG k = 0; k < count; k += 997) {
    ASSERT_EQ(rows->aRow[k].cValues, 2u);
    EXPECT_EQ(rows->aRow[k].lpProps[0].ulPropTag, PR_ATTACH_NUM);
    EXPECT_EQ(rows->aRow[k].lpProps[0].Value.l, static_cast<LONG>(k));
    EXPECT_EQ(rows->aRow[k].lpProps[1].ulPropTag, PR_ATTACH_SIZE);
    Ref<IAttach> attach;
    ASSERT_EQ(msg->OpenAttach(k, nullptr, 0, attach.out()), S_OK);
    EXPECT_EQ(rows->aRow[k].lpProps[1].Value.l, getLong(attach.p, PR_ATTACH_SIZE)) << k;
    EXPECT_GT(rows->aRow[k].lpProps[1].Value.l, 2000) << k;
  }
  FreeProws(rows);

  // A column set after the first use is read then, for the same rows, from
  // the same position.
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 5, nullptr), S_OK);
  SizedSPropTagArray(2, named) = {2, {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_A}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&named), 0), S_OK);
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.l, 5);
  ASSERT_EQ(rows->aRow[0].lpProps[1].ulPropTag, PR_ATTACH_LONG_FILENAME_A);
  EXPECT_STREQ(rows->aRow[0].lpProps[1].Value.lpszA, "a5.bin");
  FreeProws(rows);

  // A restriction may test any column: every value is there for it (never
  // the data).
  SPropValue match;
  match.ulPropTag = PR_ATTACH_LONG_FILENAME_A;
  match.Value.lpszA = const_cast<LPSTR>("a9999.bin");
  SRestriction res;
  res.rt = RES_PROPERTY;
  res.res.resProperty.relop = RELOP_EQ;
  res.res.resProperty.ulPropTag = PR_ATTACH_LONG_FILENAME_A;
  res.res.resProperty.lpProp = &match;
  ASSERT_EQ(table->Restrict(&res, 0), S_OK);
  SizedSPropTagArray(3, wide) = {3, {PR_ATTACH_NUM, PR_ATTACH_ENCODING, PR_ATTACH_DATA_BIN}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&wide), 0), S_OK);
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.l, 9999);
  EXPECT_EQ(rows->aRow[0].lpProps[1].Value.bin.cb, 2000u);
  EXPECT_EQ(PROP_TYPE(rows->aRow[0].lpProps[2].ulPropTag), static_cast<ULONG>(PT_ERROR));
  FreeProws(rows);
}

// Saved, unsaved and deleted attachments of an open message, in number
// order, with the values each has now; a failed read is the table's error.
TEST_F(Store, AttachmentTableOfAChangedMessage) {
  MessageDef m = simpleMessage("three");
  for (const char* n : {"0.txt", "1.txt", "2.txt"}) m.attachments.push_back(Attachment::file(n, n));
  std::string eid = add(m);
  Ref<IMessage> msg;
  openMessage(eid, msg);
  ASSERT_EQ(msg->DeleteAttach(1, 0, nullptr, 0), S_OK);
  {
    Ref<IAttach> added;
    ULONG num = 0;
    ASSERT_EQ(msg->CreateAttach(nullptr, 0, &num, added.out()), S_OK);
    SPropValue name;
    name.ulPropTag = PR_ATTACH_LONG_FILENAME_A;
    name.Value.lpszA = const_cast<LPSTR>("new.txt");
    ASSERT_EQ(added->SetProps(1, &name, nullptr), S_OK);
    ASSERT_EQ(added->SaveChanges(0), S_OK);
  }
  Ref<IMAPITable> table;
  ASSERT_EQ(msg->GetAttachmentTable(0, table.out()), S_OK);
  SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_A}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  mapitest::addFault("IMAPITable::QueryRows", 1, MAPI_E_DISK_ERROR);
  LPSRowSet rows = nullptr;
  EXPECT_EQ(table->QueryRows(10, 0, &rows), MAPI_E_DISK_ERROR);
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  std::vector<std::string> got;
  for (ULONG k = 0; k < rows->cRows; ++k)
    got.push_back(std::to_string(rows->aRow[k].lpProps[0].Value.l) + ":" + rows->aRow[k].lpProps[1].Value.lpszA);
  EXPECT_EQ(got, (std::vector<std::string>{"0:0.txt", "2:2.txt", "3:new.txt"}));
  FreeProws(rows);
  // Columns before the first use, and a fault on the table's own calls.
  Ref<IMAPITable> fresh;
  ASSERT_EQ(msg->GetAttachmentTable(0, fresh.out()), S_OK);
  mapitest::addFault("IMAPITable::SetColumns", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(fresh->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), MAPI_E_CALL_FAILED);
  LPMAPIERROR err = nullptr;
  ASSERT_EQ(fresh->GetLastError(MAPI_E_CALL_FAILED, 0, &err), S_OK);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(err->lpszError), "IMAPITable::SetColumns failed: injected fault 0x80004005");
  MAPIFreeBuffer(err);
  LPSPropTagArray asked = nullptr;
  ASSERT_EQ(fresh->QueryColumns(0, &asked), S_OK);
  ASSERT_EQ(asked->cValues, 8u);  // the default columns
  EXPECT_EQ(asked->aulPropTag[2], PR_ATTACH_SIZE);
  MAPIFreeBuffer(asked);
}

// ---------------------------------------------------------------- named properties

TEST_F(Store, NamedPropertiesMapToStableIds) {
  GUID set = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};  // PS_PUBLIC_STRINGS
  MAPINAMEID byName{&set, MNID_STRING, {}};
  byName.Kind.lpwstrName = const_cast<LPWSTR>(L"Keywords");
  MAPINAMEID byId{&set, MNID_ID, {}};
  byId.Kind.lID = 0x8501;
  LPMAPINAMEID names[2] = {&byName, &byId};
  LPSPropTagArray tags = nullptr;
  EXPECT_EQ(m_store->GetIDsFromNames(2, names, 0, &tags), MAPI_W_ERRORS_RETURNED);
  ASSERT_NE(tags, nullptr);
  EXPECT_EQ(PROP_TYPE(tags->aulPropTag[0]), static_cast<ULONG>(PT_ERROR));
  MAPIFreeBuffer(tags);
  ASSERT_EQ(m_store->GetIDsFromNames(2, names, MAPI_CREATE, &tags), S_OK);
  ULONG first = PROP_ID(tags->aulPropTag[0]), second = PROP_ID(tags->aulPropTag[1]);
  EXPECT_GE(first, 0x8000u);
  EXPECT_NE(first, second);
  MAPIFreeBuffer(tags);
  reopen();
  ASSERT_EQ(m_store->GetIDsFromNames(2, names, 0, &tags), S_OK);
  EXPECT_EQ(PROP_ID(tags->aulPropTag[0]), first);
  ULONG count = 0;
  LPMAPINAMEID* back = nullptr;
  ASSERT_EQ(m_store->GetNamesFromIDs(&tags, nullptr, 0, &count, &back), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(back[0]->ulKind, static_cast<ULONG>(MNID_STRING));
  EXPECT_EQ(std::wstring(back[0]->Kind.lpwstrName), L"Keywords");
  EXPECT_EQ(back[1]->Kind.lID, 0x8501);
  MAPIFreeBuffer(back);
  MAPIFreeBuffer(tags);
}

TEST_F(Store, OpenObjectsOutliveTheStoreAndSession) {
  MessageDef m = simpleMessage("kept");
  m.attachments.push_back(Attachment::file("k.txt", "kept data"));
  std::string eid = add(m);
  Ref<IMessage> msg;
  openMessage(eid, msg);
  Ref<IMAPITable> table;
  ASSERT_EQ(msg->GetAttachmentTable(0, table.out()), S_OK);
  closeStore();  // the caller's store and session go first
  EXPECT_EQ(getString(msg.p, PR_SUBJECT_A), "kept");
  Ref<IAttach> att;
  ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, att.out()), S_OK);
  EXPECT_EQ(getString(att.p, PR_ATTACH_DATA_BIN), "kept data");
  ULONG rows = 0;
  EXPECT_EQ(table->GetRowCount(0, &rows), S_OK);
  EXPECT_EQ(rows, 1u);
  ASSERT_EQ(msg->SetReadFlag(0), S_OK);
  att.reset();
  msg.reset();
  table.reset();
  openStore();
  Ref<IMessage> again;
  openMessage(eid, again);
  EXPECT_EQ(getLong(again.p, PR_MESSAGE_FLAGS) & MSGFLAG_READ, static_cast<LONG>(MSGFLAG_READ));
}

TEST_F(Store, CopyToCarriesNamedProperties) {
  GUID set = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  MAPINAMEID name{&set, MNID_STRING, {}};
  name.Kind.lpwstrName = const_cast<LPWSTR>(L"X-Tolvane-Test");
  LPMAPINAMEID names[1] = {&name};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(m_store->GetIDsFromNames(1, names, MAPI_CREATE, &tags), S_OK);
  ULONG tag = PROP_TAG(PT_STRING8, PROP_ID(tags->aulPropTag[0]));
  MAPIFreeBuffer(tags);
  MessageDef m = simpleMessage("named");
  m.props.push_back(Value::String(tag, "named value"));
  std::string eid = add(m);
  Ref<IMessage> src;
  openMessage(eid, src);
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  Ref<IMessage> dest;
  ASSERT_EQ(inbox->CreateMessage(nullptr, 0, dest.out()), S_OK);
  ASSERT_EQ(src->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, dest.p, 0, nullptr), S_OK);
  EXPECT_EQ(getString(dest.p, tag), "named value");
  EXPECT_EQ(getString(dest.p, PR_SUBJECT_A), "named");
}

// A writer killed at a random point leaves only whole messages: each stored
// message has all its recipients, attachments and embedded message.
TEST_F(Store, AKilledWriterLeavesOnlyWholeMessages) {
  closeStore();  // no connection of this process crosses the fork
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int k = 0; k < 100000; ++k) {
      MessageDef inner = simpleMessage("inner " + std::to_string(k));
      MessageDef m = simpleMessage("message " + std::to_string(k));
      m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_CC, "Bob", "bob@example.com"),
                      Recipient::make(MAPI_BCC, "Cy", "cy@example.com")};
      Attachment big = Attachment::file("big.bin", "");
      big.props.back() = Value::Generated(PR_ATTACH_DATA_BIN, 700 * 1024, pattern);
      m.attachments = {big, Attachment::message("Fwd", inner)};
      std::string eid, error;
      if (FAILED(mapifixture::addMessage("alice", m, eid, error))) _exit(1);
    }
    _exit(0);
  }
  // Let it store a few, then kill it wherever it is.
  for (int wait = 0; wait < 400; ++wait) {
    openStore();
    size_t n = inboxRows().size();
    closeStore();
    if (n >= 3) break;
    usleep(50 * 1000);
  }
  usleep(static_cast<useconds_t>(rand() % 200) * 1000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed";

  openStore();
  auto rows = inboxRows();
  ASSERT_GE(rows.size(), 3u);
  for (const auto& row : rows) {
    Ref<IMessage> msg;
    openMessage(row.first, msg);
    Ref<IMAPITable> recips, atts;
    ASSERT_EQ(msg->GetRecipientTable(0, recips.out()), S_OK);
    ASSERT_EQ(msg->GetAttachmentTable(0, atts.out()), S_OK);
    ULONG r = 0, a = 0;
    ASSERT_EQ(recips->GetRowCount(0, &r), S_OK);
    ASSERT_EQ(atts->GetRowCount(0, &a), S_OK);
    EXPECT_EQ(r, 3u) << row.second;
    ASSERT_EQ(a, 2u) << row.second;
    Ref<IAttach> big;
    ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, big.out()), S_OK);
    Ref<IStream> s;
    ASSERT_EQ(big->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())), S_OK);
    uint64_t total = 0;
    EXPECT_EQ(streamSum(s.p, 65536, total), patternSum(700 * 1024)) << row.second;
    Ref<IAttach> fwd;
    ASSERT_EQ(msg->OpenAttach(1, nullptr, 0, fwd.out()), S_OK);
    Ref<IMessage> inner;
    ASSERT_EQ(fwd->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(inner.out())), S_OK);
    EXPECT_EQ(getString(inner.p, PR_SUBJECT_A), "inner " + row.second.substr(8)) << row.second;
  }
}

// ---------------------------------------------------------------- threads

TEST_F(Store, OneStoreServesSeveralThreads) {
  const int threads = 4, each = 40;
  std::vector<std::thread> workers;
  std::vector<int> failures(threads, 0);
  IMsgStore* store = m_store.p;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([store, t, each, &failures] {
      ULONG cb = 0;
      LPENTRYID inboxId = nullptr;
      if (FAILED(store->GetReceiveFolder(nullptr, 0, &cb, &inboxId, nullptr))) {
        ++failures[t];
        return;
      }
      Ref<IMAPIFolder> inbox;
      ULONG type = 0;
      HRESULT hr = store->OpenEntry(cb, inboxId, nullptr, MAPI_MODIFY, &type, inbox.unk());
      MAPIFreeBuffer(inboxId);
      if (FAILED(hr)) {
        ++failures[t];
        return;
      }
      std::string body(10000, static_cast<char>('a' + t));
      for (int k = 0; k < each; ++k) {
        Ref<IMessage> msg;
        std::string subject = "t" + std::to_string(t) + "-" + std::to_string(k);
        SPropValue v[2] = {};
        v[0].ulPropTag = PR_SUBJECT_A;
        v[0].Value.lpszA = const_cast<char*>(subject.c_str());
        v[1].ulPropTag = PR_BODY_A_;
        v[1].Value.lpszA = const_cast<char*>(body.c_str());
        if (FAILED(inbox->CreateMessage(nullptr, 0, msg.out())) || FAILED(msg->SetProps(2, v, nullptr)) ||
            FAILED(msg->SaveChanges(KEEP_OPEN_READWRITE))) {
          ++failures[t];
          continue;
        }
        std::string eid = getString(msg.p, PR_ENTRYID);
        Ref<IUnknown> again;
        if (FAILED(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(&eid[0]), nullptr,
                                    MAPI_BEST_ACCESS, &type, again.out())) ||
            getString(reinterpret_cast<IMessage*>(again.p), PR_SUBJECT_A) != subject ||
            getString(reinterpret_cast<IMessage*>(again.p), PR_BODY_A_) != body ||
            FAILED(reinterpret_cast<IMessage*>(again.p)->SetReadFlag(0)))
          ++failures[t];
      }
    });
  }
  for (auto& w : workers) w.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  auto rows = inboxRows();
  EXPECT_EQ(rows.size(), static_cast<size_t>(threads * each));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  EXPECT_EQ(getLong(inbox.p, PR_CONTENT_UNREAD), 0);
}

// ---------------------------------------------------------------- faults

TEST_F(Store, PlannedFaultsGiveTheirErrorTexts) {
  std::string eid = add(simpleMessage("x"));
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);
  mapitest::addFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_NOT_ENOUGH_RESOURCES);
  Ref<IMAPITable> table;
  EXPECT_EQ(inbox->GetContentsTable(0, table.out()), MAPI_E_NOT_ENOUGH_RESOURCES);
  EXPECT_NE(lastErrorText(inbox.p, MAPI_E_NOT_ENOUGH_RESOURCES).find("IMAPIFolder::GetContentsTable"), std::string::npos);
  EXPECT_EQ(inbox->GetContentsTable(0, table.out()), S_OK);  // fired once

  Ref<IMessage> msg;
  openMessage(eid, msg);
  mapitest::addFault("IMessage::SaveChanges", 1, MAPI_E_NOT_ENOUGH_DISK);
  SPropValue v{PR_SUBJECT_A, 0, {.lpszA = const_cast<char*>("y")}};
  ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
  EXPECT_EQ(msg->SaveChanges(0), MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_NE(lastErrorText(msg.p, MAPI_E_NOT_ENOUGH_DISK).find("IMessage::SaveChanges"), std::string::npos);

  mapitest::addFault("IMsgStore::OpenEntry", 1, MAPI_E_CALL_FAILED);
  ULONG type = 0;
  Ref<IUnknown> obj;
  EXPECT_EQ(openEntry(eid, type, obj), MAPI_E_CALL_FAILED);
  EXPECT_NE(lastErrorText(m_store.p, MAPI_E_CALL_FAILED).find("IMsgStore::OpenEntry"), std::string::npos);

  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_CALL_FAILED);
  LPSPropValue got = nullptr;
  EXPECT_EQ(HrGetOneProp(msg.p, PR_SUBJECT_A, &got), MAPI_E_CALL_FAILED);
  EXPECT_EQ(got, nullptr);
}

// Every call that CopyTo and the copy's SaveChanges make fails once in
// turn: each run ends with its objects released and its buffers freed, and
// a failed copy leaves nothing stored.
TEST_F(Store, CopyToSurvivesAFaultAtEveryCall) {
  MessageDef inner = simpleMessage("inner");
  inner.recipients.push_back(Recipient::make(MAPI_TO, "Dee", "dee@example.com"));
  inner.attachments.push_back(Attachment::file("i.txt", "inner data"));
  MessageDef m = simpleMessage("outer");
  m.props.push_back(Value::Generated(PR_HTML_, 70 * 1024, pattern));
  m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
  m.attachments.push_back(Attachment::file("a.txt", "attachment a"));
  m.attachments.push_back(Attachment::message("Fwd", inner));
  std::string eid = add(m);
  mapitest::setSizeLimit(64 * 1024);
  Ref<IMAPIFolder> inbox;
  openInbox(inbox);

  auto copyOnce = [&](std::string& text) -> HRESULT {
    Ref<IMessage> src, dest;
    ULONG type = 0;
    HRESULT hr = m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(&eid[0]), nullptr,
                                    MAPI_BEST_ACCESS, &type, src.unk());
    if (FAILED(hr)) {
      text = lastErrorText(m_store.p, hr);
      return hr;
    }
    hr = inbox->CreateMessage(nullptr, 0, dest.out());
    if (FAILED(hr)) {
      text = lastErrorText(inbox.p, hr);
      return hr;
    }
    SizedSPropTagArray(1, excluded) = {1, {PR_BODY_A_}};
    hr = src->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&excluded), 0, nullptr, &IID_IMessage, dest.p, 0,
                     nullptr);
    if (FAILED(hr)) {
      text = lastErrorText(src.p, hr);
      return hr;
    }
    hr = dest->SaveChanges(0);
    if (FAILED(hr)) text = lastErrorText(dest.p, hr);
    return hr;
  };

  // The calls of one clean run.
  mapitest::clearJournal();
  mapitest::startJournal();
  std::string text;
  ASSERT_EQ(copyOnce(text), S_OK);
  mapitest::stopJournal();
  std::vector<std::string> calls = mapitest::journal();
  mapitest::clearJournal();
  size_t stored = inboxRows().size();
  ASSERT_EQ(stored, 2u);

  std::map<std::string, unsigned> seen;
  size_t failedRuns = 0;
  for (const std::string& line : calls) {
    std::string method = line.substr(0, line.find(' '));
    if (method == "GetLastError" || method.find("::GetLastError") != std::string::npos) continue;
    unsigned nth = ++seen[method];
    long objects = mapitest::liveObjects(), buffers = mapitest::liveBuffers();
    mapitest::addFault(method, nth, MAPI_E_CALL_FAILED);
    text.clear();
    HRESULT hr = copyOnce(text);
    mapitest::clearFaults();
    EXPECT_EQ(mapitest::liveObjects(), objects) << method << " #" << nth;
    EXPECT_EQ(mapitest::liveBuffers(), buffers) << method << " #" << nth;
    size_t now = inboxRows().size();
    if (FAILED(hr)) {
      ++failedRuns;
      EXPECT_EQ(now, stored) << method << " #" << nth << ": a failed copy was stored";
      EXPECT_FALSE(text.empty()) << method << " #" << nth;
    } else {
      stored = now;
    }
  }
  EXPECT_GT(failedRuns, 10u);
  if (getenv("STORE_TEST_SHOW_CALLS")) {
    printf("%zu calls, %zu runs failed\n", calls.size(), failedRuns);
    for (const auto& c : calls) printf("  %s\n", c.c_str());
  }
}

// The reads a client makes of a received message, each call failing once in
// turn: nothing leaks whichever call fails.
TEST_F(Store, ReadsSurviveAFaultAtEveryCall) {
  MessageDef inner = simpleMessage("inner");
  inner.attachments.push_back(Attachment::file("i.txt", "inner data"));
  MessageDef m = simpleMessage("outer");
  m.props.push_back(Value::String(PR_BODY_A_, std::string(3000, 'b')));
  m.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
  m.attachments.push_back(Attachment::file("a.txt", std::string(5000, 'a')));
  m.attachments.push_back(Attachment::message("Fwd", inner));
  std::string eid = add(m);
  mapitest::setSizeLimit(1024);

  auto readAll = [&]() -> HRESULT {
    Ref<IMessage> msg;
    ULONG type = 0;
    HRESULT hr = m_store->OpenEntry(32, reinterpret_cast<LPENTRYID>(&eid[0]), nullptr, MAPI_BEST_ACCESS, &type, msg.unk());
    if (FAILED(hr)) return hr;
    msg->SetReadFlag(0);
    LPSPropTagArray list = nullptr;
    if (FAILED(hr = msg->GetPropList(0, &list))) return hr;
    MAPIFreeBuffer(list);
    ULONG count = 0;
    LPSPropValue all = nullptr;
    hr = msg->GetProps(nullptr, 0, &count, &all);
    MAPIFreeBuffer(all);
    if (FAILED(hr)) return hr;
    LPSPropValue body = nullptr;
    hr = HrGetOneProp(msg.p, PR_BODY_A_, &body);
    MAPIFreeBuffer(body);
    if (hr == E_OUTOFMEMORY) {
      Ref<IStream> s;
      if (FAILED(hr = msg->OpenProperty(PR_BODY_A_, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out())))) return hr;
      STATSTG st;
      if (FAILED(hr = s->Stat(&st, STATFLAG_NONAME))) return hr;
      std::string buf(static_cast<size_t>(st.cbSize.QuadPart) + 1, '\0');
      ULONG got = 0;
      if (FAILED(hr = s->Read(&buf[0], static_cast<ULONG>(buf.size()), &got))) return hr;
    }
    Ref<IMAPITable> recips;
    if (FAILED(hr = msg->GetRecipientTable(0, recips.out()))) return hr;
    LPSRowSet rows = nullptr;
    if (FAILED(hr = HrQueryAllRows(recips.p, nullptr, nullptr, nullptr, 0, &rows))) return hr;
    FreeProws(rows);
    Ref<IMAPITable> atts;
    if (FAILED(hr = msg->GetAttachmentTable(0, atts.out()))) return hr;
    SizedSPropTagArray(3, cols) = {3, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_SIZE}};
    if (FAILED(hr = HrQueryAllRows(atts.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows))) return hr;
    for (ULONG k = 0; k < rows->cRows && SUCCEEDED(hr); ++k) {
      Ref<IAttach> att;
      hr = msg->OpenAttach(static_cast<ULONG>(rows->aRow[k].lpProps[0].Value.l), nullptr, MAPI_DEFERRED_ERRORS, att.out());
      if (FAILED(hr)) break;
      if (rows->aRow[k].lpProps[1].Value.l == ATTACH_EMBEDDED_MSG) {
        Ref<IMessage> emb;
        hr = att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(emb.out()));
        if (SUCCEEDED(hr)) {
          LPSPropValue subject = nullptr;
          hr = HrGetOneProp(emb.p, PR_SUBJECT_A, &subject);
          MAPIFreeBuffer(subject);
        }
      } else {
        Ref<IStream> s;
        hr = att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_SHARE_EXCLUSIVE, MAPI_DEFERRED_ERRORS,
                               reinterpret_cast<LPUNKNOWN*>(s.out()));
        char buf[128];
        ULONG got = 1;
        while (SUCCEEDED(hr) && got) hr = s->Read(buf, sizeof buf, &got);
      }
    }
    FreeProws(rows);
    return hr;
  };

  mapitest::clearJournal();
  mapitest::startJournal();
  ASSERT_EQ(readAll(), S_OK);
  mapitest::stopJournal();
  std::vector<std::string> calls = mapitest::journal();
  mapitest::clearJournal();
  std::map<std::string, unsigned> seen;
  size_t failedRuns = 0;
  for (const std::string& line : calls) {
    std::string method = line.substr(0, line.find(' '));
    if (method.find("GetLastError") != std::string::npos) continue;
    unsigned nth = ++seen[method];
    long objects = mapitest::liveObjects(), buffers = mapitest::liveBuffers();
    mapitest::addFault(method, nth, MAPI_E_CALL_FAILED);
    if (FAILED(readAll())) ++failedRuns;
    mapitest::clearFaults();
    EXPECT_EQ(mapitest::liveObjects(), objects) << method << " #" << nth;
    EXPECT_EQ(mapitest::liveBuffers(), buffers) << method << " #" << nth;
  }
  EXPECT_GT(failedRuns, 20u);
}

TEST_F(Store, JournalNamesTheStoreCalls) {
  std::string eid = add(simpleMessage("x"));
  mapitest::startJournal();
  Ref<IMessage> msg;
  openMessage(eid, msg);
  ASSERT_EQ(msg->SetReadFlag(0), S_OK);
  mapitest::stopJournal();
  EXPECT_EQ(mapitest::journalCount("IMsgStore::OpenEntry"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMessage::SetReadFlag"), 1u);
}

}  // namespace
