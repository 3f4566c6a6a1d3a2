#include <tolvane/profiles.h>

#include "store/engines.h"
#include "store/pglocation.h"
#include "store/storedb.h"

#include <mapicode.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace mapiprofile {

namespace {

const char* const kExtension = ".profile";

std::string profilesDir() { return homeDir() + "/profiles"; }
std::string profilePath(const std::string& name) { return profilesDir() + "/" + name + kExtension; }

// Creates dir (and its parents) readable by the owner only.
bool makeDirs(const std::string& dir, std::string& error) {
  std::string partial;
  std::stringstream ss(dir);
  std::string part;
  if (!dir.empty() && dir[0] == '/') partial = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "Cannot create the folder " + partial + ": " + strerror(errno);
      return false;
    }
    partial += "/";
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "The path " + dir + " is not a folder";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    error = "The folder " + dir + " is not writable: " + strerror(errno);
    return false;
  }
  return true;
}

std::string hex(const MAPIUID& uid) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (BYTE b : uid.ab) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

bool parseHex(const std::string& text, MAPIUID& uid) {
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    unsigned v = 0;
    for (size_t j = 0; j < 2; ++j) {
      char c = text[2 * i + j];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    uid.ab[i] = static_cast<BYTE>(v);
  }
  return true;
}

// A folder of the home is used only when it is this user's and nobody
// else can write in it: whoever can write there can plant a profile that
// receives this user's mail, or read what is delivered. A folder that does
// not exist yet passes (it is made owner-only).
bool safeFolder(const std::string& dir, std::string& error) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    // Not there (or below a file): making it is what fails then.
    if (errno == ENOENT || errno == ENOTDIR) return true;
    error = "Cannot look at the folder " + dir + ": " + strerror(errno);
    return false;
  }
  uid_t me = geteuid();
  if (S_ISLNK(st.st_mode)) {
    // A link in a shared folder (/tmp) is replaced at will by its owner.
    if (st.st_uid != me) {
      error = "The folder " + dir + " is a symbolic link of another user (uid " + std::to_string(st.st_uid) +
              "): refusing to use it";
      return false;
    }
    if (stat(dir.c_str(), &st) != 0) {
      error = "Cannot look at the folder " + dir + ": " + strerror(errno);
      return false;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "The path " + dir + " is not a folder";
    return false;
  }
  if (st.st_uid != me) {
    error = "The folder " + dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ", not " +
            std::to_string(me) + "): refusing to use it, since its owner could place profiles in it";
    return false;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "The folder " + dir + " can be written by other users (mode " + mode +
            "): refusing to use it; make it writable by its owner only (chmod go-w)";
    return false;
  }
  return true;
}

// Values are single lines: line breaks in them would start new keys.
bool singleLine(const std::string& v) { return v.find_first_of("\r\n") == std::string::npos; }

}  // namespace

std::string homeDir() {
  const char* home = getenv("TOLVANE_MAPI_HOME");
  if (home && *home) return home;
  const char* user = getenv("HOME");
  if (!user || !*user) {
    struct passwd* pw = getpwuid(getuid());
    // A user without a home folder: a folder of its own in /tmp (checked
    // like any home before use).
    if (!pw || !pw->pw_dir || !*pw->pw_dir) return "/tmp/.tolvane-mapi-" + std::to_string(getuid());
    user = pw->pw_dir;
  }
  return std::string(user) + "/.tolvane-mapi";
}

HRESULT checkHome(std::string& error) {
  std::string home = homeDir();
  for (const std::string& dir : {home, home + "/profiles", home + "/stores"})
    if (!safeFolder(dir, error)) return MAPI_E_NO_ACCESS;
  return S_OK;
}

bool validName(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "the profile name is empty";
    return false;
  }
  if (name.size() > 64) {
    why = "the profile name is longer than 64 characters";
    return false;
  }
  if (name[0] == '.' || name[0] == ' ') {
    why = "the profile name must not begin with '.' or a blank";
    return false;
  }
  for (unsigned char c : name) {
    if (!(isalnum(c) || c == ' ' || c == '.' || c == '_' || c == '-' || c == '@')) {
      why = "the profile name may hold only letters, digits, blanks and . _ - @";
      return false;
    }
  }
  return true;
}

