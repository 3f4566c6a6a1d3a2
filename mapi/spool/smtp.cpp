// The SMTP transport, on libESMTP: the module libtolvane-mapi-smtp.so
// (runtime/modules.h), loaded by the first sendSmtp (transport.cpp). One
// session per batch (EHLO, AUTH, then MAIL, RCPT and DATA per message,
// pipelined where the server offers it), with the status of every recipient
// and of every message.
//
// TLS is done here, not by libESMTP: a relay thread listens on a loopback
// port of this process, accepts libESMTP's one connection (and no other
// process's: the connection must come from a socket of this process) and
// carries its bytes to the server, over TLS (in plain text when
// opportunistic TLS finds the server without STARTTLS). The relay also keeps
// the session's deadline: when it passes, it closes libESMTP's connection,
// whatever the server is doing.
//
// A profile with credentials sends them only over TLS whose certificate
// verifies for the host, and offers them once per session. For smtps:// (TLS from the first byte, which
// libESMTP does not do) the relay shakes hands at once; otherwise it first
// reads the greeting, says EHLO, asks for STARTTLS, shakes hands, and then
// gives libESMTP the server's greeting, after which libESMTP says EHLO again
// as RFC 3207 wants. Without TLS (a server that offers no STARTTLS or refuses
// it, for opportunistic TLS) the relay answers libESMTP's EHLO with the
// server's reply to its own: a server may refuse a second EHLO on one
// connection (RFC 5321 4.1.4), and simple ones do. An opportunistic
// handshake that fails is tried again on a new connection in plain text, as
// mail servers do. (libESMTP 1.1.0's own STARTTLS sometimes stopped after
// the server's "220 Ready to start TLS" until the server's five-minute
// timeout; the relay's handshake has its own time limit, and the reason for
// a refused certificate is OpenSSL's own.)
#include "spool/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <auth-client.h>
#include <libesmtp.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <cstdarg>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <atomic>
#include <thread>
#include <unistd.h>

namespace tmapi {

namespace {

const size_t kReadPiece = 64 * 1024;

// One line of what a server said: line breaks of a multi-line reply become
// blanks.
std::string oneLine(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return text;
}

std::string replyText(const smtp_status_t* s) {
  if (!s || s->code == 0) return "";
  std::string text = s->text ? oneLine(s->text) : "";
  std::string enh = s->enh_class ? enhancedStatus(s->code, s->enh_class, s->enh_subject, s->enh_detail) : "";
  // libESMTP keeps the text after the code and the enhanced code.
  std::string out = std::to_string(s->code);
  if (!enh.empty() && text.rfind(enh, 0) != 0) out += " " + enh;
  if (!text.empty()) out += " " + text;
  return out;
}

RecipientOutcome outcomeOf(const smtp_status_t* s, const std::string& server, const std::string& what) {
  RecipientOutcome o;
  o.status = enhancedStatus(s->code, s->enh_class, s->enh_subject, s->enh_detail);
  o.kind = s->code >= 500 ? RecipientOutcome::kRejected : RecipientOutcome::kDeferred;
  o.reply = "The server " + server + " " + what + ": " + replyText(s);
  return o;
}

// A reader of the message file for libESMTP (which frees *ctx itself).
const char* readMessage(void** ctx, int* len, void* arg) {
  auto* m = static_cast<OutboundMessage*>(arg);
  struct Cursor {
    off_t offset;
    char data[kReadPiece];
  };
  if (!*ctx) {
    *ctx = malloc(sizeof(Cursor));
    if (!*ctx) {
      if (len) *len = 0;
      return nullptr;
    }
    static_cast<Cursor*>(*ctx)->offset = 0;
  }
  Cursor* c = static_cast<Cursor*>(*ctx);
  if (!len) {  // start again
    c->offset = 0;
    return nullptr;
  }
  ssize_t n;
  do n = pread(m->fd, c->data, sizeof c->data, c->offset);
  while (n < 0 && errno == EINTR);
  // A read error ends the data early: the server then gets a message whose
  // size is wrong, but the failure is caught before: the file is ours and
  // complete (written and flushed by the spooler).
  *len = n > 0 ? static_cast<int>(n) : 0;
  if (n > 0) c->offset += n;
  return c->data;
}

// How long the relay waits for the server before libESMTP talks to it (the
// greeting, the replies to EHLO and STARTTLS, the TLS handshake) when the
// profile sets no time for a reply.
const unsigned kRelayTimeoutSeconds = 120;
// The longest reply passed on: more is not SMTP (RFC 5321 4.5.3.1.5 allows
// 512 bytes a line), and an endless one would hold the session.
const size_t kMaxReplyBytes = 64 * 1024;
// The whole session's limit when the profile sets none.
const unsigned kDefaultSessionSeconds = 30 * 60;

// The relay: a loopback listener whose one connection is carried to the
// server, over TLS unless opportunistic TLS finds none.
class ServerRelay {
 public:
  enum Mode { kImplicit, kStartTls };
  enum Outcome { kReady, kNoTls, kFailed };

