// The PostgreSQL engine of the message store: many mailboxes in one
// database, shared by the hosts that deliver, read and send. Built into a
// module of its own (libtolvane-mapi-pg.so, on libpq) that the engine table
// (store/engines.h) loads on first use.
//
// Schema (format 1; every key starts with the mailbox):
//   mapi_store_format(format)     one row: the format of the tables below.
//       A database without it is taken for ours only when it holds no
//       tables at all (the first store created there makes them).
//   mailboxes(id, name, uid, display_name, <folder>_id..., next_named_id)
//       one row per store: its name (the location's mailbox term), its
//       16-byte identity, the well-known folders, and the mailbox's own
//       counter of named-property ids. An unfinished copy (store copy) is
//       a row under a name no location gives (copyRowName) until it is
//       finished, when it takes its own name in one transaction.
//   objects(mailbox, id, kind, parent_id, position)
//       as in the SQLite engine; ids come from the sequence store_ids,
//       which no transaction holds (so deliveries into one mailbox never
//       wait for each other) and which never gives an id twice.
//   props(mailbox, object_id, prop_id, type, num, real, data, size, pieces)
//       one typed value per property id: integers in num, reals in real,
//       strings (UTF-8), binaries and multi-valued blobs in data; size is
//       the value's length in bytes. A string or binary value longer than
//       kInlineBytes lives in prop_pieces (pieces true, data null).
//   prop_pieces(mailbox, object_id, prop_id, seq, data)
//       pieces of 64 KiB (the last one shorter), bytea stored uncompressed
//       so that a range is read without the pieces before it. No large
//       objects: every value travels with its rows (replication, dumps).
//   named_props(mailbox, id, guid, kind, lid, name)   the named-property map
//   submit_queue(mailbox, id, message_id, queued_at, attempts,
//                next_attempt, last_error, lease_owner, lease_until,
//                lease_boot, lease_boot_until)
//       spoolers on any host take rows with FOR UPDATE SKIP LOCKED and
//       send a row only while they hold its lease.
//   submit_recipients(mailbox, queue_id, row_id, state, address,
//                     display_name, status, detail, at)
// No NOTIFY: a notification inside a delivery's transaction would
// serialise the commits of the whole cluster.
//
// A lost connection fails the call with MAPI_E_NETWORK_ERROR; a
// transaction it interrupted is gone (the server rolls it back) and every
// call until its rollback() fails too, so no half of it is ever written
// through a new connection. The first call after that connects again.
#ifndef TOLVANE_MAPI_PG_STORE_H
#define TOLVANE_MAPI_PG_STORE_H

#include "store/storedb.h"

#include <libpq-fe.h>

#include <deque>
#include <mutex>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tmapi {

// Parameters of a statement, sent in binary (text as it is).
class PgParams {
 public:
  PgParams& i64(int64_t v);
  PgParams& f64(double v);
  // The bytes are not copied: they must outlive the statement's run.
  PgParams& bytes(const void* data, size_t n);
  PgParams& text(const std::string& s);
  // SQL null (of the type the statement gives the parameter).
  PgParams& null();
  // The property ids of tags, as an int4[] in PostgreSQL's text form
  // ("{55,4096}").
  PgParams& propIds(const std::vector<ULONG>& tags);
  // One-dimensional arrays in PostgreSQL's binary form, for statements that
  // take many rows at once (unnest): int4[], int8[], float8[], bool[] and
  // bytea[]; an element whose `present` is false is null.
  PgParams& int4Array(const std::vector<int32_t>& v);
  PgParams& int8Array(const std::vector<int64_t>& v, const std::vector<bool>& present);
  PgParams& float8Array(const std::vector<double>& v, const std::vector<bool>& present);
  PgParams& boolArray(const std::vector<bool>& v);
  PgParams& byteaArray(const std::vector<std::string>& v, const std::vector<bool>& present);

  std::vector<Oid> types;
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;

 private:
  PgParams& add(Oid type, std::string value, int format);
  std::deque<std::string> m_kept;
};

// A statement's result, columns in binary.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* r) : m_r(r) {}
  ~PgResult() { PQclear(m_r); }
  PgResult(PgResult&& o) noexcept : m_r(o.m_r) { o.m_r = nullptr; }
  PgResult& operator=(PgResult&& o) noexcept {
    if (this != &o) {
      PQclear(m_r);
      m_r = o.m_r;
      o.m_r = nullptr;
    }
    return *this;
  }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  int rows() const { return m_r ? PQntuples(m_r) : 0; }
  long affected() const;
  bool null(int row, int col) const { return PQgetisnull(m_r, row, col); }
  // Integers of any width; 0 for null.
  int64_t i64(int row, int col) const;
  double f64(int row, int col) const;
  const char* data(int row, int col) const { return PQgetvalue(m_r, row, col); }
  size_t size(int row, int col) const { return static_cast<size_t>(PQgetlength(m_r, row, col)); }
  std::string str(int row, int col) const { return std::string(data(row, col), size(row, col)); }

 private:
  PGresult* m_r = nullptr;
};

class PgStoreDb : public StoreDb {
 public:
  // Values up to this long stay in their props row.
  static constexpr size_t kInlineBytes = 1024;
  // prop_pieces: every piece but the last holds exactly this much.
  static constexpr size_t kPieceBytes = 64 * 1024;

  ~PgStoreDb() override;