bool parseTransport(const std::string& text, Transport& transport, std::string& why) {
  transport = Transport();
  auto lower = [](std::string v) {
    for (char& c : v) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return v;
  };
  std::string t = lower(text);
  if (t == "local") return true;
  if (t == "sendmail" || t.rfind("sendmail:", 0) == 0) {
    transport.kind = Transport::kSendmail;
    transport.path = t == "sendmail" ? "/usr/sbin/sendmail" : text.substr(9);
    if (transport.path.empty() || transport.path[0] != '/') {
      why = "the sendmail program must be given by its absolute path (sendmail:/usr/sbin/sendmail)";
      return false;
    }
    for (unsigned char c : transport.path) {
      if (c < 0x20 || c == 0x7F || c == ' ') {
        why = "the sendmail path must not contain blanks or control characters";
        return false;
      }
    }
    return true;
  }
  bool secure = t.rfind("smtps://", 0) == 0;
  if (!secure && t.rfind("smtp://", 0) != 0) {
    why = "use local, smtp://HOST[:PORT], smtps://HOST[:PORT] or sendmail[:PATH]";
    return false;
  }
  transport.kind = secure ? Transport::kSmtps : Transport::kSmtp;
  transport.port = secure ? 465 : 587;
  std::string rest = text.substr(secure ? 8 : 7);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('@') != std::string::npos) {
    why = "credentials do not belong in the transport setting; give only the server";
    return false;
  }
  std::string host = rest, port;
  bool hasPort = false;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) {
      why = "the IPv6 address of the server lacks its closing ']'";
      return false;
    }
    host = rest.substr(1, close - 1);
    std::string after = rest.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      why = "only :PORT may follow the server";
      return false;
    }
    hasPort = !after.empty();
    if (hasPort) port = after.substr(1);
    for (unsigned char c : host) {
      if (!(isxdigit(c) || c == ':' || c == '.')) {
        why = "the IPv6 address of the server is not valid";
        return false;
      }
    }
  } else {
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
      hasPort = true;
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
    }
    for (unsigned char c : host) {
      if (!(isalnum(c) || c == '-' || c == '.')) {
        why = "the server name may hold only letters, digits, '-' and '.' (and only :PORT may follow it)";
        return false;
      }
    }
  }
  if (host.empty()) {
    why = "the server is missing (smtp://HOST[:PORT])";
    return false;
  }
  if (hasPort) {
    unsigned long n = 0;
    bool ok = !port.empty() && port.size() <= 5 &&
              port.find_first_not_of("0123456789") == std::string::npos && (n = std::stoul(port)) >= 1 && n <= 65535;
    if (!ok) {
      why = "the port must be a number from 1 to 65535";
      return false;
    }
    transport.port = static_cast<unsigned>(n);
  }
  transport.host = lower(host);
  return true;
}

