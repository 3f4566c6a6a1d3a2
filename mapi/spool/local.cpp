#include "spool/local.h"

#include "mime/deliver.h"

#include <tolvane/profiles.h>

#include <mapicode.h>

#include <algorithm>
#include <map>
#include <memory>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tmapi {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string domainOf(const std::string& address) {
  size_t at = address.rfind('@');
  return at == std::string::npos ? std::string() : lowerCase(address.substr(at + 1));
}

HRESULT LocalAddresses::load(std::string& error) {
  std::vector<mapiprofile::Profile> profiles;
  HRESULT hr = mapiprofile::list(profiles, error);
  if (FAILED(hr)) return hr;
  m_profileByAddress.clear();
  for (const auto& p : profiles) {
    if (p.address.empty()) continue;
    std::string address = lowerCase(p.address);
    m_profileByAddress.emplace(address, p.name);  // profiles in name order: the first one keeps it
  }
  return S_OK;
}

std::string LocalAddresses::profileOf(const std::string& address) const {
  auto it = m_profileByAddress.find(lowerCase(address));
  return it == m_profileByAddress.end() ? std::string() : it->second;
}

TempFile::~TempFile() {
  if (m_fd >= 0) ::close(m_fd);
}

HRESULT TempFile::create(const std::string& preferredDir, std::string& error) {
  // O_EXCL: the file can never be linked into the folder afterwards.
  m_fd = ::open(preferredDir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (m_fd >= 0) return S_OK;
  // File systems without O_TMPFILE: a private name in the system's
  // temporary folder, removed at once.
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-spool-XXXXXX";
  m_fd = mkostemp(&pattern[0], O_CLOEXEC);  // mode 0600
  if (m_fd < 0) {
    error = "Cannot make a temporary file for the message: " + std::string(strerror(errno));
    return errno == EMFILE || errno == ENFILE ? MAPI_E_NOT_ENOUGH_RESOURCES : MAPI_E_DISK_ERROR;
  }
  unlink(pattern.c_str());
  return S_OK;
}

struct LocalDeliveries::Logons {
  std::map<std::string, std::unique_ptr<mapimime::MailDelivery>> byProfile;
};

LocalDeliveries::LocalDeliveries() : m_logons(new Logons) {}

LocalDeliveries::~LocalDeliveries() { delete m_logons; }

void LocalDeliveries::clear() { m_logons->byProfile.clear(); }

HRESULT LocalDeliveries::deliver(const std::string& profile, int fd, std::string& error) {
  auto it = m_logons->byProfile.find(profile);
  if (it == m_logons->byProfile.end()) {
    std::unique_ptr<mapimime::MailDelivery> delivery(new mapimime::MailDelivery);
    HRESULT hr = delivery->open(profile, error);
    if (FAILED(hr)) return hr;
    it = m_logons->byProfile.emplace(profile, std::move(delivery)).first;
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    error = "Cannot read the message again: " + std::string(strerror(errno));
    return MAPI_E_DISK_ERROR;
  }
  mapimime::DeliveryResult result = it->second->deliverFd(fd);
  if (result.ok()) return S_OK;
  m_logons->byProfile.erase(it);
  error = result.error;
  return FAILED(result.hr) ? result.hr : MAPI_E_CALL_FAILED;
}

HRESULT deliverToProfile(const std::string& profile, int fd, std::string& error) {
  mapimime::MailDelivery delivery;
  HRESULT hr = delivery.open(profile, error);
  if (FAILED(hr)) return hr;
  if (lseek(fd, 0, SEEK_SET) != 0) {
    error = "Cannot read the message again: " + std::string(strerror(errno));
    return MAPI_E_DISK_ERROR;
  }
  mapimime::DeliveryResult result = delivery.deliverFd(fd);
  if (result.ok()) return S_OK;
  error = result.error;
  return FAILED(result.hr) ? result.hr : MAPI_E_CALL_FAILED;
}

bool makePrivateDir(const std::string& dir, std::string& error) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "Cannot create the folder " + dir + ": " + strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "The path " + dir + " is not a folder";
    return false;
  }
  return true;
}

std::string outgoingDirOf(const std::string& profile) { return mapiprofile::homeDir() + "/outgoing/" + profile; }