  ~ServerRelay() {
    if (m_thread.joinable()) {
      if (m_listen >= 0) shutdown(m_listen, SHUT_RDWR);
      m_thread.join();
    }
    if (m_listen >= 0) close(m_listen);
    if (m_ssl) SSL_free(m_ssl);
    if (m_ctx) SSL_CTX_free(m_ctx);
    if (m_server >= 0) close(m_server);
  }

  // Connects to the server and shakes hands (after STARTTLS in kStartTls);
  // then listens for libESMTP. kNoTls: the server offers no STARTTLS or
  // refused it, and verify is false (opportunistic TLS): the relay carries
  // plain text (with the same prompt sending as over TLS).
  Outcome start(const std::string& host, unsigned port, Mode mode, bool verify, unsigned sessionSeconds,
                unsigned replySeconds, const StopRequested* stop, std::string& error) {
    m_stop = stop && *stop ? stop : nullptr;
    m_replySeconds = replySeconds ? replySeconds : kRelayTimeoutSeconds;
    m_sessionSeconds = sessionSeconds;
    m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(sessionSeconds);
    if (!connectTo(host, port, error)) return kFailed;
    timeval tv{static_cast<time_t>(std::min<unsigned>(m_replySeconds, sessionSeconds)), 0};
    setsockopt(m_server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(m_server, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    noDelay(m_server);
    if (mode == kStartTls) {
      Outcome o = startTls(verify, error);
      if (o == kNoTls) return listenForClient(error) ? kNoTls : kFailed;
      if (o != kReady) return o;
    }
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx) return sslFail("TLS cannot be set up", error);
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(m_ctx);
    // SSL_read returns after a record without data (TLS 1.3 sends session
    // tickets after the handshake) instead of waiting for the next one on
    // the blocking socket, while libESMTP's command waits to be carried.
    SSL_CTX_clear_mode(m_ctx, SSL_MODE_AUTO_RETRY);
    m_ssl = SSL_new(m_ctx);
    if (!m_ssl) return sslFail("TLS cannot be set up", error);
    SSL_set_tlsext_host_name(m_ssl, host.c_str());
    // Opportunistic TLS encrypts without trusting (as MTAs do); required TLS
    // and smtps trust only a certificate that verifies for the host.
    if (verify) {
      SSL_set_verify(m_ssl, SSL_VERIFY_PEER, nullptr);
      in6_addr a6;
      in_addr a4;
      if (inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1)
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host.c_str());
      else
        SSL_set1_host(m_ssl, host.c_str());
    }
    SSL_set_fd(m_ssl, m_server);
    ERR_clear_error();
    // In slices of 200 ms (a read that times out asks to be retried), so
    // that the deadline and a stop end a handshake the server drags out.
    timeval slice{0, 200 * 1000};
    setsockopt(m_server, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    auto handshakeStart = std::chrono::steady_clock::now();
    int rc;
    while ((rc = SSL_connect(m_ssl)) != 1) {
      int e = SSL_get_error(m_ssl, rc);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
      if (expired()) {
        error = endText();
        return kFailed;
      }
      if (std::chrono::steady_clock::now() - handshakeStart > std::chrono::seconds(m_replySeconds)) {
        errno = EAGAIN;
        break;
      }
    }
    setsockopt(m_server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (rc != 1 && !verify && mode == kStartTls && !expired()) {
      // Opportunistic TLS whose handshake failed (a broken server, one that
      // speaks only old TLS): the same server again, in plain text.
      ERR_clear_error();
      SSL_free(m_ssl);
      m_ssl = nullptr;
      SSL_CTX_free(m_ctx);
      m_ctx = nullptr;
      close(m_server);
      m_server = -1;
      m_greeting.clear();
      if (!connectTo(host, port, error)) return kFailed;
      setsockopt(m_server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(m_server, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      noDelay(m_server);
      Outcome o = startTls(false, error, /*plainOnly=*/true);
      if (o == kFailed) return kFailed;
      return listenForClient(error) ? kNoTls : kFailed;
    }
    if (rc != 1) {
      long v = SSL_get_verify_result(m_ssl);
      if (verify && v != X509_V_OK) {
        error = std::string("the certificate of the server could not be verified: ") +
                X509_verify_cert_error_string(v);
        return kFailed;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        error = "the TLS handshake with the server took longer than " + std::to_string(m_replySeconds) + " s";
        return kFailed;
      }
      return sslFail("the TLS handshake with the server failed", error);
    }
    return listenForClient(error) ? kReady : kFailed;
  }
  unsigned localPort() const { return m_localPort; }
  // Whether the session's deadline, or a stop, closed the connection.
  bool timedOut() const { return m_timedOut; }
  bool stopped() const { return m_stopped; }
  // Whether a reply longer than kMaxReplyBytes closed the connection.
  bool overlong() const { return m_overlong; }
  std::string endText() const {
    return m_stopped ? kTransportStoppedText
           : m_overlong ? "a reply of the server was longer than " + std::to_string(kMaxReplyBytes / 1024) + " KiB"
                        : timeoutText();
  }
  std::string timeoutText() const {
    return "the session with the server took longer than " + std::to_string(m_sessionSeconds) +
           " s (the profile's SMTP time limit)";
  }

 private:
  // The loopback listener libESMTP connects to, and the thread that carries
  // its one connection.
  bool listenForClient(std::string& error) {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(m_listen, 16) != 0 || getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
      error = std::string("a loopback socket for the connection to the server cannot be made: ") + strerror(errno);
      return false;
    }
    m_localPort = ntohs(a.sin_port);
    m_thread = std::thread([this] { carry(); });
    return true;
  }

  Outcome sslFail(const char* what, std::string& error) {
    char buf[256] = "";
    unsigned long e = ERR_get_error();
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    error = std::string(what) + (buf[0] ? std::string(" (") + buf + ")" : std::string());
    return kFailed;
  }

  // One reply of the server in plain text (all its lines); false when the
  // connection ended or timed out first.
  bool readReply(std::string& reply, std::string& error) {
    reply.clear();
    std::string line;
    auto asked = std::chrono::steady_clock::now();
    for (;;) {
      pollfd p = {m_server, POLLIN, 0};
      if (poll(&p, 1, slice()) == 0) {
        if (expired()) {
          error = endText();
          return false;
        }
        if (std::chrono::steady_clock::now() - asked > std::chrono::seconds(m_replySeconds)) {
          error = "the server did not answer within " + std::to_string(m_replySeconds) + " s";
          return false;
        }
        continue;
      }
      asked = std::chrono::steady_clock::now();
      char c;
      ssize_t n = recv(m_server, &c, 1, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n == 0 ? "the server closed the connection"
                : (errno == EAGAIN || errno == EWOULDBLOCK)
                    ? "the server did not answer within " + std::to_string(m_replySeconds) + " s"
                    : std::string("reading from the server failed: ") + strerror(errno);
        return false;
      }
      line += c;
      if (line.size() > 4096) {
        error = "the server's reply is not SMTP";
        return false;
      }
      if (c != '\n') continue;
      reply += line;
      bool last = line.size() < 4 || line[3] != '-';
      line.clear();
      if (last) return true;
      if (reply.size() > kMaxReplyBytes) {
        error = "the server's reply is not SMTP";
        return false;
      }
    }
  }

  bool sendLine(const std::string& line, std::string& error) {
    std::string out = line + "\r\n";
    if (sendAll(m_server, out.data(), out.size())) return true;
    error = std::string("writing to the server failed: ") + strerror(errno);
    return false;
  }

  static bool replyCode(const std::string& reply, char first) { return reply.size() >= 3 && reply[0] == first; }

  // Greeting, EHLO, STARTTLS; the greeting is kept for libESMTP, and when
  // the session goes on in plain text, the reply to EHLO too. plainOnly:
  // no STARTTLS is asked for.
  Outcome startTls(bool required, std::string& error, bool plainOnly = false) {
    std::string reply;
    if (!readReply(reply, error)) return kFailed;
    if (!replyCode(reply, '2')) {
      error = "the server refused the connection: " + oneLine(reply);
      return kFailed;
    }
    m_greeting = reply;
    char name[256] = "localhost";
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) strcpy(name, "localhost");
    name[sizeof name - 1] = '\0';
    if (!sendLine(std::string("EHLO ") + name, error) || !readReply(reply, error)) return kFailed;
    // Kept for libESMTP's EHLO in case the session stays in plain text.
    if (replyCode(reply, '2')) m_ehloReply = reply;
    if (plainOnly) return kNoTls;
    bool offered = false;
    if (replyCode(reply, '2')) {
      size_t from = 0;
      while (from < reply.size()) {
        size_t end = reply.find('\n', from);
        if (end == std::string::npos) end = reply.size();
        std::string keyword = end > from + 4 ? reply.substr(from + 4, end - from - 4) : "";
        while (!keyword.empty() && (keyword.back() == '\r' || keyword.back() == ' ')) keyword.pop_back();
        if (strcasecmp(keyword.c_str(), "STARTTLS") == 0) offered = true;
        from = end + 1;
      }
    }
    if (!offered) {
      if (!required) return kNoTls;  // opportunistic: on in plain text
      error = "the server does not offer STARTTLS, which the profile requires";
      return kFailed;
    }
    if (!sendLine("STARTTLS", error) || !readReply(reply, error)) return kFailed;
    if (!replyCode(reply, '2')) {
      if (!required) return kNoTls;  // opportunistic: on in plain text
      error = "the server refused STARTTLS, which the profile requires: " + oneLine(reply);
      return kFailed;
    }
    m_ehloReply.clear();  // after the handshake libESMTP asks again
    return kReady;
  }

  bool connectTo(const std::string& host, unsigned port, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
      error = "the server " + host + " cannot be found: " + gai_strerror(rc);
      return false;
    }
    int lastErrno = 0;
    for (addrinfo* ai = list; ai && m_server < 0 && !expired(); ai = ai->ai_next) {
      int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
      if (fd < 0) continue;
      // Waited for in slices: the deadline and a stop end the wait too.
      int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
      while (rc != 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, slice()) > 0) {
          int soError = 0;
          socklen_t len = sizeof soError;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
          rc = soError == 0 ? 0 : -1;
          errno = soError;
        } else if (expired()) {
          errno = ETIMEDOUT;
          break;
        }
      }
      if (rc == 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        m_server = fd;
      } else {
        lastErrno = errno;
        close(fd);
      }
    }
    freeaddrinfo(list);
    if (m_server < 0 && (m_stopped || m_timedOut)) {
      error = endText();
      return false;
    }
    if (m_server < 0) {
      error = "no connection to " + host + ":" + std::to_string(port) + ": " + strerror(lastErrno ? lastErrno : EIO);
      return false;
    }
    return true;
  }