HRESULT write(const Profile& profile, std::string& error) {
  std::string why;
  if (!validName(profile.name, why)) {
    error = "Invalid profile name '" + profile.name + "': " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  if (!singleLine(profile.address) || !singleLine(profile.displayName) || !singleLine(profile.storePath) ||
      !singleLine(profile.smtpUser) || !singleLine(profile.smtpPassword)) {
    error = "Profile values must not contain line breaks";
    return MAPI_E_INVALID_PARAMETER;
  }
  Transport transport;
  if (!parseTransport(profile.transport, transport, why)) {
    error = "Invalid transport '" + profile.transport + "': " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  if (profile.starttls != "required" && profile.starttls != "opportunistic") {
    error = "Invalid starttls setting '" + profile.starttls + "': use required or opportunistic";
    return MAPI_E_INVALID_PARAMETER;
  }
  HRESULT checked = checkHome(error);
  if (FAILED(checked)) return checked;
  if (!makeDirs(profilesDir(), error)) return MAPI_E_NO_ACCESS;
  checked = checkHome(error);
  if (FAILED(checked)) return checked;
  std::string path = profilePath(profile.name);
  std::string tmp = path + ".tmp";
  {
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      error = "Cannot write the profile " + path + ": " + strerror(errno);
      return MAPI_E_NO_ACCESS;
    }
    // A store inside the home is named relative to it, so that reading the
    // profile and writing it again (`profile set`) keeps the same file,
    // also when the home itself is given as a relative path.
    std::string store = profile.storePath;
    std::string home = homeDir() + "/";
    if (store.size() > home.size() && store.compare(0, home.size(), home) == 0) store = store.substr(home.size());
    std::string text = "store=" + store + "\nstore_uid=" + hex(profile.storeUid) +
                       "\naddress=" + profile.address + "\ndisplay_name=" + profile.displayName +
                       "\ndefault_store=" + (profile.defaultStore ? "yes" : "no") +
                       "\ntransport=" + profile.transport + "\n";
    // The SMTP settings only where set: a profile of the local transport
    // keeps the lines it always had.
    if (profile.starttls != "opportunistic") text += "starttls=" + profile.starttls + "\n";
    if (!profile.smtpUser.empty()) text += "smtp_user=" + profile.smtpUser + "\n";
    if (!profile.smtpPassword.empty()) text += "smtp_password=" + profile.smtpPassword + "\n";
    if (profile.retryAfterSeconds) text += "retry_after=" + std::to_string(profile.retryAfterSeconds) + "\n";
    if (profile.queueLifetimeSeconds)
      text += "queue_lifetime=" + std::to_string(profile.queueLifetimeSeconds) + "\n";
    if (profile.smtpTimeoutSeconds) text += "smtp_timeout=" + std::to_string(profile.smtpTimeoutSeconds) + "\n";
    if (profile.smtpReplyTimeoutSeconds)
      text += "smtp_reply_timeout=" + std::to_string(profile.smtpReplyTimeoutSeconds) + "\n";
    // The file may hold a password: the owner's only, also when a .tmp of
    // another mode was left behind.
    bool ok = fchmod(fd, 0600) == 0;
    ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ok;
    ok = (fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
      error = "Cannot write the profile " + path + ": " + strerror(errno);
      unlink(tmp.c_str());
      return MAPI_E_DISK_ERROR;
    }
  }
  return S_OK;
}

namespace {

// A profile's store location as it is kept. Passwords stay in libpq's own
// places, out of the profile and of every list; the mailbox is the
// profile's name unless the location names one.
HRESULT checkStoreLocation(Profile& profile, std::string& error) {
  if (!tmapi::isPgLocation(profile.storePath)) return S_OK;
  if (tmapi::pgLocationHasPassword(profile.storePath)) {
    error = "The store location " + tmapi::maskedPgLocation(profile.storePath) +
            " holds a password: keep it in ~/.pgpass, the file PGPASSFILE names or a service file instead";
    return MAPI_E_INVALID_PARAMETER;
  }
  tmapi::PgLocation parsed;
  std::string why;
  if (!tmapi::parsePgLocation(profile.storePath, parsed, why)) {
    error = "The store location " + tmapi::maskedPgLocation(profile.storePath) + " cannot be read: " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  if (parsed.mailbox.empty()) profile.storePath = tmapi::withPgMailbox(profile.storePath, profile.name);
  return S_OK;
}

// The checks and defaults of a new profile, up to its store: S_OK when the
// profile can be written for profile.storePath.
HRESULT prepareNew(Profile& profile, std::string& error) {
  std::string why;
  if (!validName(profile.name, why)) {
    error = "Invalid profile name '" + profile.name + "': " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  std::string home = homeDir();
  HRESULT checked = checkHome(error);
  if (FAILED(checked)) return checked;
  if (!makeDirs(profilesDir(), error) || !makeDirs(home + "/stores", error)) return MAPI_E_NO_ACCESS;
  // Made now, or there before: either way this user's alone.
  checked = checkHome(error);
  if (FAILED(checked)) return checked;
  struct stat st;
  if (stat(profilePath(profile.name).c_str(), &st) == 0) {
    error = "The profile '" + profile.name + "' already exists";
    return MAPI_E_COLLISION;
  }
  if (profile.storePath.empty()) profile.storePath = home + "/stores/" + profile.name + ".db";
  return checkStoreLocation(profile, error);
}

}  // namespace

HRESULT create(Profile& profile, std::string& error) {
  HRESULT hr = prepareNew(profile, error);
  if (FAILED(hr)) return hr;
  std::string display = profile.displayName.empty() ? profile.name : profile.displayName;
  const tmapi::StoreEngine& engine = tmapi::storeEngineFor(profile.storePath);
  hr = engine.create(profile.storePath, "Mailbox - " + display, profile.storeUid, error);
  if (FAILED(hr)) return hr;
  hr = write(profile, error);
  if (FAILED(hr)) {
    std::string ignored;
    engine.destroy(profile.storePath, ignored);
  }
  return hr;
}

HRESULT attach(Profile& profile, std::string& error) {
  if (profile.storePath.empty()) {
    error = "A profile for an existing message store needs its location (--store)";
    return MAPI_E_INVALID_PARAMETER;
  }
  HRESULT hr = prepareNew(profile, error);
  if (FAILED(hr)) return hr;
  tmapi::StoreDb* db = nullptr;
  hr = tmapi::storeEngineFor(profile.storePath).open(profile.storePath, &db, error);
  if (FAILED(hr)) return hr;
  profile.storeUid = db->uid();
  delete db;
  return write(profile, error);
}

HRESULT setStore(Profile& profile, const std::string& location, std::string& error) {
  Profile moved = profile;
  moved.storePath = location;
  // A file named from here is kept by its whole path.
  if (!location.empty() && location[0] != '/' && storeIsFile(moved)) {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      error = std::string("Cannot tell the current folder: ") + strerror(errno);
      return MAPI_E_DISK_ERROR;
    }
    moved.storePath = std::string(cwd) + "/" + location;
  }
  HRESULT hr = checkStoreLocation(moved, error);
  if (FAILED(hr)) return hr;
  tmapi::StoreDb* db = nullptr;
  hr = tmapi::StoreDb::open(moved.storePath, &db, error);
  if (FAILED(hr)) return hr;
  bool same = memcmp(db->uid().ab, profile.storeUid.ab, sizeof profile.storeUid.ab) == 0;
  delete db;
  if (!same) {
    error = "The message store " + shownStore(moved) + " is not the store of the profile '" + profile.name +
            "' (it has another identity): copy the profile's store there first (tolvane-mapi store copy)";
    return MAPI_E_INVALID_PARAMETER;
  }
  profile.storePath = moved.storePath;
  return S_OK;
}

std::string shownStore(const Profile& profile) {
  return tmapi::storeEngineFor(profile.storePath).shown(profile.storePath);
}

bool storeIsFile(const Profile& profile) {
  return std::string(tmapi::storeEngineFor(profile.storePath).name) == "sqlite";
}

HRESULT load(const std::string& name, Profile& profile, std::string& error) {
  std::string why;
  if (!validName(name, why)) {
    error = "Invalid profile name '" + name + "': " + why;
    return MAPI_E_LOGON_FAILED;
  }
  HRESULT checked = checkHome(error);
  if (FAILED(checked)) return checked;
  std::ifstream in(profilePath(name));
  if (!in) {
    error = "The profile '" + name + "' does not exist";
    return MAPI_E_LOGON_FAILED;
  }
  profile = Profile();
  profile.name = name;
  bool haveUid = false;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "store") profile.storePath = value;
    else if (key == "store_uid") haveUid = parseHex(value, profile.storeUid);
    else if (key == "address") profile.address = value;
    else if (key == "display_name") profile.displayName = value;
    else if (key == "default_store") profile.defaultStore = (value != "no");
    else if (key == "transport" && !value.empty()) profile.transport = value;
    else if (key == "starttls" && !value.empty()) profile.starttls = value;
    else if (key == "smtp_user") profile.smtpUser = value;
    else if (key == "smtp_password") profile.smtpPassword = value;
    else if (key == "retry_after") profile.retryAfterSeconds = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "queue_lifetime")
      profile.queueLifetimeSeconds = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "smtp_timeout")
      profile.smtpTimeoutSeconds = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "smtp_reply_timeout")
      profile.smtpReplyTimeoutSeconds = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
  }
  if (profile.storePath.empty() || !haveUid) {
    error = "The profile '" + name + "' is damaged: it names no message store";
    return MAPI_E_LOGON_FAILED;
  }
  // A path is relative to the home; another engine's location is taken as
  // it stands.
  if (profile.storePath[0] != '/' && storeIsFile(profile))
    profile.storePath = homeDir() + "/" + profile.storePath;
  return S_OK;
}

