// Copies of whole stores between the engines (tolvane/storecopy.h), on a
// private PostgreSQL server (run by pgserver.sh): all that a mailbox holds
// arrives with its ids on both engines and the profile reads it there; an
// interrupted copy goes on and ends exact; targets with data of their own
// are refused, bare ones replaced; a busy or changing source fails with
// nothing finished.
#include "store/engines.h"
#include "store/entryid.h"
#include "store/storedb.h"
#include "store/valuecodec.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapix.h>
#include <mapiutil.h>
#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>
#include <tolvane/storecopy.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using tmapi::ObjectId;
using tmapi::Prop;
using tmapi::StoreDb;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

std::string env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

std::unique_ptr<StoreDb> openStore(const std::string& location) {
  StoreDb* db = nullptr;
  std::string error;
  EXPECT_EQ(StoreDb::open(location, &db, error), S_OK) << error;
  return std::unique_ptr<StoreDb>(db);
}

uint64_t fnv(const std::string& s, uint64_t h = 1469598103934665603ULL) {
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
  return h;
}

// Everything a store holds, one line per object, value, name and queue
// entry, ids and all (long values by their size and a hash of every byte,
// read in pieces as a reader would).
std::vector<std::string> dump(StoreDb& db) {
  std::vector<std::string> out;
  const tmapi::StoreFolders& f = db.folders();
  out.push_back("store " + std::to_string(fnv(std::string(reinterpret_cast<const char*>(db.uid().ab), 16))) + " " +
                db.displayName() + " " + std::to_string(f.root) + " " + std::to_string(f.ipmSubtree) + " " +
                std::to_string(f.inbox) + " " + std::to_string(f.outbox) + " " + std::to_string(f.sentItems) + " " +
                std::to_string(f.deletedItems) + " " + std::to_string(f.drafts));
  std::vector<StoreDb::ObjectRow> rows;
  EXPECT_EQ(db.allObjects(rows), S_OK) << db.lastError();
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  for (const auto& r : rows) {
    out.push_back("object " + std::to_string(r.id) + " kind " + std::to_string(r.kind) + " in " +
                  std::to_string(r.parent) + " at " + std::to_string(r.position));
    std::vector<ULONG> tags;
    EXPECT_EQ(db.propTags(r.id, tags), S_OK);
    for (ULONG tag : tags) {
      char head[32];
      snprintf(head, sizeof head, "  %08X ", static_cast<unsigned>(tag));
      if (tmapi::isBytesType(PROP_TYPE(tag))) {
        ULONG type = 0;
        uint64_t size = 0;
        bool found = false;
        EXPECT_EQ(db.valueInfo(r.id, PROP_ID(tag), type, size, found), S_OK);
        std::string piece(64 * 1024, '\0');
        uint64_t h = fnv("");
        for (uint64_t off = 0; off < size;) {
          size_t got = 0;
          EXPECT_EQ(db.readRange(r.id, PROP_ID(tag), off, &piece[0], piece.size(), got), S_OK);
          if (got == 0) break;
          h = fnv(piece.substr(0, got), h);
          off += got;
        }
        out.push_back(head + std::to_string(size) + " bytes " + std::to_string(h));
        continue;
      }
      tmapi::PropRow v;
      EXPECT_EQ(db.getProps(r.id, {tag}, 0xFFFFFFFF, v), S_OK);
      std::string text = std::to_string(v[0].i) + " " + std::to_string(v[0].d);
      for (const auto& s : v[0].mv) text += " [" + s + "]";
      for (int64_t n : v[0].mvi) text += " " + std::to_string(n);
      out.push_back(head + text);
    }
  }
  std::vector<StoreDb::NamedProp> names;
  EXPECT_EQ(db.allNamedProps(names), S_OK);
  for (const auto& n : names)
    out.push_back("name " + std::to_string(n.id) + " " +
                  std::to_string(fnv(std::string(reinterpret_cast<const char*>(&n.guid), sizeof n.guid))) + " " +
                  std::to_string(n.kind) + " " + std::to_string(n.lid) + " " + n.name);
  std::vector<StoreDb::QueueEntry> queue;
  EXPECT_EQ(db.queueEntries(queue), S_OK);
  for (const auto& e : queue) {
    out.push_back("queued " + std::to_string(e.id) + " message " + std::to_string(e.message) + " " +
                  std::to_string(e.queuedAt) + " " + std::to_string(e.attempts) + " " + std::to_string(e.nextAttempt) +
                  " " + e.lastError + " lease '" + e.leaseOwner + "' " + std::to_string(e.leaseUntil));
    std::vector<StoreDb::QueueRecipient> done;
    EXPECT_EQ(db.queueRecipients(e.id, done), S_OK);
    for (const auto& q : done)
      out.push_back("  row " + std::to_string(q.rowId) + " " + std::to_string(q.state) + " " + q.address + " " +
                    q.displayName + " " + q.status + " " + q.detail + " " + std::to_string(q.at));
  }
  return out;
}