  // SMTP is a dialogue of small writes: a command or reply held back by
  // Nagle's algorithm until the last one is acknowledged, while the peer
  // delays its acknowledgement, stalls each message about 40 ms (the last
  // BDAT reply, the end of DATA). Both sockets of the relay send at once and
  // acknowledge at once.
  static void noDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    quickAck(fd);
  }
  // Linux turns quick acknowledgement off again by itself: set after reads.
  static void quickAck(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }

  static bool sendAll(int fd, const char* data, size_t size) {
    for (size_t off = 0; off < size;) {
      ssize_t w = send(fd, data + off, size - off, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      off += static_cast<size_t>(w);
    }
    return true;
  }

  // What the server says goes to libESMTP line by line, with the mechanisms of
  // its AUTH offer cut to the first one libESMTP would use: after a refusal
  // libESMTP tries the next mechanism it was offered, and the credentials are
  // offered once.
  bool toClient(int client, const char* data, size_t size) {
    m_fromServer.append(data, size);
    size_t start = 0;
    std::string out;
    for (size_t end; (end = m_fromServer.find('\n', start)) != std::string::npos; start = end + 1) {
      // A reply's lines but its last have '-' after the code.
      m_replyBytes = end - start > 3 && m_fromServer[start + 3] == '-' ? m_replyBytes + end + 1 - start : 0;
      if (m_authTried && m_fromServer.compare(start, 4, "235 ") == 0) m_authOk = true;
      if (m_replyBytes > kMaxReplyBytes) {
        m_overlong = true;
        return false;
      }
      out += oneAuthMechanism(m_fromServer.substr(start, end + 1 - start));
    }
    m_fromServer.erase(0, start);
    // A line longer than any reply's is passed on as it is.
    if (m_fromServer.size() > 4096) {
      out += m_fromServer;
      m_fromServer.clear();
    }
    return out.empty() || sendAll(client, out.data(), out.size());
  }
  static std::string oneAuthMechanism(const std::string& line) {
    bool auth = line.size() >= 9 && line.compare(0, 3, "250") == 0 &&
                (strncasecmp(line.c_str() + 3, "-AUTH ", 6) == 0 || strncasecmp(line.c_str() + 3, " AUTH ", 6) == 0);
    if (!auth) return line;
    std::string head = line.substr(0, 9), rest = line.substr(9);
    std::vector<std::string> offered;
    size_t at = 0;
    while (at < rest.size()) {
      size_t end = rest.find_first_of(" \r\n", at);
      if (end == std::string::npos) end = rest.size();
      if (end > at) offered.push_back(rest.substr(at, end - at));
      at = end + 1;
    }
    for (const char* preferred : {"PLAIN", "LOGIN"})
      for (const auto& m : offered)
        if (strcasecmp(m.c_str(), preferred) == 0) return head + m + "\r\n";
    return line;
  }

  // Copies both ways until either side closes. After STARTTLS libESMTP first
  // gets the greeting the relay read.
  void carry() {
    int client = -1;
    while (client < 0) {
      pollfd l = {m_listen, POLLIN, 0};
      int ready = poll(&l, 1, slice());
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0 && !expired()) continue;
      if (ready <= 0) return;
      client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // the listener was shut down
      }
      // Another process that found the port: turned away, this one waits on.
      if (!fromThisProcess(client)) {
        close(client);
        client = -1;
      }
    }
    noDelay(client);
    char buf[16384];
    bool open = m_greeting.empty() || sendAll(client, m_greeting.data(), m_greeting.size());
    while (open) {
      pollfd fds[2] = {{client, POLLIN, 0}, {m_server, POLLIN, 0}};
      // Bytes TLS has already decrypted are not seen by poll.
      bool pending = m_ssl && SSL_pending(m_ssl) > 0;
      if (!pending) {
        int ready = poll(fds, 2, slice());
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0 && !expired()) continue;
        if (ready <= 0) break;
      }
      if (pending || (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (m_ssl) {
          int n = SSL_read(m_ssl, buf, sizeof buf);
          quickAck(m_server);
          if (n <= 0) {
            int e = SSL_get_error(m_ssl, n);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
          } else if (!toClient(client, buf, static_cast<size_t>(n))) {
            break;
          }
        } else {
          ssize_t n = recv(m_server, buf, sizeof buf, 0);
          quickAck(m_server);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0 || !toClient(client, buf, static_cast<size_t>(n))) break;
        }
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = recv(client, buf, sizeof buf, 0);
        quickAck(client);
        if (n <= 0) break;
        const char* out = buf;
        size_t size = static_cast<size_t>(n);
        std::string forward;
        if (m_watching) {
          if (!fromClient(client, buf, size, forward)) break;
          out = forward.data();
          size = forward.size();
          if (size == 0) continue;
        }
        if (m_ssl ? SSL_write(m_ssl, out, static_cast<int>(size)) <= 0 : !sendAll(m_server, out, size)) break;
      }
    }
    if (m_ssl) SSL_shutdown(m_ssl);
    close(client);
  }

  // libESMTP's commands, whole lines at a time, until its first MAIL has gone
  // through: its first EHLO is answered with the server's reply to the
  // relay's own (when the session stays in plain text), and once an AUTH was
  // not accepted nothing more goes to the server but QUIT: libESMTP would
  // send the mail without the credentials. What goes on is left in forward.
  bool fromClient(int client, const char* data, size_t size, std::string& forward) {
    m_fromClient.append(data, size);
    size_t start = 0;
    for (size_t end; m_watching && (end = m_fromClient.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = m_fromClient.substr(start, end + 1 - start);
      auto verb = [&](const char* v) { return strncasecmp(line.c_str(), v, strlen(v)) == 0; };
      std::string answer;
      if (!m_ehloReply.empty() && verb("EHLO ")) {
        answer = std::move(m_ehloReply);
      } else if (m_refusing || (verb("MAIL ") && m_authTried && !m_authOk)) {
        m_refusing = true;
        if (verb("QUIT")) forward += line;
        else if (verb("MAIL ")) answer = "530 5.7.0 Not sent: the server did not accept the SMTP credentials\r\n";
        else if (verb("RSET") || verb("NOOP")) answer = "250 2.0.0 Ok\r\n";
        else answer = "503 5.5.1 Not sent: the server did not accept the SMTP credentials\r\n";
      } else {
        if (verb("AUTH ")) m_authTried = true;
        // The first MAIL that goes through settles both questions.
        if (verb("MAIL ")) m_watching = false;
        forward += line;
      }
      m_ehloReply.clear();  // only libESMTP's first command may be its EHLO
      if (!answer.empty() && !toClient(client, answer.data(), answer.size())) return false;
    }
    m_fromClient.erase(0, start);
    if (!m_watching || m_fromClient.size() > 4096) {
      // The rest (the start of a line too long for a command) goes as it is.
      if (!m_refusing) forward += m_fromClient;
      m_fromClient.clear();
    }
    return true;
  }

  // Whether the session must end now: its deadline passed, or a stop was
  // asked for (remembered, with the reason).
  bool expired() {
    if (m_stop && (*m_stop)()) m_stopped = true;
    else if (remainingMs() == 0) m_timedOut = true;
    return m_stopped || m_timedOut;
  }
  // How long one wait may last: a stop is seen within moments.
  int slice() const { return std::min(remainingMs(), 200); }

  // Milliseconds left until the session's deadline (0 once it passed).
  int remainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 24LL * 3600 * 1000));
  }

  // Whether a connection to the listener comes from a socket of this process
  // (libESMTP's): some socket of ours must have the peer's address as its own
  // and the listener's as its peer's. Connections from elsewhere on the host
  // (any user can connect to a loopback port) are refused.
  bool fromThisProcess(int client) const {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(client, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET)
      return false;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return false;
    bool ours = false;
    while (dirent* e = readdir(dir)) {
      char* end = nullptr;
      long fd = strtol(e->d_name, &end, 10);
      if (end == e->d_name || *end || fd == client || fd == m_listen || fd == dirfd(dir)) continue;
      struct stat st;
      if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
      sockaddr_in local{}, remote{};
      socklen_t l1 = sizeof local, l2 = sizeof remote;
      if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &l1) != 0 ||
          local.sin_family != AF_INET || local.sin_port != peer.sin_port ||
          local.sin_addr.s_addr != peer.sin_addr.s_addr)
        continue;
      if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&remote), &l2) == 0 &&
          remote.sin_port == htons(static_cast<uint16_t>(m_localPort))) {
        ours = true;
        break;
      }
    }
    closedir(dir);
    return ours;
  }

  int m_server = -1;
  int m_listen = -1;
  unsigned m_localPort = 0;
  unsigned m_sessionSeconds = kDefaultSessionSeconds;
  std::chrono::steady_clock::time_point m_deadline;
  std::atomic<bool> m_timedOut{false};
  std::atomic<bool> m_stopped{false};
  std::atomic<bool> m_overlong{false};
  size_t m_replyBytes = 0;  // of the reply being passed on so far
  unsigned m_replySeconds = kRelayTimeoutSeconds;
  const StopRequested* m_stop = nullptr;
  std::string m_greeting;
  std::string m_ehloReply;   // the server's reply to the relay's EHLO, for libESMTP's
  std::string m_fromClient;  // a command of libESMTP's until it is whole
  bool m_watching = true;    // libESMTP's commands are looked at (fromClient)
  bool m_authTried = false;
  std::atomic<bool> m_authOk{false};
  bool m_refusing = false;  // an AUTH failed: nothing more goes to the server
  std::string m_fromServer;  // the start of a line not yet passed on
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  std::thread m_thread;
};