HRESULT list(std::vector<Profile>& profiles, std::string& error) {
  profiles.clear();
  HRESULT checked = checkHome(error);
  if (FAILED(checked)) return checked;
  DIR* dir = opendir(profilesDir().c_str());
  if (!dir) {
    if (errno == ENOENT) return S_OK;
    error = "Cannot read " + profilesDir() + ": " + strerror(errno);
    return MAPI_E_NO_ACCESS;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    std::string file = e->d_name;
    size_t n = strlen(kExtension);
    if (file.size() > n && file.compare(file.size() - n, n, kExtension) == 0) names.push_back(file.substr(0, file.size() - n));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    Profile p;
    std::string ignored;
    if (SUCCEEDED(load(name, p, ignored))) profiles.push_back(p);
  }
  return S_OK;
}

HRESULT remove(const std::string& name, bool purge, std::string& error) {
  Profile p;
  HRESULT hr = load(name, p, error);
  if (hr == MAPI_E_NO_ACCESS) return hr;  // the home is not safe to use
  if (FAILED(hr)) return MAPI_E_NOT_FOUND;
  if (unlink(profilePath(name).c_str()) != 0) {
    error = "Cannot delete the profile " + profilePath(name) + ": " + strerror(errno);
    return MAPI_E_NO_ACCESS;
  }
  if (purge) {
    const tmapi::StoreEngine& engine = tmapi::storeEngineFor(p.storePath);
    std::string why;
    if (FAILED(engine.destroy(p.storePath, why))) {
      error = "The profile was deleted but its store " + engine.shown(p.storePath) + " was not: " + why;
      return MAPI_E_NO_ACCESS;
    }
  }
  return S_OK;
}

}  // namespace mapiprofile
