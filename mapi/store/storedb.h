// The message store's database layer: the only code that holds SQL. Every
// statement, the schema and the transactions live here, so that another
// database (PostgreSQL for stores shared by several hosts) is a second
// implementation of this class, not a rewrite of the providers.
//
// Schema (SQLite, WAL mode):
//   store_info(key, value)       store identity and the well-known folders;
//                                swept_at: when value files were last swept
//   objects(id, kind, parent_id, position)
//       one row per folder, message, attachment and recipient; kind is the
//       MAPI object type (MAPI_FOLDER, MAPI_MESSAGE, MAPI_ATTACH,
//       MAPI_MAILUSER for recipient rows); parent_id is the parent folder,
//       the message's folder, the attachment's or recipient's message, or
//       the attachment of an embedded message; position is the attachment
//       number or recipient row id. Ids are never reused (AUTOINCREMENT),
//       so entry identifiers stay unique for the life of the store.
//   props(object_id, prop_id, type, value, chunked)
//       one typed value per property id; strings are kept as UTF-8 under
//       PT_STRING8 / PT_MV_STRING8. A string or binary value longer than
//       fits in a row's cell without overflow (960 bytes) is kept in
//       prop_values pieces of 64 KiB (chunked = 3; value then holds its
//       size), so that lookups in props never read long values.
//   prop_values(id, object_id, prop_id, seq, data)   a rowid table
//   prop_chunks(object_id, prop_id, seq, data)
//       pieces of values above kChunkSize written by earlier versions
//       (chunked = 1), still read
//   value_files(object_id, prop_id, name)
//       values written in pieces that are larger than kChunkSize live in
//       files of their own in the folder "<store>.values" beside the store
//       (chunked = 2), written and synced before the transaction that names
//       them commits, removed after the transaction that drops them
//       commits; they are read straight into the caller's buffer. Files
//       that a killed writer left unnamed by any row are removed when the
//       store is next opened (storedb_files.cpp: writers hold a lock in
//       "<store>.values/.writers" while they run).
//   named_props(id, guid, kind, lid, name)   the named-property map
//   submit_queue(id, message_id, queued_at, attempts, next_attempt,
//                last_error, lease_owner, lease_until)
//       one row per submitted message (storedb_queue.cpp); times in
//       milliseconds since 1970. A spooler sends a row only while it holds
//       its lease (lease_owner, until lease_until), taken in a transaction,
//       so two spoolers never send the same message at once.
//   submit_recipients(queue_id, row_id, state, address, display_name,
//                     status, detail, at)
//       the recipients of a queued message that are done: delivered, or
//       failed for good (kept for the non-delivery report); and those
//       waiting after a temporary refusal, with the server's last reply
// Deleting an object deletes its children, properties and chunks (foreign
// keys with ON DELETE CASCADE).
#ifndef TOLVANE_MAPI_STOREDB_H
#define TOLVANE_MAPI_STOREDB_H

#include "runtime/prop.h"

#include <mapidefs.h>

