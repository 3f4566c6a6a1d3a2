// The PostgreSQL engine's connection: statements and their parameters,
// failures as MAPI results, transactions and read scopes, and connecting
// again after a loss.
#include "store/pg/pg_store.h"

#include "store/pglocation.h"

#include <tolvane/mapitest.h>

#include <mapicode.h>
#include <mapidefs.h>

#include <cstring>

namespace tmapi {

namespace {

// Type oids of the parameters (pg_type.h).
const Oid kInt8 = 20;
const Oid kText = 25;
const Oid kFloat8 = 701;
const Oid kBytea = 17;
const Oid kInt4 = 23;
const Oid kBool = 16;
const Oid kInt4Array = 1007;
const Oid kInt8Array = 1016;
const Oid kFloat8Array = 1022;
const Oid kBoolArray = 1000;
const Oid kByteaArray = 1001;

void put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

// The binary form of a one-dimensional array (array_send): dimensions,
// null flag and element type, then each element as its length (-1: null)
// and its binary form.
template <class Element>
std::string binaryArray(Oid elementType, size_t n, Element element) {
  std::string out;
  std::string item;
  std::string body;
  bool anyNull = false;
  for (size_t k = 0; k < n; ++k) {
    item.clear();
    if (!element(k, item)) {
      anyNull = true;
      put32(body, 0xFFFFFFFFu);
      continue;
    }
    put32(body, static_cast<uint32_t>(item.size()));
    body += item;
  }
  put32(out, n ? 1 : 0);
  put32(out, anyNull ? 1 : 0);
  put32(out, elementType);
  if (n) {
    put32(out, static_cast<uint32_t>(n));
    put32(out, 1);  // lower bound
  }
  return out + body;
}

std::string bigEndian(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 7; i >= 0; --i) {
    s[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
  return s;
}

// SQLSTATEs the callers act on.
bool isState(const char* state, const char* wanted) { return state && strcmp(state, wanted) == 0; }

}  // namespace

PgParams& PgParams::add(Oid type, std::string value, int format) {
  m_kept.push_back(std::move(value));
  types.push_back(type);
  values.push_back(m_kept.back().data());
  lengths.push_back(static_cast<int>(m_kept.back().size()));
  formats.push_back(format);
  return *this;
}

PgParams& PgParams::i64(int64_t v) { return add(kInt8, bigEndian(static_cast<uint64_t>(v)), 1); }

PgParams& PgParams::f64(double v) {
  uint64_t bits = 0;
  memcpy(&bits, &v, sizeof bits);
  return add(kFloat8, bigEndian(bits), 1);
}

PgParams& PgParams::bytes(const void* data, size_t n) {
  types.push_back(kBytea);
  values.push_back(n ? static_cast<const char*>(data) : "");
  lengths.push_back(static_cast<int>(n));
  formats.push_back(1);
  return *this;
}

PgParams& PgParams::text(const std::string& s) { return add(kText, s, 1); }

PgParams& PgParams::null() {
  types.push_back(0);  // the statement's own type
  values.push_back(nullptr);
  lengths.push_back(0);
  formats.push_back(1);
  return *this;
}

PgParams& PgParams::propIds(const std::vector<ULONG>& tags) {
  std::string s = "{";
  for (ULONG tag : tags) {
    if (s.size() > 1) s += ',';
    s += std::to_string(PROP_ID(tag));
  }
  return add(kInt4Array, s + "}", 0);
}

PgParams& PgParams::int4Array(const std::vector<int32_t>& v) {
  return add(kInt4Array, binaryArray(kInt4, v.size(), [&](size_t k, std::string& out) {
    put32(out, static_cast<uint32_t>(v[k]));
    return true;
  }), 1);
}

PgParams& PgParams::int8Array(const std::vector<int64_t>& v, const std::vector<bool>& present) {
  return add(kInt8Array, binaryArray(kInt8, v.size(), [&](size_t k, std::string& out) {
    out = bigEndian(static_cast<uint64_t>(v[k]));
    return bool(present[k]);
  }), 1);
}

PgParams& PgParams::float8Array(const std::vector<double>& v, const std::vector<bool>& present) {
  return add(kFloat8Array, binaryArray(kFloat8, v.size(), [&](size_t k, std::string& out) {
    uint64_t bits = 0;
    memcpy(&bits, &v[k], sizeof bits);
    out = bigEndian(bits);
    return bool(present[k]);
  }), 1);
}

PgParams& PgParams::boolArray(const std::vector<bool>& v) {
  return add(kBoolArray, binaryArray(kBool, v.size(), [&](size_t k, std::string& out) {
    out = std::string(1, v[k] ? '\1' : '\0');
    return true;
  }), 1);
}

PgParams& PgParams::byteaArray(const std::vector<std::string>& v, const std::vector<bool>& present) {
  return add(kByteaArray, binaryArray(kBytea, v.size(), [&](size_t k, std::string& out) {
    if (present[k]) out = v[k];
    return bool(present[k]);
  }), 1);
}

long PgResult::affected() const {
  const char* n = m_r ? PQcmdTuples(m_r) : "";
  return *n ? strtol(n, nullptr, 10) : 0;
}

int64_t PgResult::i64(int row, int col) const {
  if (PQgetisnull(m_r, row, col)) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(PQgetvalue(m_r, row, col));
  int n = PQgetlength(m_r, row, col);
  if (n != 1 && n != 2 && n != 4 && n != 8) return 0;
  uint64_t v = (p[0] & 0x80) ? ~uint64_t{0} : 0;  // sign
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return static_cast<int64_t>(v);
}

double PgResult::f64(int row, int col) const {
  if (PQgetisnull(m_r, row, col) || PQgetlength(m_r, row, col) != 8) return 0;
  uint64_t bits = static_cast<uint64_t>(i64(row, col));
  double d = 0;
  memcpy(&d, &bits, sizeof d);
  return d;
}

PgStoreDb::~PgStoreDb() {
  if (m_txDepth > 0) rollback();
  if (m_conn) PQfinish(m_conn);
}

std::string PgStoreDb::serverText(const char* message) const {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (size_t nl; (nl = text.find('\n')) != std::string::npos;) text.replace(nl, 1, "; ");
  if (!m_password.empty())
    for (size_t at; (at = text.find(m_password)) != std::string::npos;) text.replace(at, m_password.size(), "********");
  return text;
}

std::string PgStoreDb::where() const {
  return "the mailbox '" + m_mailboxName + "' in " + maskedPgLocation(m_conninfo);
}

HRESULT PgStoreDb::connect() {
  if (m_conn) PQfinish(m_conn);
  m_prepared.clear();
  m_conn = PQconnectdb(m_conninfo.c_str());
  if (!m_conn) return fail(MAPI_E_NOT_ENOUGH_MEMORY, "Cannot connect to " + where() + ": out of memory");
  if (PQstatus(m_conn) != CONNECTION_OK) {
    std::string why = serverText(PQerrorMessage(m_conn));
    // Asked for a password that none of libpq's places gave, or given one
    // the server refused: the credentials, not the network.
    bool credentials = PQconnectionNeedsPassword(m_conn) || PQconnectionUsedPassword(m_conn) ||
                       why.find("authentication failed") != std::string::npos;
    PQfinish(m_conn);
    m_conn = nullptr;
    if (credentials)
      return fail(MAPI_E_NO_ACCESS, "The database server refused the credentials for " + where() + ": " + why);
    return fail(MAPI_E_NETWORK_ERROR, "Cannot reach the database server of " + where() + ": " + why);
  }
  // Lock waits are bounded as the SQLite engine bounds them; the names of
  // the store's tables are found in the database's own schemas only.
  PgResult r;
  std::string setup = "SET lock_timeout = " + std::to_string(mapitest::lockWait()) +
                      "; SET application_name = 'tolvane-mapi'";
  PGresult* raw = PQexec(m_conn, setup.c_str());
  HRESULT hr = PQresultStatus(raw) == PGRES_COMMAND_OK ? S_OK : statementFailed(raw, "Cannot set up the connection");
  PQclear(raw);
  return hr;
}

HRESULT PgStoreDb::lostChange() {
  return fail(MAPI_E_NETWORK_ERROR, "The connection to the database of " + where() +
                                        " was lost in the middle of a change; the change was not saved");
}

HRESULT PgStoreDb::ready() {
  bool up = m_conn && PQstatus(m_conn) == CONNECTION_OK;
  if (m_txDepth > 0 && (m_broken || !up)) {
    m_broken = true;
    return lostChange();
  }
  if (up) return S_OK;
  m_broken = false;
  m_readOpen = false;
  return connect();
}

HRESULT PgStoreDb::statementFailed(PGresult* r, const char* what) {
  if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
    if (m_txDepth > 0) m_broken = true;
    std::string why = serverText(m_conn ? PQerrorMessage(m_conn) : "");
    return fail(MAPI_E_NETWORK_ERROR, std::string(what) + ": the connection to the database of " + where() +
                                          " was lost" + (why.empty() ? "" : ": " + why));
  }
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  std::string text = std::string(what) + ": " +
                     serverText(r ? PQresultErrorMessage(r) : PQerrorMessage(m_conn)) + " (" + where() + ")";
  HRESULT hr = MAPI_E_CALL_FAILED;
  if (isState(state, "55P03") || isState(state, "40P01") || isState(state, "40001")) hr = MAPI_E_BUSY;
  else if (isState(state, "53100")) hr = MAPI_E_NOT_ENOUGH_DISK;
  else if (isState(state, "53200")) hr = MAPI_E_NOT_ENOUGH_MEMORY;
  else if (isState(state, "53300")) hr = MAPI_E_NOT_ENOUGH_RESOURCES;
  else if (state && strncmp(state, "42501", 5) == 0) hr = MAPI_E_NO_ACCESS;
  else if (state && strncmp(state, "57", 2) == 0) hr = MAPI_E_NETWORK_ERROR;  // the server shuts down
  return fail(hr, text);
}

HRESULT PgStoreDb::exec(const char* sql, const PgParams& params, PgResult& result, const char* what) {
  result = PgResult();
  HRESULT hr = ready();
  if (FAILED(hr)) return hr;
  int n = static_cast<int>(params.values.size());
  auto it = m_prepared.find(sql);
  if (it == m_prepared.end()) {
    std::string name = "s" + std::to_string(m_prepared.size() + 1);
    PGresult* prep = PQprepare(m_conn, name.c_str(), sql, n, n ? params.types.data() : nullptr);
    if (PQresultStatus(prep) != PGRES_COMMAND_OK) {
      hr = statementFailed(prep, what);
      PQclear(prep);
      return hr;
    }
    PQclear(prep);
    it = m_prepared.emplace(sql, name).first;
  }
  return finished(PQexecPrepared(m_conn, it->second.c_str(), n, n ? params.values.data() : nullptr,
                                 n ? params.lengths.data() : nullptr, n ? params.formats.data() : nullptr, 1),
                  result, what);
}

HRESULT PgStoreDb::script(const char* sql, const char* what) {
  HRESULT hr = ready();
  if (FAILED(hr)) return hr;
  PgResult ignored;
  return finished(PQexec(m_conn, sql), ignored, what);
}

HRESULT PgStoreDb::finished(PGresult* r, PgResult& result, const char* what) {
  ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    HRESULT hr = statementFailed(r, what);
    PQclear(r);
    return hr;
  }
  result = PgResult(r);
  return S_OK;
}

