#include "testsupport.h"

#include "../required_tool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace msgtest {

namespace {

void removeTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") removeTree(path + "/" + n);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TOLVANE_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  mkdir(root.c_str(), 0700);
  std::string templ = root + "/msgfile-XXXXXX";
  if (!mkdtemp(&templ[0])) {
    templ = "/tmp/msgfile-XXXXXX";
    if (!mkdtemp(&templ[0])) abort();
  }
  m_path = templ;
}

TempDir::~TempDir() {
  // MSGFILE_KEEP keeps the files of a run for a look with other tools.
  if (!getenv("MSGFILE_KEEP")) removeTree(m_path);
}

std::string TempDir::listing() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(m_path.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

std::wstring wide(const std::string& s) {
  std::wstring out;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0, n = s.size();
  while (i < n) {
    uint32_t c = p[i];
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len && i + k < n; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    out.push_back(static_cast<wchar_t>(cp));
    i += len;
  }
  return out;
}

namespace {
const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

Sha256::Sha256() {
  const uint32_t init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(m_h, init, sizeof init);
}

void Sha256::block(const unsigned char* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4], f = m_h[5], g = m_h[6], h = m_h[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  m_h[0] += a;
  m_h[1] += b;
  m_h[2] += c;
  m_h[3] += d;
  m_h[4] += e;
  m_h[5] += f;
  m_h[6] += g;
  m_h[7] += h;
}

void Sha256::update(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  m_total += n;
  while (n) {
    size_t take = std::min(n, sizeof m_buf - m_fill);
    memcpy(m_buf + m_fill, p, take);
    m_fill += take;
    p += take;
    n -= take;
    if (m_fill == 64) {
      block(m_buf);
      m_fill = 0;
    }
  }
}

std::string Sha256::hex() {
  uint64_t bits = m_total * 8;
  unsigned char pad = 0x80;
  update(&pad, 1);
  unsigned char zero = 0;
  while (m_fill != 56) update(&zero, 1);
  unsigned char len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  update(len, 8);
  char out[65];
  for (int i = 0; i < 8; ++i) snprintf(out + 8 * i, 9, "%08x", m_h[i]);
  return out;
}

bool ReaderResult::hasTag(const std::string& prefix, const std::string& tag) const {
  std::string want = json(tag);
  for (const auto& kv : values)
    if (kv.first.rfind(prefix + "tags.", 0) == 0 && kv.second == want) return true;
  return false;
}

ReaderResult readWithIndependentReader(const std::string& msgPath) {
  ReaderResult r;
  std::string src = TOLVANE_SOURCE_DIR;
  // The set-up of the test command installs the reader; a test never does.
  r.why = requiredtool::msgReaderMissing(src);
  if (!r.why.empty()) {
    requiredtool::reportMissing(r.why);
    return r;
  }
  std::string cmd = "node " + shellQuote(src + "/tests/msgreader/read.js") + " --flat " + shellQuote(msgPath);
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    r.why = "cannot run node";
    return r;
  }
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) r.values[line.substr(0, tab)] = line.substr(tab + 1);
  }
  if (status != 0) {
    r.ran = true;  // it ran and failed: that is a finding
    r.values["error"] = out;
    return r;
  }
  r.ran = true;
  return r;
}

std::string json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

long peakRssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  return -1;
}

void resetPeakRss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

void LiveCountsTest::SetUp() {
  mapitest::reset();
  m_objects = mapitest::liveObjects();
  m_buffers = mapitest::liveBuffers();
}

void LiveCountsTest::TearDown() {
  mapitest::reset();
  EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects left alive";
  EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers left unfreed";
}

}  // namespace msgtest
