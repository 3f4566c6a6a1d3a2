// OS services on Linux and other POSIX systems.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

DWORD lastError() { return static_cast<DWORD>(errno); }
void setLastError(DWORD code) { errno = static_cast<int>(code); }

bool errorText(DWORD code, std::string& text) {
  text.clear();
  char buf[256];
  buf[0] = '\0';
  // The GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* msg = strerror_r(static_cast<int>(code), buf, sizeof buf);
#else
  const char* msg = strerror_r(static_cast<int>(code), buf, sizeof buf) == 0 ? buf : nullptr;
#endif
  if (!msg || !*msg) return false;
  text = msg;
  return true;
}

bool getEnv(const char* name, std::string& value) {
  const char* v = getenv(name);
  if (!v) {
    value.clear();
    return false;
  }
  value = v;
  return true;
}

int processId() { return static_cast<int>(getpid()); }

std::string localTimeText() {
  time_t now = time(nullptr);
  struct tm local;
  char buf[200];
  memset(buf, 0, sizeof buf);
  if (localtime_r(&now, &local)) strftime(buf, sizeof buf, "%c", &local);
  return buf;
}

const char* pathSeparator() { return "/"; }

bool appendToPrivateFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const char* p = bytes.data();
  size_t left = bytes.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0) ok = false;
  return ok;
}

bool createUniqueFile(const std::string& dir, const std::string& prefix, const std::string& extension,
                      std::string& path) {
  path.clear();
  std::string pattern = dir;
  if (!pattern.empty() && pattern.back() != '/') pattern += '/';
  pattern += prefix + "XXXXXX" + extension;
  std::string buf = pattern;
  // mkstemps creates the file with O_EXCL and mode 0600.
  int fd = mkstemps(&buf[0], static_cast<int>(extension.size()));
  if (fd < 0) return false;
  close(fd);
  path = buf;
  return true;
}

bool deleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

OutputFile::OutputFile() : m_handle(-1), m_created(false) {}
OutputFile::~OutputFile() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
}

bool OutputFile::open(const std::string& path) {
  if (m_handle >= 0) close();
  m_created = false;
  // A new file is the user's alone. O_EXCL never follows a link at the path,
  // not even a dangling one: the name is refused as taken.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    m_handle = fd;
    m_created = true;
    return true;
  }
  if (errno != EEXIST) return false;
  // A name that is taken: a link there fails with ELOOP (O_NOFOLLOW);
  // O_NONBLOCK keeps a FIFO planted there from blocking the open. Nothing is
  // emptied before the file is known to be a regular file of this user.
  fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (st.st_uid != geteuid()) {
    error = EPERM;
  } else {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ftruncate(fd, 0) != 0) error = errno;
  }
  if (error != 0) {
    ::close(fd);
    errno = error;
    return false;
  }
  m_handle = fd;
  return true;
}