std::vector<std::string> dumpOf(const std::string& location) {
  std::unique_ptr<StoreDb> db = openStore(location);
  return db ? dump(*db) : std::vector<std::string>();
}

// "x" repeated from offset on, as a generated value.
void letters(uint64_t offset, char* buf, size_t n) {
  for (size_t k = 0; k < n; ++k) buf[k] = static_cast<char>('a' + (offset + k) % 26);
}

class StoreCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env("TOLVANE_TEST_PG").empty()) << "run through tests/pg/pgserver.sh";
    char tmpl[] = "/tmp/tolvane-storecopy-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_home = tmpl;
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::setBackgroundSpooler(false);
    // Each test its own mailboxes.
    m_prefix = m_home.substr(m_home.rfind('-') + 1) + "-";
    fill();
  }
  void TearDown() override {
    mapitest::reset();
    nftw(m_home.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string pg(const std::string& mailbox) { return env("TOLVANE_TEST_PG") + " mailbox=" + m_prefix + mailbox; }

  // The profile alice's store (SQLite): a moved message in a folder of
  // its own, an unread one with named properties, attachments (one of
  // 400 KiB, kept in a file of its own) with a 100 KiB body, an attached
  // message with an attachment of its own, and a submitted draft whose
  // first attempt reached one recipient and failed for a while.
  void fill() {
    mapiprofile::Profile p;
    p.name = "alice";
    p.address = "alice@example.com";
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    m_source = p.storePath;
    using mapifixture::Attachment;
    using mapifixture::MessageDef;
    using mapifixture::Recipient;
    using mapifixture::Value;
    MessageDef unread;
    unread.props = {Value::String(PR_SUBJECT_A, "Grüße, unread"), Value::Long(PR_MESSAGE_FLAGS, 0),
                    Value::MultiString(PROP_TAG(PT_MV_STRING8, 0x6710), {"a", "b"})};
    unread.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"),
                         Recipient::make(MAPI_CC, "Ben", "ben@example.com")};
    MessageDef files;
    files.props = {Value::String(PR_SUBJECT_A, "Files"), Value::Generated(PR_BODY_A, 100 * 1024, letters)};
    Attachment big = Attachment::file("big.bin", "");
    for (auto& v : big.props)
      if (v.tag == PR_ATTACH_DATA_BIN) v = Value::Generated(PR_ATTACH_DATA_BIN, 400 * 1024, letters);
    files.attachments = {Attachment::file("a.txt", "small"), big};
    MessageDef inner;
    inner.props = {Value::String(PR_SUBJECT_A, "Inner")};
    inner.attachments = {Attachment::file("inner.txt", "inside")};
    MessageDef outer;
    outer.props = {Value::String(PR_SUBJECT_A, "Outer")};
    outer.attachments = {Attachment::message("Inner", inner)};
    MessageDef moved;
    moved.props = {Value::String(PR_SUBJECT_A, "Moved")};
    MessageDef draft;
    draft.props = {Value::String(PR_SUBJECT_A, "Draft")};
    draft.recipients = {Recipient::make(MAPI_TO, "Cy", "cy@example.com"),
                        Recipient::make(MAPI_TO, "Di", "di@example.com")};
    std::string eid;
    for (MessageDef* m : {&unread, &files, &outer, &moved}) {
      ASSERT_EQ(mapifixture::addMessage("alice", *m, eid, error), S_OK) << error;
      m_entryIds.push_back(eid);
    }
    ASSERT_EQ(mapifixture::addMessage("alice", draft, eid, error, mapifixture::Folder::Drafts), S_OK) << error;

    std::unique_ptr<StoreDb> db = openStore(m_source);
    ASSERT_TRUE(db);
    std::vector<ObjectId> ids;
    ASSERT_EQ(db->children(db->folders().inbox, MAPI_MESSAGE, ids), S_OK);
    ASSERT_EQ(ids.size(), 4u);
    ObjectId projects = 0;
    ASSERT_EQ(db->createObject(MAPI_FOLDER, db->folders().inbox, 0, projects), S_OK);
    ASSERT_EQ(db->setProps(projects, {Prop::String(PR_DISPLAY_NAME_A, "Projects")}), S_OK);
    ASSERT_EQ(db->moveObject(ids[3], projects), S_OK);
    const GUID set = {0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    ULONG named = 0, lid = 0;
    ASSERT_EQ(db->namedPropId(set, MNID_STRING, 0, "Keywords", true, named), S_OK);
    ASSERT_EQ(db->namedPropId(set, MNID_ID, 0x8501, "", true, lid), S_OK);
    ASSERT_EQ(db->setProps(ids[0], {Prop::MultiString(PROP_TAG(PT_MV_STRING8, named), {"red", "grün"}),
                                    Prop::Long(PROP_TAG(PT_LONG, lid), 15)}),
              S_OK);
    ASSERT_EQ(db->children(db->folders().drafts, MAPI_MESSAGE, ids), S_OK);
    int64_t queueId = 0;
    ASSERT_EQ(db->enqueue(ids[0], 1000, queueId), S_OK);
    StoreDb::LeaseTime now = StoreDb::LeaseTime::now();
    StoreDb::QueueEntry entry;
    bool found = false;
    ASSERT_EQ(db->claimQueued(0, false, now, "spooler-1", 60000, entry, found), S_OK);
    ASSERT_TRUE(found);
    StoreDb::QueueRecipient done;
    done.rowId = 0;
    done.address = "cy@example.com";
    done.displayName = "Cy";
    done.at = 2000;
    ASSERT_EQ(db->recordRecipients(queueId, "spooler-1", now, 60000, {done}), S_OK);
    ASSERT_EQ(db->deferQueued(queueId, "spooler-1", now.wall + 60000, "451 4.3.0 try later"), S_OK);
  }

  std::string m_home, m_prefix, m_source;
  std::vector<std::string> m_entryIds;  // alice's Inbox, as stored
};

// The subject of a message of alice's store, read through MAPI by the
// profile with the entry identifier the message had when it was stored.
std::string subjectThroughProfile(const std::string& entryId) {
  mapiprofile::Profile p;
  std::string error;
  if (FAILED(mapiprofile::load("alice", p, error))) return error;
  LPMAPISESSION session = nullptr;
  if (FAILED(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("alice")), nullptr, 0, &session)))
    return "no logon";
  std::string storeId = tmapi::makeStoreEntryId(p.storeUid);
  LPMDB store = nullptr;
  std::string subject = "no store";
  if (SUCCEEDED(session->OpenMsgStore(0, static_cast<ULONG>(storeId.size()),
                                      reinterpret_cast<LPENTRYID>(&storeId[0]), nullptr, MAPI_BEST_ACCESS, &store))) {
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    subject = "no message";
    if (SUCCEEDED(store->OpenEntry(static_cast<ULONG>(entryId.size()),
                                   reinterpret_cast<LPENTRYID>(const_cast<char*>(entryId.data())), nullptr, 0, &type,
                                   &unk))) {
      LPSPropValue v = nullptr;
      if (SUCCEEDED(HrGetOneProp(reinterpret_cast<LPMAPIPROP>(unk), PR_SUBJECT_A, &v))) subject = v->Value.lpszA;
      MAPIFreeBuffer(v);
      unk->Release();
    }
    store->Release();
  }
  session->Logoff(0, 0, 0);
  session->Release();
  return subject;
}