struct Session {
  std::vector<OutboundMessage>* batch = nullptr;
  const MessageDone* done = nullptr;
  std::string server;  // for texts
  bool requireTls = false;
  std::vector<bool> reported;
  std::vector<smtp_message_t> messages;
  std::vector<std::vector<smtp_recipient_t>> recipients;
  // What the monitor saw: only the server's replies are kept (never what
  // this side wrote, which holds the credentials).
  std::string lastReply;
  bool authSent = false;
  bool authOk = false;
  std::string authReply;  // the server's answer to a failed AUTH
  const char* user = nullptr;
  const char* password = nullptr;
  // The credentials are offered once: after a refusal libESMTP would try
  // the next mechanism with the same password.
  bool credentialsGiven = false;
};

// The final verdict on message k, from its statuses: MAIL, each RCPT, DATA.
void judge(Session& s, size_t k) {
  OutboundMessage& m = (*s.batch)[k];
  smtp_message_t msg = s.messages[k];
  const smtp_status_t* mail = smtp_reverse_path_status(msg);
  const smtp_status_t* data = smtp_message_transfer_status(msg);
  for (size_t r = 0; r < m.recipients.size(); ++r) {
    RecipientOutcome& o = m.outcomes[r];
    const smtp_status_t* rcpt = smtp_recipient_status(s.recipients[k][r]);
    if (mail && mail->code >= 400) {
      o = outcomeOf(mail, s.server, "refused the sender <" + m.sender + ">");
    } else if (rcpt && rcpt->code >= 400) {
      o = outcomeOf(rcpt, s.server, "refused the recipient");
      // "Too many recipients": the rest goes in a later transaction (RFC
      // 5321 4.5.3.1.10 says to take a 552 to RCPT as temporary).
      if (rcpt->code == 552) o.kind = RecipientOutcome::kDeferred;
    } else if (rcpt && rcpt->code >= 200 && rcpt->code < 300 && data && data->code >= 200 && data->code < 300) {
      o.kind = RecipientOutcome::kAccepted;
      o.status = enhancedStatus(data->code, data->enh_class, data->enh_subject, data->enh_detail);
      o.reply = replyText(data);
    } else if (rcpt && rcpt->code >= 200 && rcpt->code < 300 && data && data->code >= 400) {
      o = outcomeOf(data, s.server, "refused the message");
    } else {
      // Never answered: the connection ended first (reported at the end).
      o.kind = RecipientOutcome::kDeferred;
      o.status = "4.4.2";
      o.reply = "The connection to " + s.server + " ended before the server answered";
    }
  }
  // Without the credentials accepted, a refusal may be for want of them:
  // not a reason to give the recipients up. (The relay lets no MAIL go
  // without them: its 530 says nothing more.)
  const std::string refusedCredentials =
      "The server " + s.server + " did not accept the profile's SMTP credentials (" + s.authReply + ")";
  if (s.authSent && !s.authOk && mail && mail->code == 530)
    for (auto& o : m.outcomes) {
      o.kind = RecipientOutcome::kDeferred;
      o.status = "4.7.0";
      o.reply = refusedCredentials + "; nothing was sent without them";
    }
  if (s.authSent && !s.authOk)
    for (auto& o : m.outcomes)
      if (o.kind == RecipientOutcome::kRejected) {
        o.kind = RecipientOutcome::kDeferred;
        o.reply = refusedCredentials + "; then: " + o.reply;
      }
}

