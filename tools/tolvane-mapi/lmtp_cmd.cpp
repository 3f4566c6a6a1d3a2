// tolvane-mapi lmtp [--listen unix:PATH | --listen inet:HOST:PORT]... [options]
//
// A resident delivery agent speaking LMTP (RFC 2033) for the profiles of the
// home: a mail server hands it messages over a socket instead of starting
// `tolvane-mapi deliver` for each one. A recipient is a profile by its
// address (case-insensitive; the first profile in name order keeps an
// address two profiles share, as the local transport has it).
//
// Replies:
//   LHLO       250 with PIPELINING, ENHANCEDSTATUSCODES, 8BITMIME, SIZE n
//   RCPT       250 2.1.5 a profile's address; 550 5.1.1 no such recipient
//   after DATA one reply per accepted recipient, in RCPT order:
//              250 2.0.0 stored (committed to that profile's store)
//              451 4.3.0 that profile's store failed (try again later)
//              554 5.6.0 the input is not a message (what deliver refuses)
//              552 5.3.4 the message or its header block is too large
//   421 4.3.2  too many connections, or the server is stopping
//   500 5.5.2  unknown command, a line of more than 1000 bytes, HELO/EHLO
//   501 5.5.4  a command's arguments are malformed
//   503 5.5.1  a command out of sequence
//
// Each message is kept in an owner-only temporary file without a name while
// it is read, then delivered with MailDelivery (what `deliver` uses) into
// each recipient's store, one transaction per recipient; a client that
// goes away before the final dot stores nothing. The MailDelivery of each
// profile stays open across connections and is used under a mutex
// (LmtpMailboxes, lmtp_mailboxes.h).
//
// A retry of the same message to the same recipient after a lost reply is
// answered 250 without storing it again: the last LmtpMailboxes::kRemembered
// deliveries are remembered by (profile, Message-ID, SHA-256 of the data),
// in memory and in the file lmtp-delivered of the home (so also across a
// restart). A message without a Message-ID is never taken for a retry.
//
// SIGTERM or SIGINT: no new connections; transactions in flight finish,
// idle clients get 421; then exit 0. SIGHUP reads the profile list again.
//
// Exit codes (sysexits): 0 stopped by a signal; 64 usage; 71 a socket or
// pipe cannot be made; 78 the home does not exist or is not safe to use.
#include "commands.h"
#include "service.h"
#include "lmtp_mailboxes.h"

#include <deliver.h>
#include <tolvane/profiles.h>

#include <mapicode.h>

#include <glib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int kUsageError = 64;
const int kOsError = 71;
const int kConfigError = 78;

// A command line of more than 1000 bytes, CRLF included, is refused (RFC
// 5321 4.5.3.1.4 asks for 512 at least; 1000 is its limit for text lines).
const size_t kMaxCommandLine = 1000;
// How often a waiting connection looks whether the server is stopping.
const int kStopCheckMs = 200;

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

bool startsWithNoCase(const std::string& text, const std::string& head) {
  return text.size() >= head.size() && lowerCase(text.substr(0, head.size())) == lowerCase(head);
}

// A reply text fit for one line: no control characters.
std::string replyText(const std::string& text) {
  std::string out = printableField(text);
  if (out.size() > 400) out = out.substr(0, 400) + "...";
  return out;
}

struct Options {
  std::vector<std::string> listen;
  unsigned timeoutSeconds = 300;
  uint64_t maxMessageBytes = 50ull * 1024 * 1024;
  uint64_t maxHeaderBytes = 1024 * 1024;
  unsigned maxConnections = 64;
  std::string socketGroup;
};

// A temporary file without a name, owner-only, in TMPDIR.
int makeTemporaryFile(std::string& error) {
  const char* dir = getenv("TMPDIR");
  std::string where = dir && *dir ? dir : "/tmp";
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    std::string tmpl = where + "/tolvane-lmtp-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.data());
  }
  if (fd < 0) error = std::string("Cannot make a temporary file: ") + strerror(errno);
  return fd;
}