namespace {

bool writeAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

HRESULT diskResult() { return errno == ENOSPC ? MAPI_E_NOT_ENOUGH_DISK : MAPI_E_DISK_ERROR; }

// Writes a file under a private name in dir, syncs it and renames it to
// name; fill writes the contents. The private name starts with '.', so
// that nothing takes a half-written file.
template <typename Fill>
HRESULT writeFileAtomically(const std::string& dir, const std::string& name, Fill fill, std::string& error) {
  std::string tmp = dir + "/." + name + ".XXXXXX";
  int fd = mkostemp(&tmp[0], O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    error = "Cannot create a file in " + dir + ": " + strerror(errno);
    return diskResult();
  }
  bool ok = fill(fd) && fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(tmp.c_str(), (dir + "/" + name).c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    errno = saved;
    error = "Cannot write " + dir + "/" + name + ": " + strerror(saved);
    return diskResult();
  }
  return S_OK;
}

std::string isoTime(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// Envelope values are single lines.
std::string oneLine(const std::string& v) {
  std::string out = v;
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

HRESULT writeOutgoing(const std::string& dir, const std::string& base, int fd, const OutgoingEnvelopeData& envelope,
                      std::string& error) {
  std::string parent = dir.substr(0, dir.rfind('/'));
  if (!makePrivateDir(parent, error) || !makePrivateDir(dir, error)) return MAPI_E_DISK_ERROR;
  HRESULT hr = writeFileAtomically(
      dir, base + ".eml",
      [fd](int out) {
        std::vector<char> buf(1 << 16);
        for (off_t off = 0;;) {
          ssize_t n = pread(fd, buf.data(), buf.size(), off);
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) return false;
          if (n == 0) return true;
          if (!writeAll(out, buf.data(), static_cast<size_t>(n))) return false;
          off += n;
        }
      },
      error);
  if (FAILED(hr)) return hr;
  std::string text = "Sender: " + oneLine(envelope.sender) + "\n";
  for (const auto& r : envelope.recipients) text += "Recipient: " + oneLine(r) + "\n";
  if (!envelope.messageId.empty()) text += "Message-ID: " + oneLine(envelope.messageId) + "\n";
  text += "Written: " + isoTime(time(nullptr)) + "\n";
  hr = writeFileAtomically(
      dir, base + ".envelope", [&text](int out) { return writeAll(out, text.data(), text.size()); }, error);
  if (FAILED(hr)) return hr;
  // The new names reach the disk with the folder.
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0 || fsync(d) != 0) {
    error = "Cannot save the outgoing folder " + dir + ": " + strerror(errno);
    if (d >= 0) ::close(d);
    return MAPI_E_DISK_ERROR;
  }
  ::close(d);
  return S_OK;
}

HRESULT readOutgoing(const std::string& dir, std::vector<mapispool::OutgoingMessage>& messages, std::string& error) {
  messages.clear();
  DIR* d = opendir(dir.c_str());
  if (!d) {
    if (errno == ENOENT) return S_OK;
    error = "Cannot read the outgoing folder " + dir + ": " + strerror(errno);
    return MAPI_E_DISK_ERROR;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name[0] != '.' && name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    mapispool::OutgoingMessage m;
    m.path = dir + "/" + name;
    struct stat st;
    if (stat(m.path.c_str(), &st) != 0) continue;  // taken away meanwhile
    m.size = static_cast<uint64_t>(st.st_size);
    m.written = static_cast<int64_t>(st.st_mtime);
    std::string envelope = dir + "/" + name.substr(0, name.size() - 4) + ".envelope";
    FILE* f = fopen(envelope.c_str(), "re");
    if (f) {
      m.envelopePath = envelope;
      char line[4096];
      while (fgets(line, sizeof line, f)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        size_t colon = l.find(": ");
        if (colon == std::string::npos) continue;
        std::string key = l.substr(0, colon), value = l.substr(colon + 2);
        if (key == "Sender") m.sender = value;
        else if (key == "Recipient") m.recipients.push_back(value);
        else if (key == "Message-ID") m.messageId = value;
      }
      fclose(f);
    }
    messages.push_back(std::move(m));
  }
  return S_OK;
}

}  // namespace tmapi