void onEvent(smtp_session_t, int event, void* arg, ...) {
  Session& s = *static_cast<Session*>(arg);
  va_list ap;
  va_start(ap, arg);
  switch (event) {
    case SMTP_EV_MESSAGESENT: {
      smtp_message_t msg = va_arg(ap, smtp_message_t);
      for (size_t k = 0; k < s.messages.size(); ++k) {
        if (s.messages[k] != msg || s.reported[k]) continue;
        judge(s, k);
        s.reported[k] = true;
        (*s.done)(k);
      }
      break;
    }
    default:
      break;
  }
  va_end(ap);
}

void onMonitor(const char* buf, int len, int writing, void* arg) {
  Session& s = *static_cast<Session*>(arg);
  if (writing) {
    // Only whether this is an AUTH command; its arguments are not looked at.
    if (len >= 5 && strncasecmp(buf, "AUTH ", 5) == 0) s.authSent = true;
    return;
  }
  // A reply is kept to its first 512 bytes: it goes into texts and reports.
  std::string text(buf, static_cast<size_t>(std::min(len, 512)));
  s.lastReply = oneLine(text);
  if (s.authSent && !s.authOk && s.authReply.empty() && text.size() >= 3) {
    if (text.compare(0, 3, "235") == 0) s.authOk = true;
    else if (text[0] == '5' || text[0] == '4') s.authReply = s.lastReply;
  }
}

