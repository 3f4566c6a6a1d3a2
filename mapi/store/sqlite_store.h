// The SQLite engine of the message store: one database file per mailbox.
//
// Schema (WAL mode):
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
//       store is next opened (sqlite_store_files.cpp: writers hold a lock in
//       "<store>.values/.writers" while they run).
//   named_props(id, guid, kind, lid, name)   the named-property map
//   submit_queue(id, message_id, queued_at, attempts, next_attempt,
//                last_error, lease_owner, lease_until)
//       one row per submitted message (sqlite_store_queue.cpp); times in
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
#ifndef TOLVANE_MAPI_SQLITE_STORE_H
#define TOLVANE_MAPI_SQLITE_STORE_H

#include "store/storedb.h"

#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tmapi {

class SqliteStoreDb : public StoreDb {
 public:
  // The write-ahead log is copied into the store file and started again by
  // the first commit that finds it this long.
  static constexpr off_t kLogRestartBytes = 512 * 1024;

  ~SqliteStoreDb() override;

  // Creates a new store file (failing when the path exists) with the
  // standard folder tree, readable by its owner only.
  static HRESULT create(const std::string& path, const std::string& displayName, MAPIUID& uid, std::string& error);
  // Opens an existing store file; a failed open leaves the file as it was.
  // An unfinished copy (store_info key unfinished_copy: the location of the
  // store it copies) is refused with MAPI_E_BUSY.
  static HRESULT open(const std::string& path, SqliteStoreDb** db, std::string& error);
  // The engine's copies (store/engines.h; sqlite_store_copy.cpp). A copy
  // is made in the store file itself, marked unfinished until finishCopy;
  // a bare store already at the path becomes the copy in one transaction.
  static HRESULT createCopy(const std::string& path, const StoreIdentity& identity, std::string& error);
  static HRESULT openCopy(const std::string& path, StoreDb** db, std::string& error);

  HRESULT objectKind(ObjectId id, ULONG& kind, ObjectId& parent) override;
  HRESULT children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids) override;
  HRESULT createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id) override;
  HRESULT deleteObject(ObjectId id) override;
  HRESULT objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position) override;
  HRESULT moveObject(ObjectId id, ObjectId newParent) override;
  HRESULT childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& children) override;
  HRESULT countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count) override;
  HRESULT treeSize(ObjectId id, uint64_t& size) override;
  HRESULT childRows(ObjectId parent, ULONG kind, const std::vector<ULONG>& propIds, ULONG maxBytes, std::vector<ChildRow>& rows) override;
  HRESULT getProps(ObjectId id, const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& values) override;
  HRESULT getAllProps(ObjectId id, ULONG sizeLimit, PropRow& values) override;
  HRESULT propTags(ObjectId id, std::vector<ULONG>& tags) override;
  HRESULT setProps(ObjectId id, const PropRow& values) override;
  HRESULT deleteProps(ObjectId id, const std::vector<ULONG>& tags) override;
  HRESULT valueInfo(ObjectId id, ULONG propId, ULONG& type, uint64_t& size, bool& found) override;
  HRESULT readRange(ObjectId id, ULONG propId, uint64_t offset, void* buf, size_t n, size_t& got) override;
  HRESULT setValueFromPieces(ObjectId id, ULONG tag, uint64_t size, const PieceReader& read) override;
  HRESULT namedPropId(const GUID& guid, ULONG kind, LONG lid, const std::string& name, bool create, ULONG& propId) override;
  HRESULT namedPropName(ULONG propId, GUID& guid, ULONG& kind, LONG& lid, std::string& name) override;
  HRESULT enqueue(ObjectId message, int64_t now, int64_t& queueId) override;
  HRESULT queueEntryOf(ObjectId message, QueueEntry& entry, bool& found) override;
  HRESULT queueEntries(std::vector<QueueEntry>& entries) override;
  HRESULT claimQueued(int64_t afterId, bool dueOnly, const LeaseTime& now, const std::string& owner, int64_t leaseMs, QueueEntry& entry, bool& found) override;
  HRESULT queueRecipients(int64_t queueId, std::vector<QueueRecipient>& rows) override;
  HRESULT recordRecipients(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs, const std::vector<QueueRecipient>& rows) override;
  HRESULT abortQueued(ObjectId message, const LeaseTime& now) override;
  HRESULT deferQueued(int64_t queueId, const std::string& owner, int64_t nextAttempt, const std::string& error) override;
  HRESULT dequeue(int64_t queueId, const std::string& owner) override;
  HRESULT queueState(uint64_t& count, int64_t& earliest) override;
  HRESULT allObjects(std::vector<ObjectRow>& rows) override;
  HRESULT allNamedProps(std::vector<NamedProp>& names) override;
  HRESULT putObject(const ObjectRow& row) override;
  HRESULT putNamedProp(const NamedProp& name) override;
  HRESULT putQueue(const std::vector<QueueEntry>& entries,
                   const std::vector<std::vector<QueueRecipient>>& recipients) override;
  HRESULT totals(Totals& t) override;
  HRESULT isBare(bool& bare) override;
  HRESULT finishCopy() override;
  HRESULT begin(bool durable = true) override;
  HRESULT commit() override;
  void rollback() override;
  bool inTransaction() override {
    std::lock_guard<std::recursive_mutex> guard(m_mu);
    return m_txDepth > 0;
  }

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
  SqliteStoreDb() = default;
  // open() (a store, not an unfinished copy), openCopy() (a copy) and
  // createCopy() (either).
  enum class OpenAs { kStore, kCopy, kEither };
  static HRESULT openFile(const std::string& path, OpenAs as, SqliteStoreDb** db, std::string& error);
  // Makes a new store file with the schema, inside a transaction left open
  // (db is opened on it); on failure the file is gone.
  static HRESULT createFile(const std::string& path, SqliteStoreDb& db);
  // Removes what a failed creation left.
  void discardFile();
  // Records the store's identity (and, for a copy, the mark of an
  // unfinished one) in store_info, inside the caller's transaction.
  HRESULT writeIdentity(const MAPIUID& uid, const std::string& displayName, const StoreFolders& folders,
                        const std::string& copyOf);
  HRESULT sqlFail(const char* what);
  // The MAPI result of an SQLite failure of this connection (the system
  // error behind a file SQLite could not open counts).
  HRESULT connectionResult(int rc);
  HRESULT loadInfo();
  HRESULT extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                      bool& held) override;
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
  std::string valuesDir() const { return m_location + ".values"; }
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
  void enterRead() override;
  void leaveRead() override;
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
  int m_txDepth = 0;
  int m_readDepth = 0;      // ReadScopes alive
  bool m_readOpen = false;  // the read transaction of the outermost one is open
  int m_schemaVersion = 0;
  std::string m_copyOf;  // the store an unfinished copy copies, as shown
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

}  // namespace tmapi

#endif