HRESULT PgStoreDb::run(const std::string& sql, const PgParams& params, PgResult& result, const char* what) {
  result = PgResult();
  HRESULT hr = ready();
  if (FAILED(hr)) return hr;
  int n = static_cast<int>(params.values.size());
  return finished(PQexecParams(m_conn, sql.c_str(), n, n ? params.types.data() : nullptr,
                               n ? params.values.data() : nullptr, n ? params.lengths.data() : nullptr,
                               n ? params.formats.data() : nullptr, 1),
                  result, what);
}

// A read scope is a REPEATABLE READ transaction: its statements see one
// state of the store, as the pieces of one value must.
void PgStoreDb::enterRead() {
  m_mu.lock();
  if (m_readDepth++ == 0 && m_txDepth == 0 && SUCCEEDED(ready())) {
    PGresult* r = PQexec(m_conn, "BEGIN ISOLATION LEVEL REPEATABLE READ");
    m_readOpen = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
  }
}

void PgStoreDb::leaveRead() {
  if (--m_readDepth == 0) endRead();
  m_mu.unlock();
}

void PgStoreDb::endRead() {
  if (!m_readOpen) return;
  m_readOpen = false;
  if (m_conn && PQstatus(m_conn) == CONNECTION_OK) PQclear(PQexec(m_conn, "COMMIT"));
}