HRESULT copy(const std::string& from, const std::string& to, mapistore::CopyResult& result, std::string& error,
             const std::function<void(const mapistore::CopyProgress&)>& progress = nullptr) {
  return mapistore::copyStore(from, to, progress, result, error);
}

TEST_F(StoreCopy, KeepsEveryPartOfAMailboxOnBothEngines) {
  ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  std::vector<std::string> original = dumpOf(m_source);
  ASSERT_GT(original.size(), 100u);
  std::string back = m_home + "/back.db";
  std::string inPg = pg("alice");
  mapistore::CopyResult result;
  std::string error;
  // SQLite -> PostgreSQL -> SQLite, and each time the profile reads the
  // copy by the entry identifiers it gave out, and stores new mail there.
  for (const auto& step : {std::make_pair(m_source, inPg), std::make_pair(inPg, back)}) {
    ASSERT_EQ(copy(step.first, step.second, result, error), S_OK) << error;
    EXPECT_EQ(result.messages, 5u);
    EXPECT_EQ(result.copied, 5u);
    EXPECT_EQ(result.folders, 8u);
    EXPECT_EQ(result.attachments, 4u);
    EXPECT_EQ(dumpOf(step.second), original) << "copied to " << step.second;
    mapiprofile::Profile p;
    ASSERT_EQ(mapiprofile::load("alice", p, error), S_OK) << error;
    ASSERT_EQ(mapiprofile::setStore(p, step.second, error), S_OK) << error;
    ASSERT_EQ(mapiprofile::write(p, error), S_OK) << error;
    EXPECT_EQ(subjectThroughProfile(m_entryIds[0]), "Grüße, unread");
    EXPECT_EQ(subjectThroughProfile(m_entryIds[2]), "Outer");
  }
  mapifixture::MessageDef later;
  later.props = {mapifixture::Value::String(PR_SUBJECT_A, "After the move")};
  std::string eid;
  ASSERT_EQ(mapifixture::addMessage("alice", later, eid, error), S_OK) << error;
  EXPECT_EQ(subjectThroughProfile(eid), "After the move");
  // The PostgreSQL copy takes new mail too: its ids go on past the copied
  // ones.
  mapiprofile::Profile p;
  ASSERT_EQ(mapiprofile::load("alice", p, error), S_OK);
  ASSERT_EQ(mapiprofile::setStore(p, inPg, error), S_OK) << error;
  ASSERT_EQ(mapiprofile::write(p, error), S_OK);
  ASSERT_EQ(mapifixture::addMessage("alice", later, eid, error), S_OK) << error;
  EXPECT_EQ(subjectThroughProfile(eid), "After the move");
  // The keys of delivered messages go along from mailbox to mailbox.
  {
    std::unique_ptr<StoreDb> db = openStore(inPg);
    std::vector<ObjectId> ids;
    ASSERT_EQ(db->children(db->folders().inbox, MAPI_MESSAGE, ids), S_OK);
    ASSERT_EQ(db->begin(), S_OK);
    ASSERT_EQ(db->keepDeliveryKey("key of the first", ids[0]), S_OK) << db->lastError();
    ASSERT_EQ(db->keepDeliveryKey("key of the last", ids.back()), S_OK) << db->lastError();
    ASSERT_EQ(db->commit(), S_OK);
    StoreDb::DeliveryKeys keys, copied;
    ASSERT_EQ(db->deliveryKeys(keys), S_OK);
    ASSERT_EQ(keys.size(), 2u);
    ASSERT_EQ(copy(inPg, pg("again"), result, error), S_OK) << error;
    ASSERT_EQ(openStore(pg("again"))->deliveryKeys(copied), S_OK);
    EXPECT_EQ(copied, keys);
  }
  // A store of another identity is not the profile's.
  EXPECT_EQ(mapiprofile::setStore(p, pg("other-never"), error), MAPI_E_NOT_FOUND);
  MAPIUID uid;
  ASSERT_EQ(StoreDb::create(pg("stranger"), "Stranger", uid, error), S_OK) << error;
  EXPECT_EQ(mapiprofile::setStore(p, pg("stranger"), error), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(error, "The message store " + pg("stranger") +
                       " is not the store of the profile 'alice' (it has another identity): copy the profile's store "
                       "there first (tolvane-mapi store copy)");
  MAPIUninitialize();
}

TEST_F(StoreCopy, GoesOnAfterAnInterruptionAndEndsExact) {
  std::string back = m_home + "/back.db";
  // Commits: the unfinished copy (SQLite only: PostgreSQL makes it in one
  // statement), the folders and names, then one per message: the third
  // message fails.
  struct Case {
    std::string to;
    unsigned failingCommit;
    HRESULT refused;
    std::string refusal;
  };
  const Case cases[] = {
      {back, 5, MAPI_E_BUSY,
       "The message store " + back + " is an unfinished copy of " + m_source +
           ": run tolvane-mapi store copy again to finish it"},
      {pg("interrupted"), 4, MAPI_E_NOT_FOUND,
       "There is no message store: the mailbox '" + m_prefix + "interrupted' in " + env("TOLVANE_TEST_PG") +
           " does not exist yet, a copy into it is unfinished (run tolvane-mapi store copy again to finish it)"},
  };
  LONG flags = MSGFLAG_READ;
  for (const Case& c : cases) {
    mapistore::CopyResult result;
    std::string error;
    mapitest::addFault("StoreDb::commit", c.failingCommit, MAPI_E_DISK_ERROR);
    ASSERT_EQ(copy(m_source, c.to, result, error), MAPI_E_DISK_ERROR);
    mapitest::clearFaults();
    EXPECT_EQ(error, "Message 3 of 5 could not be copied: StoreDb::commit failed: injected fault 0x80040116. The copy at " +
                         c.to + " is unfinished: run the copy again to go on from where it stopped");
    StoreDb* db = nullptr;
    EXPECT_EQ(StoreDb::open(c.to, &db, error), c.refused);
    EXPECT_EQ(error, c.refusal);
    // Meanwhile the first message (copied) is read and the folder of the
    // moved one renamed; the second stays as it was.
    {
      std::unique_ptr<StoreDb> src = openStore(m_source);
      std::vector<ObjectId> ids;
      ASSERT_EQ(src->children(src->folders().inbox, MAPI_MESSAGE, ids), S_OK);
      ASSERT_EQ(src->setProps(ids[0], {Prop::Long(PR_MESSAGE_FLAGS, flags)}), S_OK);
      flags ^= MSGFLAG_READ;
      ASSERT_EQ(src->children(src->folders().inbox, MAPI_FOLDER, ids), S_OK);
      ASSERT_EQ(src->setProps(ids[0], {Prop::String(PR_DISPLAY_NAME_A, "Projects " + c.to)}), S_OK);
    }
    ASSERT_EQ(copy(m_source, c.to, result, error), S_OK) << error;
    EXPECT_EQ(result.messages, 5u);
    EXPECT_EQ(result.copied, 4u) << "the second message was kept";
    EXPECT_EQ(dumpOf(c.to), dumpOf(m_source));
  }
}

TEST_F(StoreCopy, RefusesTargetsWithDataOfTheirOwnAndReplacesBareOnes) {
  mapistore::CopyResult result;
  std::string error;
  MAPIUID uid;
  // A mailbox with a message, a store file with a folder of its own: each
  // refused as it is, with nothing written.
  std::string full = pg("full"), foldered = m_home + "/foldered.db";
  ASSERT_EQ(StoreDb::create(full, "Full", uid, error), S_OK) << error;
  ASSERT_EQ(StoreDb::create(foldered, "Foldered", uid, error), S_OK) << error;
  {
    std::unique_ptr<StoreDb> a = openStore(full), b = openStore(foldered);
    ObjectId id = 0;
    ASSERT_EQ(a->createObject(MAPI_MESSAGE, a->folders().inbox, 0, id), S_OK);
    ASSERT_EQ(b->createObject(MAPI_FOLDER, b->folders().inbox, 0, id), S_OK);
  }
  for (const std::string& target : {full, foldered}) {
    std::vector<std::string> before = dumpOf(target);
    EXPECT_EQ(copy(m_source, target, result, error), MAPI_E_COLLISION);
    EXPECT_EQ(error, "The target " + target +
                         " holds a message store with messages, folders or names of its own; nothing was written");
    EXPECT_EQ(dumpOf(target), before);
    StoreDb* db = nullptr;
    EXPECT_EQ(tmapi::storeEngineFor(target).openCopy(target, &db, error), MAPI_E_NOT_FOUND) << "no copy begun";
  }
  // Bare stores (what profile create makes) are replaced by the copy.
  std::string bare = pg("bare"), bareFile = m_home + "/bare.db";
  ASSERT_EQ(StoreDb::create(bare, "Bare", uid, error), S_OK) << error;
  ASSERT_EQ(StoreDb::create(bareFile, "Bare", uid, error), S_OK) << error;
  std::vector<std::string> original = dumpOf(m_source);
  for (const std::string& target : {bare, bareFile}) {
    ASSERT_EQ(copy(m_source, target, result, error), S_OK) << error;
    EXPECT_EQ(dumpOf(target), original);
  }
}

TEST_F(StoreCopy, FailsWhenTheSourceIsBusyOrChangesUnderIt) {
  mapistore::CopyResult result;
  std::string error;
  std::string target = pg("changing");
  // A spooler sending a queued message now: refused before anything is
  // written.
  {
    std::unique_ptr<StoreDb> src = openStore(m_source);
    StoreDb::QueueEntry entry;
    bool found = false;
    ASSERT_EQ(src->claimQueued(0, false, StoreDb::LeaseTime::now(), "spooler-2", 60000, entry, found), S_OK);
    ASSERT_TRUE(found);
    EXPECT_EQ(copy(m_source, target, result, error), MAPI_E_BUSY);
    EXPECT_EQ(error, "A spooler is sending a queued message of " + m_source +
                         " now: stop the spoolers of that store and run the copy again; nothing was written");
    StoreDb* db = nullptr;
    EXPECT_EQ(tmapi::storeEngineFor(target).openCopy(target, &db, error), MAPI_E_NOT_FOUND);
    ASSERT_EQ(src->deferQueued(entry.id, "spooler-2", entry.nextAttempt, "stopped"), S_OK);
  }
  // A message stored while the copy runs (after its folder was copied):
  // the totals differ, the copy stays unfinished, and run again it ends
  // exact.
  auto deliverOne = [&](const mapistore::CopyProgress& p) {
    if (p.messages != p.messagesTotal) return;
    mapifixture::MessageDef late;
    late.props = {mapifixture::Value::String(PR_SUBJECT_A, "Late")};
    std::string eid, why;
    ASSERT_EQ(mapifixture::addMessage(m_source, late, eid, why), S_OK) << why;
  };
  EXPECT_EQ(copy(m_source, target, result, error, deliverOne), MAPI_E_CALL_FAILED);
  std::string mismatch = error;
  StoreDb::Totals a, b;
  std::unique_ptr<StoreDb> src = openStore(m_source);
  ASSERT_EQ(src->totals(a), S_OK);
  StoreDb* opened = nullptr;
  ASSERT_EQ(tmapi::storeEngineFor(target).openCopy(target, &opened, error), S_OK) << error;
  std::unique_ptr<StoreDb> dst(opened);
  ASSERT_EQ(dst->totals(b), S_OK);
  EXPECT_EQ(a.messages, b.messages + 1);
  EXPECT_EQ(mismatch, "The copy does not match its source (messages: " + std::to_string(a.messages) +
                          " in the source, " + std::to_string(b.messages) + " in the copy; bytes of values: " +
                          std::to_string(a.bytes) + " in the source, " + std::to_string(b.bytes) +
                          " in the copy), which may have changed meanwhile. The copy at " + target +
                          " is unfinished: run the copy again to go on from where it stopped");
  dst.reset();
  ASSERT_EQ(copy(m_source, target, result, error), S_OK) << error;
  EXPECT_EQ(result.messages, 6u);
  EXPECT_EQ(result.copied, 1u);
  EXPECT_EQ(dumpOf(target), dumpOf(m_source));
}

}  // namespace
