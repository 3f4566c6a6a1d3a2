// Bytes written once, front to back, and read back later: kept in memory up to
// a limit, then moved to a private temporary file, so that a value of any size
// (an attachment of 100+ MiB) never has to be held whole in memory.
#ifndef TOLVANE_MAPI_MSGFILE_SPOOL_H
#define TOLVANE_MAPI_MSGFILE_SPOOL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tmapi {
namespace msgfile {

class Spool {
 public:
  // Values up to memLimit bytes stay in memory.
  explicit Spool(size_t memLimit = kDefaultMemLimit);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  static constexpr size_t kDefaultMemLimit = 1024 * 1024;

  // Appends n bytes. On failure returns false and sets errno-style `err`.
  bool append(const void* data, size_t n, int& err);
  // Reads up to n bytes at `offset`; `got` is 0 at the end.
  bool read(uint64_t offset, void* buf, size_t n, size_t& got, int& err) const;
  // Drops the content (and the temporary file).
  void clear();
  // Appends the whole content of `other`.
  bool appendFrom(const Spool& other, int& err);

  uint64_t size() const { return m_size; }
  bool inMemory() const { return m_fd < 0; }
  // The content while it is in memory.
  const std::string& memory() const { return m_mem; }

 private:
  bool spill(int& err);

  size_t m_limit;
  std::string m_mem;
  int m_fd = -1;
  uint64_t m_size = 0;
};

// A private temporary file in $TMPDIR (or /tmp), already unlinked: it goes
// away with its descriptor. Returns -1 and sets err on failure.
int openPrivateTempFile(int& err);

}  // namespace msgfile
}  // namespace tmapi

#endif