bool OutputFile::write(const void* data, ULONG size) {
  if (m_handle < 0) {
    errno = EBADF;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    ssize_t n = ::write(static_cast<int>(m_handle), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::close() {
  if (m_handle < 0) return true;
  int rc = ::close(static_cast<int>(m_handle));
  m_handle = -1;
  return rc == 0;
}

bool OutputFile::isOpen() const { return m_handle >= 0; }

namespace {
const ULONG kInputBufferSize = 1024 * 1024;
}

InputFile::InputFile() : m_handle(-1), m_buffer(nullptr), m_bufferFill(0), m_bufferPos(0) {}

InputFile::~InputFile() {
  close();
  delete[] m_buffer;
}

bool InputFile::open(const std::string& path) {
  close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  m_handle = fd;
  m_bufferFill = m_bufferPos = 0;
  return true;
}

bool InputFile::read(void* data, ULONG size, ULONG& got) {
  got = 0;
  if (m_handle < 0) {
    errno = EBADF;
    return false;
  }
  if (!m_buffer) m_buffer = new char[kInputBufferSize];
  char* out = static_cast<char*>(data);
  while (got < size) {
    if (m_bufferPos == m_bufferFill) {
      // A large read goes straight to the caller.
      if (size - got >= kInputBufferSize) {
        ssize_t n = ::read(static_cast<int>(m_handle), out + got, size - got);
        if (n < 0) {
          if (errno == EINTR) continue;
          return false;
        }
        if (n == 0) break;
        got += static_cast<ULONG>(n);
        continue;
      }
      ssize_t n = ::read(static_cast<int>(m_handle), m_buffer, kInputBufferSize);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      m_bufferFill = static_cast<ULONG>(n);
      m_bufferPos = 0;
    }
    ULONG take = std::min(size - got, m_bufferFill - m_bufferPos);
    memcpy(out + got, m_buffer + m_bufferPos, take);
    m_bufferPos += take;
    got += take;
    // One read call of the caller gives what one system read gave, as a
    // plain read would.
    if (m_bufferPos == m_bufferFill) break;
  }
  return true;
}

bool InputFile::seekToStart() {
  if (m_handle < 0) {
    errno = EBADF;
    return false;
  }
  m_bufferFill = m_bufferPos = 0;
  return lseek(static_cast<int>(m_handle), 0, SEEK_SET) == 0;
}

void InputFile::close() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
  m_handle = -1;
  m_bufferFill = m_bufferPos = 0;
}

bool InputFile::isOpen() const { return m_handle >= 0; }

namespace {
// 100 ns intervals between 1601-01-01 and 1970-01-01.
const int64_t kUnixEpochAsFileTime = 116444736000000000LL;
// Days between 1899-12-30 and 1601-01-01 (automation date epoch).
const double kFileTimeEpochAsAutomationDate = -109205.0;
const double kTicksPerDay = 864000000000.0;
}  // namespace

FILETIME systemTimeAsFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t ticks = kUnixEpochAsFileTime + static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ft;
}

bool fileTimeToAutomationDate(const FILETIME& ft, double& date) {
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // FileTimeToSystemTime refuses values with the top bit set.
  if (ticks & 0x8000000000000000ULL) return false;
  // Automation dates keep milliseconds at most: drop finer ticks the way
  // the SYSTEMTIME step does.
  uint64_t ms = ticks / 10000;
  uint64_t days = ms / 86400000ULL;
  uint64_t msOfDay = ms % 86400000ULL;
  date = kFileTimeEpochAsAutomationDate + static_cast<double>(days) + static_cast<double>(msOfDay) / 86400000.0;
  (void)kTicksPerDay;
  return true;
}

bool automationDateToText(double date, std::string& text) {
  // Days and fraction to a calendar time in the "M/D/YYYY h:mm:ss AM" form.
  if (date < -657434.0 || date > 2958465.99999) return false;
  double whole = date >= 0 ? static_cast<double>(static_cast<int64_t>(date)) : -static_cast<double>(static_cast<int64_t>(-date));
  double frac = date - whole;
  if (frac < 0) frac = -frac;  // negative dates count the time forward from midnight
  int64_t seconds = static_cast<int64_t>(frac * 86400.0 + 0.5);
  if (seconds >= 86400) seconds = 86399;
  time_t t = static_cast<time_t>((static_cast<int64_t>(whole) - 25569) * 86400 + seconds);
  struct tm tmv;
  if (!gmtime_r(&t, &tmv)) return false;
  int hour12 = tmv.tm_hour % 12;
  if (hour12 == 0) hour12 = 12;
  char buf[64];
  if (seconds == 0) {
    snprintf(buf, sizeof buf, "%d/%d/%d", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_year + 1900);
  } else {
    snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_year + 1900, hour12,
             tmv.tm_min, tmv.tm_sec, tmv.tm_hour < 12 ? "AM" : "PM");
  }
  text = buf;
  return true;
}

std::wstring toWide(const std::string& text) {
  std::wstring out;
  mbstate_t state;
  memset(&state, 0, sizeof state);
  const char* p = text.c_str();
  size_t left = text.size();
  while (left > 0) {
    wchar_t wc;
    size_t n = mbrtowc(&wc, p, left, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      // Not valid in the locale's code page: keep the byte as its own value.
      out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
      memset(&state, 0, sizeof state);
      ++p;
      --left;
      continue;
    }
    if (n == 0) n = 1;
    out += wc;
    p += n;
    left -= n;
  }
  return out;
}

// The MAPI subsystem keeps the system code page (a setting; none with a
// UTF-8 locale) and answers as Windows does.
bool isDBCSLeadByte(BYTE byte) { return IsDBCSLeadByte(byte) != FALSE; }

int compareNoCase(const char* a, const char* b) { return strcasecmp(a, b); }

}  // namespace platform