#include <cstdint>
#include <sys/types.h>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

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
  static constexpr size_t kChunkSize = 256 * 1024;
  // The write-ahead log is copied into the store file and started again by
  // the first commit that finds it this long.
  static constexpr off_t kLogRestartBytes = 512 * 1024;

  ~StoreDb();
  StoreDb(const StoreDb&) = delete;
  StoreDb& operator=(const StoreDb&) = delete;

  // Creates a new store file (failing when the path exists) with the
  // standard folder tree, readable by its owner only. uid receives the
  // store's 16-byte identity.
  static HRESULT create(const std::string& path, const std::string& displayName, MAPIUID& uid, std::string& error);

  // Opens an existing store for reading and writing. Nothing is written to
  // the file before it has been recognised as a store of this kind, so a
  // failed open leaves the file as it was.
  static HRESULT open(const std::string& path, StoreDb** db, std::string& error);

  const MAPIUID& uid() const { return m_uid; }
  const StoreFolders& folders() const { return m_folders; }
  const std::string& displayName() const { return m_displayName; }
  const std::string& path() const { return m_path; }

  // Object rows.
  HRESULT objectKind(ObjectId id, ULONG& kind, ObjectId& parent);
  HRESULT children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids);
  HRESULT createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id);
  HRESULT deleteObject(ObjectId id);
  HRESULT objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position);
  // Gives the object another parent (a message another folder).
  HRESULT moveObject(ObjectId id, ObjectId newParent);
  // Children of one kind with their positions, in (position, id) order.
  HRESULT childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& children);
  // Number of children of one kind; unreadOnly counts messages whose
  // PR_MESSAGE_FLAGS lack MSGFLAG_READ.
  HRESULT countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count);
  // Bytes held by the object and everything below it (values, pieces).
  HRESULT treeSize(ObjectId id, uint64_t& size);

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
  HRESULT childRows(ObjectId parent, ULONG kind, const std::vector<ULONG>& propIds, ULONG maxBytes,
                    std::vector<ChildRow>& rows);
  // Bytes of values that childRows has read from the database in this
  // process, all connections together (integers count 8): what a table
  // costs, for tests.
  static uint64_t rowValueBytes();

  // Property values. Reads of string and binary values larger than
  // sizeLimit give a PT_ERROR value with MAPI_E_NOT_ENOUGH_MEMORY (they must
  // be streamed); reads of absent properties give PT_ERROR with
  // MAPI_E_NOT_FOUND. A tag of type PT_UNICODE or PT_UNSPECIFIED matches the
  // stored value of that property id.
  HRESULT getProps(ObjectId id, const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& values);
  HRESULT getAllProps(ObjectId id, ULONG sizeLimit, PropRow& values);
  HRESULT propTags(ObjectId id, std::vector<ULONG>& tags);
  HRESULT setProps(ObjectId id, const PropRow& values);
  HRESULT deleteProps(ObjectId id, const std::vector<ULONG>& tags);

  // Large values, in pieces (propId: a property id, not a tag). valueInfo
  // tells the stored type (strings as
  // PT_STRING8) and size in bytes of a string or binary value; found is
  // false when the object has no such property. readRange copies up to n
  // bytes from offset (got < n only at the end of the value) without
  // reading more than one stored piece at a time.
  HRESULT valueInfo(ObjectId id, ULONG propId, ULONG& type, uint64_t& size, bool& found);
  HRESULT readRange(ObjectId id, ULONG propId, uint64_t offset, void* buf, size_t n, size_t& got);
  // Stores a string or binary value of `size` bytes (tag gives id and
  // type), asking `read` for it piece by piece (offset, buffer, count; the
  // pieces are at most kChunkSize). The value never sits in memory whole.
  using PieceReader = std::function<HRESULT(uint64_t offset, void* buf, size_t n)>;
  HRESULT setValueFromPieces(ObjectId id, ULONG tag, uint64_t size, const PieceReader& read);

  // The named-property map. kind is MNID_ID (lid) or MNID_STRING (name,
  // UTF-8). namedPropId gives MAPI_E_NOT_FOUND for an unknown name unless
  // create, which allocates the next id from 0x8000 (MAPI_E_TOO_BIG when
  // the range is used up).
  HRESULT namedPropId(const GUID& guid, ULONG kind, LONG lid, const std::string& name, bool create, ULONG& propId);
  HRESULT namedPropName(ULONG propId, GUID& guid, ULONG& kind, LONG& lid, std::string& name);

  // The submission queue (storedb_queue.cpp). Times are milliseconds since
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
  HRESULT enqueue(ObjectId message, int64_t now, int64_t& queueId);
  // The queue entry of a message; found false when it is not queued.
  HRESULT queueEntryOf(ObjectId message, QueueEntry& entry, bool& found);
  HRESULT queueEntries(std::vector<QueueEntry>& entries);
  // Takes the lease of the first entry after afterId (in id order) that no
  // live lease holds and, when dueOnly, whose next attempt has come: the
  // entry is owner's for leaseMs from now. The message's PR_SUBMIT_FLAGS
  // gets SUBMITFLAG_LOCKED. found false when there is none.
  HRESULT claimQueued(int64_t afterId, bool dueOnly, const LeaseTime& now, const std::string& owner, int64_t leaseMs,
                      QueueEntry& entry, bool& found);
  HRESULT queueRecipients(int64_t queueId, std::vector<QueueRecipient>& rows);
  // Records recipients as done and renews owner's lease for leaseMs from
  // now. MAPI_E_OBJECT_CHANGED when owner no longer holds the entry
  // (nothing is recorded then).
  HRESULT recordRecipients(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                           const std::vector<QueueRecipient>& rows);
  // Takes a queued message back before it went to a transport: its entry
  // goes and the message is no longer submitted (still unsent), in one
  // transaction. MAPI_E_NOT_FOUND when it is not queued;
  // MAPI_E_UNABLE_TO_ABORT when a spooler holds it now or some recipient
  // already got it.
  HRESULT abortQueued(ObjectId message, const LeaseTime& now);
  // Renews owner's leases of these entries for leaseMs from now, in one
  // transaction; held[k] tells whether owner still held entry k (false: it
  // was taken over, and is not renewed).
  HRESULT renewLeases(const std::vector<int64_t>& queueIds, const std::string& owner, const LeaseTime& now,
                      int64_t leaseMs, std::vector<bool>& held);
  // Gives the entry back after a failed attempt: one attempt more, the next
  // one not before nextAttempt, the error kept; the lease and
  // SUBMITFLAG_LOCKED end. MAPI_E_OBJECT_CHANGED as above.
  HRESULT deferQueued(int64_t queueId, const std::string& owner, int64_t nextAttempt, const std::string& error);
  // Removes the entry (and its recipients' progress); inside the caller's
  // transaction that also moves or deletes the sent message.
  // MAPI_E_OBJECT_CHANGED as above.
  HRESULT dequeue(int64_t queueId, const std::string& owner);
  // Number of entries, and the earliest time at which one can be taken
  // (its next attempt, or the end of a lease that holds it).
  HRESULT queueState(uint64_t& count, int64_t& earliest);

  // Transactions (nested calls are counted; only the outermost commits).
  // A transaction begun with durable false (a read mark) is not synced to
  // disk at its commit, only with the next durable one: losing it in a
  // power failure loses no mail.
  HRESULT begin(bool durable = true);
  HRESULT commit();
  void rollback();
  // Whether a transaction is open (on the thread that holds it).
  bool inTransaction() {
    std::lock_guard<std::recursive_mutex> guard(m_mu);
    return m_txDepth > 0;
  }

  // A read of several statements as one: while a ReadScope lives (and no
  // transaction is open) its statements share one read transaction, so they
  // see one state of the store and take the store file's locks once rather
  // than once each. A change begun inside it ends that read transaction
  // first. Scopes nest; the connection is held for the scope's thread.
  class ReadScope {
   public:
    explicit ReadScope(StoreDb& db);
    ~ReadScope();
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

   private:
    StoreDb& m_db;
  };

  // The text of the last failure of this connection.
  const std::string& lastError() const { return m_lastError; }

  // Removes the value files of writers that are gone (killed before their
  // transaction committed) that no row names; open() does it. Files of
  // writers that still run are never touched. counts (may be null)
  // receives what was found.
  struct SweepCounts {
    size_t deadWriters = 0;
    size_t removedFiles = 0;
  };
  void sweepValueFiles(SweepCounts* counts = nullptr);

 private:
  StoreDb();
  HRESULT fail(HRESULT hr, const std::string& what);
  HRESULT sqlFail(const char* what);
  // The MAPI result of an SQLite failure of this connection (the system
  // error behind a file SQLite could not open counts).
  HRESULT connectionResult(int rc);
  HRESULT loadInfo();
  // Sets the end of owner's lease of a queue entry to leaseMs from now, on
  // both clocks; held false when owner does not hold the entry.
  HRESULT extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs, bool& held);
  HRESULT readValue(ObjectId id, ULONG propId, ULONG wantedType, ULONG sizeLimit, Prop& out, bool& found);
  // A value kept in pieces (prop_chunks or prop_values rows, as storage
  // says), whole; its pieces must add up to size.
  HRESULT readAllPieces(ObjectId id, ULONG propId, int64_t storage, uint64_t size, std::string& value);
  // Stores a value in prop_values pieces from piece firstSeq on (its props
  // row is written).
  HRESULT writePieces(ObjectId id, ULONG propId, const char* data, size_t size, uint64_t firstSeq = 0);
  // Value files: the folder, the file of a value, and the files that the
  // open transaction made (removed if it rolls back) or dropped (removed
  // once it commits).
  std::string valuesDir() const { return m_path + ".values"; }
  HRESULT valueFileName(ObjectId id, ULONG propId, std::string& name);
  HRESULT dropValueFiles(const char* selectNamesSql, ObjectId id, ULONG propId);
  HRESULT writeValueFile(ObjectId id, ULONG propId, uint64_t size, const PieceReader& read, std::string& name);
  HRESULT readValueFile(const std::string& name, uint64_t offset, void* buf, size_t n, size_t& got);
  // The lock file that marks this connection as a running writer of value
  // files (taken at its first value file, given up when it closes).
  HRESULT registerWriter();
  void unregisterWriter();
  // Commits a change of one value, so that no commit a killed writer left
  // half-recorded in the write-ahead log can appear later (false: the
  // store could not be written now).
  bool settleCommits();
  void endTransaction(bool committed);
  // Ends the read transaction of a ReadScope before a change.
  void endRead();
  // Copies the write-ahead log into the store file and empties it once it
  // has grown past kLogRestartBytes (connections close without doing so).
  void keepLogShort();

  // Statements are prepared once per connection and kept, keyed by their
  // SQL text's address (string literals only).
  struct Prepared {
    sqlite3_stmt* stmt = nullptr;
    int rc = 0;
  };
  Prepared prepared(const char* sql);
  // The same for statements built at run time (one per column set of a
  // table), keyed by their text.
  Prepared preparedText(const std::string& sql);
  void finalizeStatements();

  sqlite3* m_db = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> m_statements;
  std::unordered_map<std::string, sqlite3_stmt*> m_builtStatements;
  std::string m_path;
  MAPIUID m_uid{};
  StoreFolders m_folders;
  std::string m_displayName;
  std::string m_lastError;
  int m_txDepth = 0;
  int m_readDepth = 0;      // ReadScopes alive
  bool m_readOpen = false;  // the read transaction of the outermost one is open
  int m_schemaVersion = 0;
  bool m_lazyCommit = false;
  std::vector<std::string> m_newFiles;
  std::vector<std::string> m_droppedFiles;
  int m_writerFd = -1;       // the locked writer file, once registered
  std::string m_writer;      // its name, the prefix of this writer's value files
  bool m_namedValueFiles = false;  // no O_TMPFILE here: files get their name at once
  std::recursive_mutex m_mu;  // held once per open transaction level, and by each call
};

// Maps an SQLite result code to a MAPI result.
HRESULT sqliteResult(int rc);
// Maps the system error of a failed file operation to a MAPI result: no
// space is MAPI_E_NOT_ENOUGH_DISK, no descriptor left
// MAPI_E_NOT_ENOUGH_RESOURCES and no memory MAPI_E_NOT_ENOUGH_MEMORY (all
// passing: a mail server tries again later), anything else
// MAPI_E_DISK_ERROR.
HRESULT fileErrorResult(int err);

}  // namespace tmapi

#endif