  // The engine's entries (store/engines.h); location is a PostgreSQL
  // location (store/pglocation.h) that names its mailbox.
  static HRESULT create(const std::string& location, const std::string& displayName, MAPIUID& uid,
                        std::string& error);
  static HRESULT open(const std::string& location, StoreDb** db, std::string& error);
  static HRESULT destroy(const std::string& location, std::string& error);
  static HRESULT createCopy(const std::string& location, const StoreIdentity& identity, std::string& error);
  static HRESULT openCopy(const std::string& location, StoreDb** db, std::string& error);
  static HRESULT destroyCopy(const std::string& location, std::string& error);

  HRESULT objectKind(ObjectId id, ULONG& kind, ObjectId& parent) override;
  HRESULT children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids) override;
  HRESULT createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id) override;
  HRESULT deleteObject(ObjectId id) override;
  HRESULT objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position) override;
  HRESULT moveObject(ObjectId id, ObjectId newParent) override;
  HRESULT childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& children) override;
  HRESULT countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count) override;
  HRESULT treeSize(ObjectId id, uint64_t& size) override;
  HRESULT hasDeliveryKey(const std::string& key, bool& held) override;
  HRESULT keepDeliveryKey(const std::string& key, ObjectId message) override;
  HRESULT deliveryKeys(DeliveryKeys& keys) override;
  HRESULT putDeliveryKeys(const DeliveryKeys& keys) override;
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

 private:
  PgStoreDb() = default;
  // open() (copy false) and openCopy() (true).
  static HRESULT openMailbox(const std::string& location, bool copy, StoreDb** db, std::string& error);
  // destroy() (copy false) and destroyCopy() (true).
  static HRESULT deleteMailbox(const std::string& location, bool copy, std::string& error);
  // Reads the location (which must name a mailbox) into db and connects.
  static HRESULT connectTo(const std::string& location, PgStoreDb& db, std::string& error);
  // The name of the mailboxes row of an unfinished copy into mailbox.
  static std::string copyRowName(const std::string& mailbox);

  // The connection. connect() makes it (failing with the cause in words:
  // the server cannot be reached, refused the credentials); ready() is
  // asked first by every call: it connects again after a loss, unless a
  // transaction the loss interrupted is still open.
  HRESULT connect();
  HRESULT ready();
  // The failure of every call inside a transaction that a loss ended.
  HRESULT lostChange();
  // Runs a statement, prepared once per connection (sql: a string literal,
  // kept by its address); run() takes any text, unprepared. On failure the
  // result is empty and lastError() tells what failed, `what` first.
  HRESULT exec(const char* sql, const PgParams& params, PgResult& result, const char* what);
  HRESULT exec(const char* sql, PgResult& result, const char* what) { return exec(sql, PgParams(), result, what); }
  HRESULT run(const std::string& sql, const PgParams& params, PgResult& result, const char* what);
  // Runs several statements without parameters or results.
  HRESULT script(const char* sql, const char* what);
  // The result of a statement that ran: kept in result, or its failure.
  HRESULT finished(PGresult* r, PgResult& result, const char* what);
  // The MAPI result of a failed statement or of a lost connection, with
  // its text recorded.
  HRESULT statementFailed(PGresult* r, const char* what);
  // The server's message without its trailing newline and without any
  // password the location holds.
  std::string serverText(const char* message) const;
  // Where this store is, for texts: the mailbox and the masked location.
  std::string where() const;

  // The schema: checked (a foreign or newer database is refused before
  // anything is written) and, for create, made in an empty database.
  HRESULT checkSchema(bool make);
  // Loads the mailboxes row of this name (the mailbox's own, or its
  // unfinished copy's).
  HRESULT loadMailbox(const std::string& rowName);
  // Whether the mailbox of this row id is bare (StoreDb::isBare).
  HRESULT bareMailbox(int64_t id, bool& bare);
  void endRead();
  void enterRead() override;
  void leaveRead() override;

  HRESULT readValue(ObjectId id, const PgResult& r, int row, ULONG wantedType, ULONG sizeLimit, Prop& out);
  HRESULT readAllPieces(ObjectId id, ULONG propId, uint64_t size, std::string& value);
  HRESULT writePieces(ObjectId id, ULONG propId, const char* data, size_t size, int64_t firstSeq = 0);
  HRESULT deleteProp(ObjectId id, ULONG propId);
  HRESULT extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                      bool& held) override;

  PGconn* m_conn = nullptr;
  std::string m_conninfo;
  std::string m_password;  // one the location holds, kept out of every text
  std::string m_mailboxName;
  int64_t m_mailbox = 0;
  std::unordered_map<const char*, std::string> m_prepared;  // statement names by SQL
  bool m_broken = false;    // the connection was lost inside a transaction
  int m_txDepth = 0;
  // Objects made in the transaction in progress, with the property ids set
  // on them since: setting others needs no deletion of old rows first.
  // Forgotten when the transaction ends.
  std::map<ObjectId, std::set<int32_t>> m_fresh;
  // Property names to ids, as found or made: a name's id never changes once
  // committed. Forgotten on a rollback, which may take a new one back.
  std::map<std::string, ULONG> m_namedIds;
  // A second connection of the same mailbox, on which names are made in
  // transactions of their own while this one is in the middle of a change:
  // the mailbox's name counter is then locked for a moment, not until the
  // end of a change that may store many messages (every other host making a
  // name would wait that long). Made when first needed.
  std::unique_ptr<PgStoreDb> m_names;
  int m_readDepth = 0;
  bool m_readOpen = false;
  std::recursive_mutex m_mu;
};

}  // namespace tmapi

#endif
