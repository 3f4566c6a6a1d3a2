// The message store's database layer: the only code that holds SQL. Every
// statement, the schema and the transactions live behind this interface,
// which each store engine implements in files of its own
// (store/engines.h): SQLite, one file per mailbox (sqlite_store.h), and
// PostgreSQL, many mailboxes in one database shared by several hosts
// (store/pg/). The providers above see only StoreDb.
//
// The objects of a store: one per folder, message, attachment and
// recipient, each with a kind (the MAPI object type: MAPI_FOLDER,
// MAPI_MESSAGE, MAPI_ATTACH, MAPI_MAILUSER for recipient rows), a parent
// (the parent folder, the message's folder, the attachment's or
// recipient's message, or the attachment of an embedded message) and a
// position (the attachment number or recipient row id). Ids are never
// reused, so entry identifiers stay unique for the life of the store.
// Each object holds typed values, one per property id; strings are kept as
// UTF-8 under PT_STRING8 / PT_MV_STRING8. Deleting an object deletes its
// children and their values.
#ifndef TOLVANE_MAPI_STOREDB_H
#define TOLVANE_MAPI_STOREDB_H

#include "runtime/prop.h"

#include <mapidefs.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tmapi {

using ObjectId = int64_t;

struct StoreFolders {
  ObjectId root = 0;
  ObjectId ipmSubtree = 0;  // "Top of Information Store"
  ObjectId inbox = 0;
  ObjectId outbox = 0;
  ObjectId sentItems = 0;
  ObjectId deletedItems = 0;
  ObjectId drafts = 0;
};

// A StoreDb may be used from several threads: each call holds the
// connection while it runs, and a transaction holds it for its thread from
// begin() to the outermost commit() or rollback().
class StoreDb {
 public:
  // The largest piece a PieceReader is asked for, and the unit in which
  // streams read long values.
  static constexpr size_t kChunkSize = 256 * 1024;

  virtual ~StoreDb() = default;
  StoreDb(const StoreDb&) = delete;
  StoreDb& operator=(const StoreDb&) = delete;

  // Creates a new store at `location` (a file path, or another engine's
  // location: store/engines.h picks the engine) with the standard folder
  // tree, failing with MAPI_E_COLLISION when one exists there. uid receives
  // the store's 16-byte identity.
  static HRESULT create(const std::string& location, const std::string& displayName, MAPIUID& uid,
                        std::string& error);

  // Opens an existing store for reading and writing. Nothing is written
  // before the place has been recognised as a store of this kind and
  // format, so a failed open leaves it as it was.
  static HRESULT open(const std::string& location, StoreDb** db, std::string& error);

  const MAPIUID& uid() const { return m_uid; }
  const StoreFolders& folders() const { return m_folders; }
  const std::string& displayName() const { return m_displayName; }
  // Where the store is, as the profile names it (the key of its spooler).
  const std::string& path() const { return m_location; }