// One client.
class Connection {
 public:
  Connection(int fd, LmtpMailboxes& profiles, const Options& options)
      : m_fd(fd), m_profiles(profiles), m_options(options) {}
  ~Connection() {
    dropMessage();
    ::close(m_fd);
  }

  void serve() {
    reply("220 " + hostName() + " LMTP tolvane-mapi ready");
    while (true) {
      std::string line;
      bool complete = false;
      Read r = readLine(line, kMaxCommandLine, complete, /*idle=*/!m_inTransaction);
      if (r == kStopping) {
        reply("421 4.3.2 Service shutting down");
        flush();
        return;
      }
      if (r != kOk) return;  // gone, or silent too long: nothing is held
      if (!complete) {
        // The rest of the line is read and dropped.
        std::string rest;
        bool done = false;
        while (!done) {
          if (readLine(rest, kMaxCommandLine, done, false) != kOk) return;
        }
        reply("500 5.5.2 Line too long");
        continue;
      }
      if (!command(line)) {
        flush();
        return;
      }
      if (service::stopRequested.load() && !m_inTransaction) {
        reply("421 4.3.2 Service shutting down");
        flush();
        return;
      }
    }
  }

 private:
  enum Read { kOk, kEof, kTimeout, kStopping };

  std::string hostName() {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
    return name;
  }

  void reply(const std::string& text) { m_out += text + "\r\n"; }

  bool flush() {
    bool ok = service::writeAll(m_fd, m_out.data(), m_out.size());
    m_out.clear();
    return ok;
  }