HRESULT PgStoreDb::begin(bool durable) {
  m_mu.lock();
  if (m_txDepth > 0) {
    ++m_txDepth;
    return S_OK;
  }
  endRead();
  HRESULT hr = ready();  // outside a transaction: connects again if need be
  m_txDepth = 1;
  if (SUCCEEDED(hr)) {
    // A read mark need not wait for the disk: synchronous_commit off for
    // this transaction alone (the server still writes it in order).
    PGresult* r = PQexec(m_conn, durable ? "BEGIN" : "BEGIN; SET LOCAL synchronous_commit = off");
    if (PQresultStatus(r) != PGRES_COMMAND_OK) hr = statementFailed(r, "Cannot start a change of the message store");
    PQclear(r);
  }
  if (FAILED(hr)) {
    m_txDepth = 0;
    m_mu.unlock();
  }
  return hr;
}

HRESULT PgStoreDb::commit() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  if (m_txDepth == 0) return S_OK;
  if (--m_txDepth > 0) {
    m_mu.unlock();
    return S_OK;
  }
  HRESULT hr = plannedCommitFault();
  // A transaction the lost connection took with it is not committed on a
  // new one.
  if (SUCCEEDED(hr) && (m_broken || !m_conn || PQstatus(m_conn) != CONNECTION_OK))
    hr = lostChange();
  if (SUCCEEDED(hr)) {
    PGresult* r = PQexec(m_conn, "COMMIT");
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
      hr = statementFailed(r, "Cannot save the change to the message store");
    } else if (strcmp(PQcmdStatus(r), "COMMIT") != 0) {
      // A transaction a failed statement had ended commits as a rollback.
      hr = fail(MAPI_E_CALL_FAILED, "Cannot save the change to the message store: it was rolled back (" + where() + ")");
    }
    PQclear(r);
  }
  if (FAILED(hr) && m_conn && PQstatus(m_conn) == CONNECTION_OK) PQclear(PQexec(m_conn, "ROLLBACK"));
  if (FAILED(hr)) m_namedIds.clear();
  m_fresh.clear();
  m_broken = false;
  m_mu.unlock();
  return hr;
}

void PgStoreDb::rollback() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  if (m_txDepth == 0) return;
  int levels = m_txDepth;
  m_txDepth = 0;
  if (m_conn && PQstatus(m_conn) == CONNECTION_OK) PQclear(PQexec(m_conn, "ROLLBACK"));
  m_fresh.clear();
  m_namedIds.clear();
  m_broken = false;
  for (int k = 0; k < levels; ++k) m_mu.unlock();
}

}  // namespace tmapi