  // Object rows.
  virtual HRESULT objectKind(ObjectId id, ULONG& kind, ObjectId& parent) = 0;
  virtual HRESULT children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids) = 0;
  virtual HRESULT createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id) = 0;
  virtual HRESULT deleteObject(ObjectId id) = 0;
  virtual HRESULT objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position) = 0;
  // Gives the object another parent (a message another folder).
  virtual HRESULT moveObject(ObjectId id, ObjectId newParent) = 0;
  // Children of one kind with their positions, in (position, id) order.
  virtual HRESULT childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& children) = 0;
  // Number of children of one kind; unreadOnly counts messages whose
  // PR_MESSAGE_FLAGS lack MSGFLAG_READ.
  virtual HRESULT countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count) = 0;
  // Bytes held by the object and everything below it (values, pieces).
  virtual HRESULT treeSize(ObjectId id, uint64_t& size) = 0;

  // Rows for tables: the children of one kind of a parent, in creation
  // order (then stably by position), each with the stored values of the
  // properties named in propIds (tags, of which only the ids count; empty:
  // every property). Values larger than
  // maxBytes are not read: they come back as PT_ERROR with
  // MAPI_E_NOT_ENOUGH_MEMORY. One statement for all rows, so a folder of
  // 100,000 messages is one pass over the index.
  struct ChildRow {
    ObjectId id = 0;
    int64_t position = 0;
    PropRow props;
  };
  virtual HRESULT childRows(ObjectId parent, ULONG kind, const std::vector<ULONG>& propIds, ULONG maxBytes,
                    std::vector<ChildRow>& rows) = 0;
  // Bytes of values that childRows has read from the database in this
  // process, all connections together (integers count 8): what a table
  // costs, for tests.
  static uint64_t rowValueBytes();

  // Property values. Reads of string and binary values larger than
  // sizeLimit give a PT_ERROR value with MAPI_E_NOT_ENOUGH_MEMORY (they must
  // be streamed); reads of absent properties give PT_ERROR with
  // MAPI_E_NOT_FOUND. A tag of type PT_UNICODE or PT_UNSPECIFIED matches the
  // stored value of that property id.
  virtual HRESULT getProps(ObjectId id, const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& values) = 0;
  virtual HRESULT getAllProps(ObjectId id, ULONG sizeLimit, PropRow& values) = 0;
  virtual HRESULT propTags(ObjectId id, std::vector<ULONG>& tags) = 0;
  virtual HRESULT setProps(ObjectId id, const PropRow& values) = 0;
  virtual HRESULT deleteProps(ObjectId id, const std::vector<ULONG>& tags) = 0;

  // Large values, in pieces (propId: a property id, not a tag). valueInfo
  // tells the stored type (strings as
  // PT_STRING8) and size in bytes of a string or binary value; found is
  // false when the object has no such property. readRange copies up to n
  // bytes from offset (got < n only at the end of the value) without
  // reading more than one stored piece at a time.
  virtual HRESULT valueInfo(ObjectId id, ULONG propId, ULONG& type, uint64_t& size, bool& found) = 0;
  virtual HRESULT readRange(ObjectId id, ULONG propId, uint64_t offset, void* buf, size_t n, size_t& got) = 0;
  // Stores a string or binary value of `size` bytes (tag gives id and
  // type), asking `read` for it piece by piece (offset, buffer, count; the
  // pieces are at most kChunkSize). The value never sits in memory whole.
  using PieceReader = std::function<HRESULT(uint64_t offset, void* buf, size_t n)>;
  virtual HRESULT setValueFromPieces(ObjectId id, ULONG tag, uint64_t size, const PieceReader& read) = 0;

  // The named-property map. kind is MNID_ID (lid) or MNID_STRING (name,
  // UTF-8). namedPropId gives MAPI_E_NOT_FOUND for an unknown name unless
  // create, which allocates the next id from 0x8000 (MAPI_E_TOO_BIG when
  // the range is used up).
  virtual HRESULT namedPropId(const GUID& guid, ULONG kind, LONG lid, const std::string& name, bool create, ULONG& propId) = 0;
  virtual HRESULT namedPropName(ULONG propId, GUID& guid, ULONG& kind, LONG& lid, std::string& name) = 0;

  // The submission queue. Times are milliseconds since
  // 1970 (UTC).
  //
  // A moment as spoolers judge leases: the wall clock, and the time since
  // this host booted with the boot's id. A lease taken in this boot ends on
  // the boot clock, which no step of the wall clock (an NTP correction, a
  // change by hand) moves; a lease of another boot ends on the wall clock.
  struct LeaseTime {
    int64_t wall = 0;
    std::string boot;  // "" when the host tells none: wall clock only
    int64_t sinceBoot = 0;
    static LeaseTime now();
    LeaseTime after(int64_t ms) const {
      LeaseTime t = *this;
      t.wall += ms;
      t.sinceBoot += ms;
      return t;
    }
  };
  struct QueueEntry {
    int64_t id = 0;  // never reused
    ObjectId message = 0;
    int64_t queuedAt = 0;
    int64_t attempts = 0;
    int64_t nextAttempt = 0;
    std::string lastError;
    std::string leaseOwner;  // "" when no spooler holds it
    int64_t leaseUntil = 0;  // on the wall clock
    std::string leaseBoot;   // the boot the lease was taken in, if known
    int64_t leaseBootUntil = 0;
    // Records that `owner` holds the entry from `now` for `leaseMs`.
    void heldBy(const std::string& owner, const LeaseTime& now, int64_t leaseMs) {
      leaseOwner = owner;
      leaseUntil = now.wall + leaseMs;
      leaseBoot = now.boot;
      leaseBootUntil = now.boot.empty() ? 0 : now.sinceBoot + leaseMs;
    }
    // Whether a spooler's lease holds the entry at t.
    bool heldAt(const LeaseTime& t) const {
      if (leaseOwner.empty()) return false;
      if (!leaseBoot.empty() && leaseBoot == t.boot) return leaseBootUntil > t.sinceBoot;
      return leaseUntil > t.wall;
    }
  };
  // Delivered and failed recipients are done; a waiting one was refused for
  // a while (a 4xx reply: status and detail keep the last reply) and is
  // tried again.
  enum RecipientState { kRecipientDelivered = 1, kRecipientFailed = 2, kRecipientWaiting = 3 };
  struct QueueRecipient {
    ULONG rowId = 0;  // PR_ROWID of the message's recipient row
    int state = kRecipientDelivered;
    std::string address;
    std::string displayName;
    std::string status;  // enhanced status code of a failure ("5.1.1")
    std::string detail;  // why it failed, in words
    int64_t at = 0;
  };
  // Queues a message (inside the caller's transaction, with the message's
  // submitted state): due at once. MAPI_E_COLLISION when it is queued.
  virtual HRESULT enqueue(ObjectId message, int64_t now, int64_t& queueId) = 0;
  // The queue entry of a message; found false when it is not queued.
  virtual HRESULT queueEntryOf(ObjectId message, QueueEntry& entry, bool& found) = 0;
  virtual HRESULT queueEntries(std::vector<QueueEntry>& entries) = 0;
  // Takes the lease of the first entry after afterId (in id order) that no
  // live lease holds and, when dueOnly, whose next attempt has come: the
  // entry is owner's for leaseMs from now. The message's PR_SUBMIT_FLAGS
  // gets SUBMITFLAG_LOCKED. found false when there is none.
  virtual HRESULT claimQueued(int64_t afterId, bool dueOnly, const LeaseTime& now, const std::string& owner, int64_t leaseMs,
                      QueueEntry& entry, bool& found) = 0;
  virtual HRESULT queueRecipients(int64_t queueId, std::vector<QueueRecipient>& rows) = 0;
  // Records recipients as done and renews owner's lease for leaseMs from
  // now. MAPI_E_OBJECT_CHANGED when owner no longer holds the entry
  // (nothing is recorded then).
  virtual HRESULT recordRecipients(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                           const std::vector<QueueRecipient>& rows) = 0;
  // Takes a queued message back before it went to a transport: its entry
  // goes and the message is no longer submitted (still unsent), in one
  // transaction. MAPI_E_NOT_FOUND when it is not queued;
  // MAPI_E_UNABLE_TO_ABORT when a spooler holds it now or some recipient
  // already got it.
  virtual HRESULT abortQueued(ObjectId message, const LeaseTime& now) = 0;
  // Renews owner's leases of these entries for leaseMs from now, in one
  // transaction; held[k] tells whether owner still held entry k (false: it
  // was taken over, and is not renewed).
  HRESULT renewLeases(const std::vector<int64_t>& queueIds, const std::string& owner, const LeaseTime& now,
                      int64_t leaseMs, std::vector<bool>& held);
  // Gives the entry back after a failed attempt: one attempt more, the next
  // one not before nextAttempt, the error kept; the lease and
  // SUBMITFLAG_LOCKED end. MAPI_E_OBJECT_CHANGED as above.
  virtual HRESULT deferQueued(int64_t queueId, const std::string& owner, int64_t nextAttempt, const std::string& error) = 0;
  // Removes the entry (and its recipients' progress); inside the caller's
  // transaction that also moves or deletes the sent message.
  // MAPI_E_OBJECT_CHANGED as above.
  virtual HRESULT dequeue(int64_t queueId, const std::string& owner) = 0;
  // Number of entries, and the earliest time at which one can be taken
  // (its next attempt, or the end of a lease that holds it).
  virtual HRESULT queueState(uint64_t& count, int64_t& earliest) = 0;

  // Delivery keys (tolvane/deliverykey.h), for engines that keep them:
  // whether the mailbox holds a message delivered with this key, and keeping
  // the key of `message` inside the caller's transaction (it goes with the
  // message). An engine that keeps none holds none and keeps nothing.
  virtual HRESULT hasDeliveryKey(const std::string& key, bool& held) {
    (void)key;
    held = false;
    return S_OK;
  }
  virtual HRESULT keepDeliveryKey(const std::string& key, ObjectId message) {
    (void)key;
    (void)message;
    return S_OK;
  }
  // Every key the mailbox holds with its message, and all of them replaced
  // (store copy): an engine that keeps none gives none and keeps nothing.
  using DeliveryKeys = std::vector<std::pair<std::string, ObjectId>>;
  virtual HRESULT deliveryKeys(DeliveryKeys& keys) {
    keys.clear();
    return S_OK;
  }
  virtual HRESULT putDeliveryKeys(const DeliveryKeys& keys) {
    (void)keys;
    return S_OK;
  }

  // Transactions (nested calls are counted; only the outermost commits).
  // A transaction begun with durable false (a read mark) need not reach the
  // disk at its commit, only with the next durable one: losing it in a
  // power failure loses no mail.
  virtual HRESULT begin(bool durable = true) = 0;
  virtual HRESULT commit() = 0;
  virtual void rollback() = 0;
  // Whether a transaction is open (on the thread that holds it).
  virtual bool inTransaction() = 0;

  // A read of several statements as one: while a ReadScope lives (and no
  // transaction is open) its statements share one read transaction, so they
  // see one state of the store. A change begun inside it ends that read
  // transaction first. Scopes nest; the connection is held for the scope's
  // thread.
  class ReadScope {
   public:
    explicit ReadScope(StoreDb& db) : m_db(db) { m_db.enterRead(); }
    ~ReadScope() { m_db.leaveRead(); }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

   private:
    StoreDb& m_db;
  };

  // Whole stores, as `store copy` (store/storecopy.h) reads one and writes
  // another, possibly of the other engine. Every id is kept: objects,
  // named properties and queue entries keep the ids they have in the store
  // copied from, so entry identifiers and named-property ids stay valid.
  struct ObjectRow {
    ObjectId id = 0;
    ULONG kind = 0;
    ObjectId parent = 0;  // 0: none (the root folder)
    int64_t position = 0;
  };
  // Every object of the store, each after its parent.
  virtual HRESULT allObjects(std::vector<ObjectRow>& rows) = 0;
  struct NamedProp {
    ULONG id = 0;
    GUID guid{};
    ULONG kind = 0;  // MNID_ID or MNID_STRING
    LONG lid = 0;
    std::string name;
  };
  virtual HRESULT allNamedProps(std::vector<NamedProp>& names) = 0;
  // Adds an object (its parent must exist) or a name under its own id;
  // MAPI_E_COLLISION when the id is taken.
  virtual HRESULT putObject(const ObjectRow& row) = 0;
  virtual HRESULT putNamedProp(const NamedProp& name) = 0;
  // Replaces the submission queue with these entries (recipients[k]: the
  // progress of entries[k]), ids and leases as given, in one transaction.
  virtual HRESULT putQueue(const std::vector<QueueEntry>& entries,
                           const std::vector<std::vector<QueueRecipient>>& recipients) = 0;
  // What the store holds: objects by kind (messages: attached ones too),
  // names, queue entries, and the bytes of every value (strings and
  // binaries by their length, multi-valued ones by their encoded length,
  // other values 8), counted alike by every engine.
  struct Totals {
    uint64_t folders = 0;
    uint64_t messages = 0;
    uint64_t attachments = 0;
    uint64_t recipients = 0;
    uint64_t namedProps = 0;
    uint64_t queued = 0;
    uint64_t bytes = 0;
    // Adds n objects of a kind.
    void count(ULONG kind, uint64_t n) {
      if (kind == MAPI_FOLDER) folders += n;
      else if (kind == MAPI_MESSAGE) messages += n;
      else if (kind == MAPI_ATTACH) attachments += n;
      else if (kind == MAPI_MAILUSER) recipients += n;
    }
    bool operator==(const Totals& o) const {
      return folders == o.folders && messages == o.messages && attachments == o.attachments &&
             recipients == o.recipients && namedProps == o.namedProps && queued == o.queued && bytes == o.bytes;
    }
  };
  virtual HRESULT totals(Totals& t) = 0;
  // Whether the store holds nothing but its standard folders: no other
  // folder, no message, no named property, nothing queued.
  virtual HRESULT isBare(bool& bare) = 0;

  // A copy being made (store/engines.h: createCopy, openCopy). Until it is
  // finished, opening the store at its location fails, so nobody takes the
  // half of a mailbox for the whole. finishCopy makes it the store at its
  // location in one transaction; a bare store there (isBare) is replaced,
  // one that holds more fails with MAPI_E_COLLISION and nothing changes.
  bool unfinishedCopy() const { return m_unfinishedCopy; }
  virtual HRESULT finishCopy() = 0;

  // The text of the last failure of this connection.
  const std::string& lastError() const { return m_lastError; }

 protected:
  StoreDb() = default;
  HRESULT fail(HRESULT hr, const std::string& what) {
    m_lastError = what;
    return hr;
  }
  // The failure the fault plan gives this commit ("StoreDb::commit", as a
  // full disk or a lost server would), or S_OK.
  HRESULT plannedCommitFault();
  // Makes a queued message that was taken back unsent again: no longer
  // submitted, no longer locked (inside the caller's transaction).
  HRESULT markUnsubmitted(ObjectId message);
  // Sets the end of owner's lease of a queue entry to leaseMs from now, on
  // both clocks (inside the caller's transaction); held false when owner
  // does not hold the entry.
  virtual HRESULT extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                              bool& held) = 0;
  // Adds to rowValueBytes().
  static void countRowValueBytes(uint64_t n);
  // The two ends of a ReadScope.
  virtual void enterRead() = 0;
  virtual void leaveRead() = 0;

  std::string m_location;
  MAPIUID m_uid{};
  StoreFolders m_folders;
  std::string m_displayName;
  std::string m_lastError;
  bool m_unfinishedCopy = false;
};

// Who a copy is (store/engines.h: createCopy): the identity and standard
// folders of the store it copies, and that store's location as texts show
// it.
struct StoreIdentity {
  MAPIUID uid{};
  std::string displayName;
  StoreFolders folders;
  std::string origin;
};

// Maps the system error of a failed file operation to a MAPI result: no
// space is MAPI_E_NOT_ENOUGH_DISK, no descriptor left
// MAPI_E_NOT_ENOUGH_RESOURCES and no memory MAPI_E_NOT_ENOUGH_MEMORY (all
// passing: a mail server tries again later), anything else
// MAPI_E_DISK_ERROR.
HRESULT fileErrorResult(int err);

}  // namespace tmapi

#endif
