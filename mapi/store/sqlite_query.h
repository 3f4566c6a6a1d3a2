// A kept statement of the SQLite engine (SqliteStoreDb::prepared), bound
// and stepped by the files of the engine, reset and unbound when the guard
// ends so that the statement is ready for its next use.
#ifndef TOLVANE_MAPI_SQLITE_QUERY_H
#define TOLVANE_MAPI_SQLITE_QUERY_H

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tmapi {

class Query {
 public:
  Query(sqlite3_stmt* stmt, int rc) : m_stmt(rc == SQLITE_OK ? stmt : nullptr) {}
  ~Query() {
    if (m_stmt) {
      sqlite3_reset(m_stmt);
      sqlite3_clear_bindings(m_stmt);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return m_stmt != nullptr; }
  sqlite3_stmt* get() { return m_stmt; }
  Query& bind(int i, int64_t v) {
    sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  Query& text(int i, const std::string& v) {
    sqlite3_bind_text64(m_stmt, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  Query& blob(int i, const void* data, size_t n) {
    sqlite3_bind_blob64(m_stmt, i, n ? data : "", n, SQLITE_TRANSIENT);
    return *this;
  }
  int step() { return sqlite3_step(m_stmt); }
  int64_t integer(int col) { return sqlite3_column_int64(m_stmt, col); }
  std::string string(int col) {
    const unsigned char* t = sqlite3_column_text(m_stmt, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
             : std::string();
  }
  std::string bytes(int col) {
    const void* b = sqlite3_column_blob(m_stmt, col);
    return b ? std::string(static_cast<const char*>(b), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
             : std::string();
  }

 private:
  sqlite3_stmt* m_stmt;
};

}  // namespace tmapi

// A Query on the kept statement of sql, inside a SqliteStoreDb method.
#define TM_QUERY(name, sql)          \
  Prepared name##_p = prepared(sql); \
  Query name(name##_p.stmt, name##_p.rc)

#endif