  // Reads one line into `line` (without its line end): at most max bytes;
  // complete is false when the line goes on. Replies are sent before the
  // connection waits for more input, so that pipelined commands are
  // answered in one write. While idle, a stopping server ends the wait.
  Read readLine(std::string& line, size_t max, bool& complete, bool idle) {
    line.clear();
    complete = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.timeoutSeconds);
    while (true) {
      size_t nl = m_in.find('\n', m_pos);
      size_t avail = m_in.size() - m_pos;
      if (nl != std::string::npos && nl - m_pos < max) {
        line.assign(m_in, m_pos, nl - m_pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m_pos = nl + 1;
        complete = true;
        return kOk;
      }
      if (avail >= max) {
        line.assign(m_in, m_pos, max);
        m_pos += max;
        return kOk;
      }
      if (m_pos > 0) {
        m_in.erase(0, m_pos);
        m_pos = 0;
      }
      if (!m_out.empty() && !flush()) return kEof;
      while (true) {
        if (idle && service::stopRequested.load()) return kStopping;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
          service::logLine("lmtp", "a client was silent for " + std::to_string(m_options.timeoutSeconds) + " s: dropped");
          return kTimeout;
        }
        int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        pollfd p = {m_fd, POLLIN, 0};
        int ready = poll(&p, 1, std::min(wait, kStopCheckMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return kEof;
        if (ready > 0) break;
      }
      char buf[64 * 1024];
      ssize_t n = ::read(m_fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kEof;
      m_in.append(buf, static_cast<size_t>(n));
    }
  }

  // The address in "<addr>" after the colon of "MAIL FROM:" or "RCPT TO:",
  // and the parameters after it; false when malformed.
  static bool parsePath(const std::string& rest, std::string& address, std::string& params) {
    size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i >= rest.size() || rest[i] != '<') return false;
    size_t close = rest.find('>', i);
    if (close == std::string::npos) return false;
    address = rest.substr(i + 1, close - i - 1);
    // A source route (<@a,@b:user@c>) is dropped, as RFC 5321 allows.
    if (!address.empty() && address[0] == '@') {
      size_t colon = address.find(':');
      if (colon == std::string::npos) return false;
      address = address.substr(colon + 1);
    }
    if (address.find_first_of(" <>") != std::string::npos) return false;
    params = rest.substr(close + 1);
    if (!params.empty() && params[0] != ' ') return false;
    return true;
  }

  void resetTransaction() {
    m_inTransaction = false;
    m_recipients.clear();
  }

  // Handles one command line; false when the connection is to end.
  bool command(const std::string& line) {
    size_t sp = line.find(' ');
    std::string verb = lowerCase(line.substr(0, sp));
    std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    if (verb == "lhlo") {
      if (rest.find_first_not_of(' ') == std::string::npos) {
        reply("501 5.5.4 LHLO needs a host name");
        return true;
      }
      resetTransaction();
      m_greeted = true;
      reply("250-" + hostName());
      reply("250-PIPELINING");
      reply("250-ENHANCEDSTATUSCODES");
      reply("250-8BITMIME");
      reply("250 SIZE " + std::to_string(m_options.maxMessageBytes));
      return true;
    }
    if (verb == "helo" || verb == "ehlo") {
      reply("500 5.5.2 This is an LMTP server: use LHLO");
      return true;
    }
    if (verb == "quit") {
      reply("221 2.0.0 Bye");
      return false;
    }
    if (verb == "noop") {
      reply("250 2.0.0 OK");
      return true;
    }
    if (verb == "rset") {
      resetTransaction();
      reply("250 2.0.0 OK");
      return true;
    }
    if (verb == "mail") {
      if (!m_greeted || m_inTransaction) {
        reply(m_greeted ? "503 5.5.1 MAIL already given" : "503 5.5.1 LHLO first");
        return true;
      }
      std::string address, params;
      if (!startsWithNoCase(rest, "from:") || !parsePath(rest.substr(5), address, params)) {
        reply("501 5.5.4 Syntax: MAIL FROM:<address> [parameters]");
        return true;
      }
      // SIZE=n declares the message's size ahead of it.
      std::string p = lowerCase(params);
      size_t at = p.find(" size=");
      if (at != std::string::npos) {
        char* end = nullptr;
        unsigned long long declared = strtoull(p.c_str() + at + 6, &end, 10);
        if (end == p.c_str() + at + 6 || (*end && *end != ' ')) {
          reply("501 5.5.4 Malformed SIZE parameter");
          return true;
        }
        if (declared > m_options.maxMessageBytes) {
          reply("552 5.3.4 Message size exceeds the limit of " + std::to_string(m_options.maxMessageBytes) +
                " bytes");
          return true;
        }
      }
      m_inTransaction = true;
      m_recipients.clear();
      reply("250 2.1.0 OK");
      return true;
    }
    if (verb == "rcpt") {
      if (!m_inTransaction) {
        reply("503 5.5.1 MAIL first");
        return true;
      }
      std::string address, params;
      if (!startsWithNoCase(rest, "to:") || !parsePath(rest.substr(3), address, params) || address.empty()) {
        reply("501 5.5.4 Syntax: RCPT TO:<address>");
        return true;
      }
      std::string profile = m_profiles.profileOf(address);
      if (profile.empty()) {
        reply("550 5.1.1 <" + replyText(address) + ">: no such recipient here");
        return true;
      }
      m_recipients.push_back({address, profile});
      reply("250 2.1.5 OK");
      return true;
    }
    if (verb == "data") {
      if (!m_inTransaction || m_recipients.empty()) {
        reply(m_inTransaction ? "503 5.5.1 No valid recipients" : "503 5.5.1 MAIL first");
        return true;
      }
      if (!rest.empty()) {
        reply("501 5.5.4 DATA takes no arguments");
        return true;
      }
      reply("354 Go ahead, end with <CRLF>.<CRLF>");
      bool ok = data();
      resetTransaction();
      return ok;
    }
    reply("500 5.5.2 Unknown command");
    return true;
  }

  void dropMessage() {
    if (m_message >= 0) ::close(m_message);
    m_message = -1;
  }

  // Reads the message up to the final dot into a temporary file, then
  // delivers it to each recipient and gives one reply each. False when the
  // client went away (nothing is stored then).
  bool data() {
    std::string error;
    m_message = makeTemporaryFile(error);
    bool keep = m_message >= 0;
    if (!keep) service::logLine("lmtp", error);
    uint64_t size = 0, headerBytes = 0;
    bool inHeader = true, atLineStart = true, tooLarge = false, headerTooLarge = false;
    std::string header;  // the header block, for the Message-ID (up to the header limit)
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    std::string chunk;
    // The message reaches its file in pieces of 64 KiB, not a write per line.
    std::string pending;
    auto flushPending = [&]() {
      if (keep && !pending.empty() && !service::writeAll(m_message, pending.data(), pending.size())) {
        error = std::string("Cannot keep the message in a temporary file: ") + strerror(errno);
        keep = false;
        service::logLine("lmtp", error);
      }
      pending.clear();
    };
    while (true) {
      bool complete = false;
      std::string piece;
      Read r = readLine(piece, 64 * 1024, complete, false);
      if (r != kOk) {
        g_checksum_free(sum);
        dropMessage();
        return false;
      }
      if (atLineStart && complete && piece == ".") break;
      const char* p = piece.data();
      size_t n = piece.size();
      if (atLineStart && n > 0 && p[0] == '.') {
        ++p;
        --n;
      }
      chunk.assign(p, n);
      if (complete) chunk += "\r\n";
      if (inHeader) {
        if (atLineStart && complete && n == 0) {
          inHeader = false;
        } else {
          headerBytes += chunk.size();
          if (headerBytes > m_options.maxHeaderBytes) headerTooLarge = true;
          else header += chunk;
        }
      }
      atLineStart = complete;
      size += chunk.size();
      if (size > m_options.maxMessageBytes) tooLarge = true;
      if (tooLarge || headerTooLarge || !keep) continue;  // read to the end, keep nothing
      g_checksum_update(sum, reinterpret_cast<const guchar*>(chunk.data()), chunk.size());
      pending += chunk;
      if (pending.size() >= 64 * 1024) flushPending();
    }
    if (!tooLarge && !headerTooLarge) flushPending();
    std::string hash = g_checksum_get_string(sum);
    g_checksum_free(sum);

    if (tooLarge || headerTooLarge) {
      std::string why = tooLarge ? "552 5.3.4 Message size exceeds the limit of " +
                                       std::to_string(m_options.maxMessageBytes) + " bytes"
                                 : "552 5.3.4 Header block exceeds the limit of " +
                                       std::to_string(m_options.maxHeaderBytes) + " bytes";
      for (size_t k = 0; k < m_recipients.size(); ++k) reply(why);
      dropMessage();
      return true;
    }
    if (!keep) {
      for (size_t k = 0; k < m_recipients.size(); ++k) reply("451 4.3.0 " + replyText(error));
      dropMessage();
      return true;
    }
    std::string messageId = findMessageId(header);
    std::string key = messageId.empty() ? std::string() : messageId + '\n' + hash;
    std::map<std::string, std::string> done;  // profile -> its reply, for a profile named twice
    for (const auto& r : m_recipients) {
      auto again = done.find(r.profile);
      if (again != done.end()) {
        reply(again->second);
        continue;
      }
      std::string line;
      if (!key.empty() && m_profiles.delivered(r.profile, key)) {
        line = "250 2.0.0 <" + replyText(r.address) + "> already delivered";
        service::logLine("lmtp", printableField(r.profile) + ": " + printableField(messageId) + " already delivered, not stored again");
      } else {
        mapimime::DeliveryResult result = m_profiles.deliver(r.profile, m_message);
        switch (result.failure) {
          case mapimime::DeliveryFailure::kNone:
            line = "250 2.0.0 <" + replyText(r.address) + "> delivered";
            if (!key.empty()) m_profiles.remember(r.profile, key);
            service::logLine("lmtp", printableField(r.profile) + ": delivered " + printableField(messageId) + " (" +
                    std::to_string(size) + " bytes)");
            break;
          case mapimime::DeliveryFailure::kNotAMessage:
            line = "554 5.6.0 " + replyText(result.error);
            break;
          default:
            line = "451 4.3.0 " + replyText(result.error);
            service::logLine("lmtp", printableField(r.profile) + ": not stored: " + printableField(result.error));
            break;
        }
      }
      done[r.profile] = line;
      reply(line);
    }
    dropMessage();
    return true;
  }

  // The Message-ID field's value (unfolded, trimmed), or "".
  static std::string findMessageId(const std::string& header) {
    size_t pos = 0;
    while (pos < header.size()) {
      size_t end = header.find("\r\n", pos);
      if (end == std::string::npos) end = header.size();
      if (startsWithNoCase(header.substr(pos, 11), "message-id:")) {
        std::string value = header.substr(pos + 11, end - pos - 11);
        size_t next = end + 2;
        while (next < header.size() && (header[next] == ' ' || header[next] == '\t')) {
          size_t e = header.find("\r\n", next);
          if (e == std::string::npos) e = header.size();
          value += header.substr(next, e - next);
          next = e + 2;
        }
        size_t a = value.find_first_not_of(" \t");
        size_t b = value.find_last_not_of(" \t");
        return a == std::string::npos ? std::string() : value.substr(a, b - a + 1);
      }
      pos = end + 2;
    }
    return "";
  }

  struct Recipient {
    std::string address;
    std::string profile;
  };

  const int m_fd;
  LmtpMailboxes& m_profiles;
  const Options& m_options;
  std::string m_in;
  size_t m_pos = 0;
  std::string m_out;
  bool m_greeted = false;
  bool m_inTransaction = false;
  std::vector<Recipient> m_recipients;
  int m_message = -1;
};

struct Listener {
  int fd = -1;
  std::string unixPath;  // removed at the end
  std::string name;
};

bool openListener(const std::string& where, const Options& options, Listener& out, std::string& error) {
  out.name = where;
  if (where.rfind("unix:", 0) == 0) {
    std::string path = where.substr(5);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
      error = "the socket path '" + path + "' is empty or too long";
      return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    gid_t gid = 0;
    if (!options.socketGroup.empty()) {
      struct group* g = getgrnam(options.socketGroup.c_str());
      if (!g) {
        error = "no group named '" + options.socketGroup + "'";
        return false;
      }
      gid = g->gr_gid;
    }
    // A socket left by an earlier run is replaced; any other file is not.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
      }
      unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::string("cannot make a socket: ") + strerror(errno);
      return false;
    }
    // Created owner-only: nobody else may connect between bind and chmod.
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(old);
    if (rc != 0) {
      error = "cannot listen on " + path + ": " + strerror(errno);
      ::close(fd);
      return false;
    }
    if (!options.socketGroup.empty() && (chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
                                         chmod(path.c_str(), 0660) != 0)) {
      error = "cannot give " + path + " to the group " + options.socketGroup + ": " + strerror(errno);
      ::close(fd);
      unlink(path.c_str());
      return false;
    }
    if (listen(fd, 64) != 0) {
      error = "cannot listen on " + path + ": " + strerror(errno);
      ::close(fd);
      unlink(path.c_str());
      return false;
    }
    out.fd = fd;
    out.unixPath = path;
    return true;
  }
  if (where.rfind("inet:", 0) == 0) {
    std::string hostPort = where.substr(5);
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) {
      error = "'" + where + "' has no port";
      return false;
    }
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int gai = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (gai != 0) {
      error = "cannot resolve '" + hostPort + "': " + gai_strerror(gai);
      return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 64) != 0) {
      error = "cannot listen on " + hostPort + ": " + strerror(errno);
      if (fd >= 0) ::close(fd);
      freeaddrinfo(found);
      return false;
    }
    freeaddrinfo(found);
    out.fd = fd;
    return true;
  }
  error = "'" + where + "' is neither unix:PATH nor inet:HOST:PORT";
  return false;
}