int interact(auth_client_request_t request, char** result, int fields, void* arg) {
  Session& s = *static_cast<Session*>(arg);
  if (s.credentialsGiven) return 0;
  s.credentialsGiven = true;
  for (int i = 0; i < fields; ++i) {
    if (request[i].flags & AUTH_PASS) result[i] = const_cast<char*>(s.password);
    else if (request[i].flags & AUTH_USER) result[i] = const_cast<char*>(s.user);
    else result[i] = const_cast<char*>("");
  }
  return 1;
}

std::string sessionError(const Session& s) {
  char buf[256];
  int e = smtp_errno();
  std::string text = smtp_strerror(e, buf, sizeof buf) ? buf : "the SMTP session failed";
  if (e == 0 || e == SMTP_ERR_DROPPED_CONNECTION || e == SMTP_ERR_INVALID_RESPONSE_STATUS) {
    if (!s.lastReply.empty()) text += " (the server's last reply: " + s.lastReply + ")";
  }
  return text;
}

}  // namespace

void sendOverSmtp(const mapiprofile::Profile& profile, const mapiprofile::Transport& transport,
                  std::vector<OutboundMessage>& batch, const MessageDone& done, const StopRequested* stop) {
  ignoreSigpipe();
  Session s;
  s.batch = &batch;
  s.done = &done;
  std::string host = transport.host.find(':') != std::string::npos ? "[" + transport.host + "]" : transport.host;
  s.server = host + ":" + std::to_string(transport.port);
  bool smtps = transport.kind == mapiprofile::Transport::kSmtps;
  s.requireTls = profile.starttls == "required";
  s.user = profile.smtpUser.c_str();
  s.password = profile.smtpPassword.c_str();
  s.reported.assign(batch.size(), false);
  for (auto& m : batch) m.outcomes.assign(m.recipients.size(), RecipientOutcome());

  auto failAll = [&](const std::string& why, const char* status) {
    for (size_t k = 0; k < batch.size(); ++k) {
      if (s.reported[k]) continue;
      for (auto& o : batch[k].outcomes) {
        o.kind = RecipientOutcome::kDeferred;
        o.status = status;
        o.reply = "No mail could be sent through " + s.server + ": " + why;
      }
      s.reported[k] = true;
      done(k);
    }
  };

  // Credentials go only to a server that proved who it is over TLS.
  bool credentials = !profile.smtpUser.empty();
  if (credentials && profile.smtpPassword.empty())
    return failAll("the profile names the SMTP user " + profile.smtpUser +
                       " but holds no password (it is forgotten when the server changes): give it with "
                       "profile set --smtp-user and --smtp-password-file",
                   "4.7.0");
  unsigned sessionSeconds = profile.smtpTimeoutSeconds ? profile.smtpTimeoutSeconds : kDefaultSessionSeconds;

  // libESMTP always talks to the relay (plain text, or TLS done by it).
  ServerRelay relay;
  std::string relayError;
  if (relay.start(transport.host, transport.port, smtps ? ServerRelay::kImplicit : ServerRelay::kStartTls,
                  smtps || s.requireTls || credentials, sessionSeconds, profile.smtpReplyTimeoutSeconds, stop,
                  relayError) == ServerRelay::kFailed) {
    if (credentials && !s.requireTls && !smtps)
      relayError += " (the profile's SMTP credentials are sent only over TLS with a verified certificate)";
    return failAll(relayError, "4.4.1");
  }
  std::string target = "127.0.0.1:" + std::to_string(relay.localPort());
  // A test control: a pause before libESMTP connects to the relay, so that a
  // test can let another process try the port first.
  if (const char* pause = getenv("TOLVANE_MAPI_RELAY_PAUSE_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(strtoul(pause, nullptr, 10)));

  smtp_session_t session = smtp_create_session();
  if (!session) return failAll("libESMTP cannot create a session", "4.3.0");
  auth_context_t auth = nullptr;
  smtp_set_server(session, target.c_str());
  smtp_set_eventcb(session, onEvent, &s);
  smtp_set_monitorcb(session, onMonitor, &s, 0);
  // TLS is the relay's (above): libESMTP talks plain text to it.
  smtp_starttls_enable(session, Starttls_DISABLED);
  // The profile's time for a reply, in place of RFC 5321's (libESMTP's own).
  if (profile.smtpReplyTimeoutSeconds) {
    long ms = static_cast<long>(std::min<unsigned>(profile.smtpReplyTimeoutSeconds, 24 * 3600)) * 1000;
    for (int which : {Timeout_GREETING, Timeout_ENVELOPE, Timeout_DATA, Timeout_TRANSFER, Timeout_DATA2})
      smtp_set_timeout(session, which | Timeout_OVERRIDE_RFC2822_MINIMUM, ms);
  }
  if (!profile.smtpUser.empty()) {
    static std::once_flag once;
    std::call_once(once, [] { auth_client_init(); });
    auth = auth_create_context();
    // PLAIN and LOGIN send the password itself: allowed, as it goes only
    // over TLS with a verified certificate (above).
    auth_set_mechanism_flags(auth, AUTH_PLUGIN_PLAIN, 0);
    auth_set_interact_cb(auth, interact, &s);
    smtp_auth_set_context(session, auth);
  }
  for (auto& m : batch) {
    smtp_message_t msg = smtp_add_message(session);
    smtp_set_reverse_path(msg, m.sender.empty() ? nullptr : m.sender.c_str());
    smtp_set_messagecb(msg, readMessage, &m);
    if (m.size) smtp_size_set_estimate(msg, static_cast<unsigned long>(m.size));
    s.messages.push_back(msg);
    s.recipients.emplace_back();
    for (const auto& r : m.recipients) s.recipients.back().push_back(smtp_add_recipient(msg, r.c_str()));
  }
  bool ok = smtp_start_session(session) != 0;
  bool ended = relay.timedOut() || relay.stopped() || relay.overlong();
  std::string why = ended ? relay.endText() : sessionError(s);
  // Messages the session did not finish: judged from what is known.
  for (size_t k = 0; k < batch.size(); ++k) {
    if (s.reported[k]) continue;
    judge(s, k);
    bool anyAnswer = false;
    for (const auto& o : batch[k].outcomes)
      if (o.kind != RecipientOutcome::kDeferred || o.status != "4.4.2") anyAnswer = true;
    if (!anyAnswer)
      for (auto& o : batch[k].outcomes) {
        o.status = "4.4.1";
        o.reply = "No mail could be sent through " + s.server + ": " +
                  (ok && !ended ? "the session ended" +
                                      (s.lastReply.empty() ? std::string()
                                                           : " (the server's last reply: " + s.lastReply + ")")
                                : why);
      }
    s.reported[k] = true;
    done(k);
  }
  smtp_destroy_session(session);
  if (auth) auth_destroy_context(auth);
}

}  // namespace tmapi

// The module's entry point (runtime/modules.h): sendSmtp of the subsystem
// comes here.
extern "C" void tolvane_smtp_send(const mapiprofile::Profile* profile, const mapiprofile::Transport* transport,
                                  std::vector<tmapi::OutboundMessage>* batch, const tmapi::MessageDone* done,
                                  const tmapi::StopRequested* stop) {
  tmapi::sendOverSmtp(*profile, *transport, *batch, *done, stop);
}
