#include "msgfile/spool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tmapi {
namespace msgfile {

int openPrivateTempFile(int& err) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
#ifdef O_TMPFILE
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  // Filesystems without O_TMPFILE: a named file, unlinked at once.
  std::string templ = std::string(dir) + "/tolvane-spool-XXXXXX";
  fd = mkostemp(&templ[0], O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  unlink(templ.c_str());
  return fd;
}

Spool::Spool(size_t memLimit) : m_limit(memLimit) {}

Spool::~Spool() { clear(); }

void Spool::clear() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  std::string().swap(m_mem);
  m_size = 0;
}

bool Spool::spill(int& err) {
  int fd = openPrivateTempFile(err);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < m_mem.size()) {
    ssize_t w = write(fd, m_mem.data() + done, m_mem.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      close(fd);
      return false;
    }
    done += static_cast<size_t>(w);
  }
  m_fd = fd;
  std::string().swap(m_mem);
  return true;
}

bool Spool::append(const void* data, size_t n, int& err) {
  if (n == 0) return true;
  if (m_fd < 0 && m_mem.size() + n > m_limit && !spill(err)) return false;
  if (m_fd < 0) {
    m_mem.append(static_cast<const char*>(data), n);
    m_size += n;
    return true;
  }
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(m_fd, p + done, n - done, static_cast<off_t>(m_size + done));
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  m_size += n;
  return true;
}

bool Spool::read(uint64_t offset, void* buf, size_t n, size_t& got, int& err) const {
  got = 0;
  if (offset >= m_size || n == 0) return true;
  uint64_t left = m_size - offset;
  if (n > left) n = static_cast<size_t>(left);
  if (m_fd < 0) {
    memcpy(buf, m_mem.data() + offset, n);
    got = n;
    return true;
  }
  while (got < n) {
    ssize_t r = pread(m_fd, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool Spool::appendFrom(const Spool& other, int& err) {
  if (other.inMemory()) return append(other.m_mem.data(), other.m_mem.size(), err);
  std::string buf(64 * 1024, '\0');
  uint64_t off = 0;
  for (;;) {
    size_t got = 0;
    if (!other.read(off, &buf[0], buf.size(), got, err)) return false;
    if (got == 0) return true;
    if (!append(buf.data(), got, err)) return false;
    off += got;
  }
}

}  // namespace msgfile
}  // namespace tmapi