bool parseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
  value = strtoull(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

int lmtpCommand(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool hasValue = i + 1 < args.size();
    uint64_t n = 0;
    if (a == "--listen" && hasValue) {
      options.listen.push_back(args[++i]);
    } else if (a == "--socket-group" && hasValue) {
      options.socketGroup = args[++i];
    } else if (a == "--timeout" && hasValue && parseNumber(args[i + 1], n) && n > 0 && n < 86400) {
      options.timeoutSeconds = static_cast<unsigned>(n);
      ++i;
    } else if (a == "--max-size" && hasValue && parseNumber(args[i + 1], n) && n > 0) {
      options.maxMessageBytes = n;
      ++i;
    } else if (a == "--max-header-size" && hasValue && parseNumber(args[i + 1], n) && n > 0) {
      options.maxHeaderBytes = n;
      ++i;
    } else if (a == "--max-connections" && hasValue && parseNumber(args[i + 1], n) && n > 0 && n < 100000) {
      options.maxConnections = static_cast<unsigned>(n);
      ++i;
    } else {
      toolError("lmtp: unknown or incomplete option '" + a + "'");
      return kUsageError;
    }
  }
  if (options.listen.empty()) {
    toolError("lmtp needs at least one --listen unix:PATH or --listen inet:HOST:PORT");
    return kUsageError;
  }
  std::string home = mapiprofile::homeDir();
  struct stat st;
  if (stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    toolError("lmtp: the home folder " + home + " does not exist (TOLVANE_MAPI_HOME)");
    return kConfigError;
  }
  std::string error;
  if (FAILED(mapiprofile::checkHome(error))) {
    toolError("lmtp: " + error);
    return kConfigError;
  }
  LmtpMailboxes profiles;
  if (!profiles.load(error)) {
    toolError("lmtp: cannot read the profiles: " + error);
    return kConfigError;
  }
  profiles.openJournal(home + "/lmtp-delivered");

  int wakeFd = -1;
  if (!service::catchSignals(wakeFd)) {
    toolError(std::string("lmtp: cannot make a pipe: ") + strerror(errno));
    return kOsError;
  }
  std::vector<Listener> listeners;
  auto closeListeners = [&listeners] {
    for (auto& l : listeners) {
      if (l.fd >= 0) ::close(l.fd);
      if (!l.unixPath.empty()) unlink(l.unixPath.c_str());
    }
    listeners.clear();
  };
  for (const auto& where : options.listen) {
    Listener l;
    if (!openListener(where, options, l, error)) {
      toolError("lmtp: " + error);
      closeListeners();
      return kOsError;
    }
    listeners.push_back(l);
  }

  std::string names;
  for (const auto& l : listeners) names += (names.empty() ? "" : ", ") + printableField(l.name);
  service::logLine("lmtp", "listening on " + names + " for " + std::to_string(profiles.count()) + " addresses of " +
          printableField(home));

  std::mutex mu;
  std::condition_variable cv;
  unsigned active = 0;
  while (!service::stopRequested.load()) {
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    for (const auto& l : listeners) fds.push_back({l.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), -1);
    if (ready < 0 && errno != EINTR) {
      service::logLine("lmtp", std::string("cannot wait for clients: ") + strerror(errno));
      break;
    }
    char drain[64];
    while (read(wakeFd, drain, sizeof drain) > 0) {
    }
    if (service::stopRequested.load()) break;
    if (service::rereadRequested.exchange(false)) {
      if (profiles.load(error))
        service::logLine("lmtp", "read the profiles again (SIGHUP): " + std::to_string(profiles.count()) + " addresses");
      else
        service::logLine("lmtp", "cannot read the profiles (SIGHUP): " + printableField(error) + "; keeping the old list");
    }
    if (ready <= 0) continue;
    for (size_t k = 1; k < fds.size(); ++k) {
      if (!(fds[k].revents & POLLIN)) continue;
      int client = accept4(fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        // Out of descriptors: the pending client stays queued; a pause
        // instead of a busy loop until a connection ends.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          service::logLine("lmtp", std::string("cannot take a client: ") + strerror(errno));
          usleep(100 * 1000);
        }
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mu);
        if (active >= options.maxConnections) {
          const char* busy = "421 4.3.2 Too many connections, try again later\r\n";
          service::writeAll(client, busy, strlen(busy));
          ::close(client);
          continue;
        }
        ++active;
      }
      std::thread([client, &profiles, &options, &mu, &cv, &active] {
        {
          Connection c(client, profiles, options);
          c.serve();
        }
        std::lock_guard<std::mutex> lock(mu);
        --active;
        cv.notify_all();
      }).detach();
    }
  }
  service::logLine("lmtp", "stopping: finishing the transactions in flight");
  closeListeners();
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&active] { return active == 0; });
  }
  profiles.closeAll();
  ::close(wakeFd);
  service::logLine("lmtp", "stopped");
  return 0;
}
