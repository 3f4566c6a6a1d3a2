#include "textconv.h"

#include "mimereader.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <gmime/gmime.h>

#include <cerrno>
#include <ctime>
#include <iconv.h>

namespace mapimime {

namespace {

// windows-1252 bytes 0x80..0x9F; the others map to the same code point.
const uint16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

void appendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void appendCp1252(std::string& out, unsigned char b) {
  appendCodePoint(out, (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b);
}

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8SequenceLength(const std::string& s, size_t i, uint32_t* cp = nullptr) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    if (cp) *cp = c;
    return 1;
  }
  size_t len;
  uint32_t v;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    v = (v << 6) | (t & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((len == 2 && v < 0x80) || (len == 3 && v < 0x800) || (len == 4 && v < 0x10000) || v > 0x10FFFF ||
      (v >= 0xD800 && v <= 0xDFFF))
    return 0;
  if (cp) *cp = v;
  return len;
}

// glibc's iconv_open reads a charset name without the characters that are
// not letters or digits, and up to its first "//" (options): "\xC6utf8",
// "u.t.f.8" and "UTF-8//" all open UTF-8, and converting from UTF-8 to UTF-8
// passes bytes that are no UTF-8 through. Every name that iconv takes for
// UTF-8 is therefore checked as UTF-8 here instead.
bool isUtf8Name(const char* name) {
  std::string n;
  for (const char* p = name; *p; ++p) {
    if (p[0] == '/' && p[1] == '/') break;
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80 && isalnum(c)) n += static_cast<char>(tolower(c));
  }
  return n == "utf8";
}

bool isAsciiName(const char* name) {
  std::string n = lowerAscii(name);
  return n == "us-ascii" || n == "ascii" || n == "ansi_x3.4-1968" || n == "iso646-us";
}

}  // namespace

bool isValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string sanitizeUtf8(const std::string& s) {
  if (isValidUtf8(s)) return s;
  std::string out;
  out.reserve(s.size() + s.size() / 4);
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    if (n == 0) {
      appendCp1252(out, static_cast<unsigned char>(s[i]));
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

Utf8Converter::Utf8Converter(const char* charset) {
  if (!charset || !*charset || isUtf8Name(charset) || isAsciiName(charset)) return;
  // GMime knows the aliases mail software writes (e.g. "latin1", "x-sjis").
  // Its name cache exists only once GMime is started; the decoders may be
  // the first thing a process uses.
  initMime();
  const char* canonical = g_mime_charset_iconv_name(charset);
  iconv_t cd = iconv_open("UTF-8", canonical ? canonical : charset);
  if (cd != reinterpret_cast<iconv_t>(-1)) m_cd = cd;
}

Utf8Converter::~Utf8Converter() {
  if (m_cd) iconv_close(static_cast<iconv_t>(m_cd));
}

void Utf8Converter::feed(const char* data, size_t n, std::string& out) {
  m_pending.append(data, n);
  if (m_cd) {
    feedIconv(out, false);
  } else {
    feedUtf8(out, false);
  }
}

void Utf8Converter::finish(std::string& out) {
  if (m_cd) {
    feedIconv(out, true);
  } else {
    feedUtf8(out, true);
  }
}

void Utf8Converter::feedUtf8(std::string& out, bool last) {
  const std::string& s = m_pending;
  size_t i = 0;
  while (i < s.size()) {
    size_t n = utf8SequenceLength(s, i);
    if (n > 0) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    // A lead byte whose sequence the next piece may complete.
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t want = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (!last && want && i + want > s.size()) {
      bool prefix = true;
      for (size_t k = i + 1; k < s.size(); ++k) prefix = prefix && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
      if (prefix) break;
    }
    appendCp1252(out, c);
    ++i;
  }
  m_pending.erase(0, i);
}

void Utf8Converter::feedIconv(std::string& out, bool last) {
  iconv_t cd = static_cast<iconv_t>(m_cd);
  char buf[8192];
  char* in = const_cast<char*>(m_pending.data());
  size_t inLeft = m_pending.size();
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, o - buf);
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno == EINVAL && !last) break;  // cut short: wait for the next piece
    // A byte that has no meaning in this charset (or a sequence cut off at
    // the end of the text): mark it and go on with the next.
    appendCodePoint(out, 0xFFFD);
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  m_pending.erase(0, m_pending.size() - inLeft);
  if (last) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &o, &oLeft);  // the shift state's end
    out.append(buf, o - buf);
  }
}

std::string toUtf8(const std::string& bytes, const char* charset) {
  Utf8Converter converter(charset);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4 + 16);
  converter.feed(bytes.data(), bytes.size(), out);
  converter.finish(out);
  return out;
}

std::wstring utf8ToWide(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    size_t n = utf8SequenceLength(s, i, &cp);
    if (n == 0) {
      unsigned char b = static_cast<unsigned char>(s[i]);
      cp = (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b;
      n = 1;
    }
    out += static_cast<wchar_t>(cp);
    i += n;
  }
  return out;
}

FILETIME fileTimeFromUnix(int64_t seconds) {
  // 100 ns intervals since 1601-01-01.
  uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

FILETIME fileTimeNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t ticks = static_cast<uint64_t>(ts.tv_sec + 11644473600LL) * 10000000ULL + ts.tv_nsec / 100;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

std::string unflow(const std::string& text, bool delsp) {
  std::string out;
  out.reserve(text.size());
  bool joining = false;  // the line before ended in a soft break
  size_t joinDepth = 0;
  std::string joinEol = "\n";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    bool lastLine = eol == std::string::npos;
    std::string line = text.substr(pos, lastLine ? std::string::npos : eol - pos);
    pos = lastLine ? text.size() : eol + 1;
    std::string lineEnd = lastLine ? "" : "\n";
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      if (!lastLine) lineEnd = "\r\n";
    }
    size_t depth = 0;
    while (depth < line.size() && line[depth] == '>') ++depth;
    std::string content = line.substr(depth);
    if (!content.empty() && content[0] == ' ') content.erase(0, 1);  // space-stuffing
    // "-- " is the signature separator, never a soft break.
    bool soft = !lastLine && !content.empty() && content.back() == ' ' && content != "-- ";
    if (joining && depth != joinDepth) {
      // A soft break only joins lines of one quote depth.
      out += joinEol;
      joining = false;
    }
    if (!joining && depth > 0) out += line.substr(0, depth) + " ";
    if (soft && delsp) content.pop_back();
    out += content;
    if (soft) {
      joining = true;
      joinDepth = depth;
      joinEol = lineEnd;
    } else {
      joining = false;
      out += lineEnd;
    }
  }
  if (joining) out += joinEol;
  return out;
}

namespace {

// Code pages and the charset names mail gives them; the first name of each
// is the one written.
struct CodePageName {
  LONG codePage;
  const char* names[4];
};
const CodePageName kCodePages[] = {
    {65001, {"UTF-8", "utf8"}},
    {20127, {"US-ASCII", "ascii", "ANSI_X3.4-1968", "us"}},
    {1200, {"UTF-16LE"}},
    {1201, {"UTF-16BE"}},
    {20866, {"KOI8-R"}},
    {21866, {"KOI8-U"}},
    {50220, {"ISO-2022-JP"}},
    {51932, {"EUC-JP"}},
    {51949, {"EUC-KR"}},
    {932, {"SHIFT_JIS", "sjis", "x-sjis", "ms_kanji"}},
    {936, {"GBK", "gb2312", "cp936"}},
    {949, {"CP949", "ks_c_5601-1987", "uhc"}},
    {950, {"BIG5", "big5-hkscs"}},
    {54936, {"GB18030"}},
    {28603, {"ISO-8859-13"}},
    {28605, {"ISO-8859-15", "latin-9", "latin9"}},
    {28591, {"ISO-8859-1", "latin1", "l1", "iso8859-1"}},
};

}  // namespace

LONG codePageOfCharset(const std::string& charset) {
  std::string name = lowerAscii(trim(charset));
  if (name.empty()) return 0;
  for (const auto& e : kCodePages)
    for (const char* n : e.names)
      if (n && name == lowerAscii(n)) return e.codePage;
  // The numbered families: ISO-8859-n (28590 + n), windows-125n and cp125n.
  auto number = [&name](const char* prefix) -> int {
    size_t len = strlen(prefix);
    if (name.compare(0, len, prefix) != 0 || name.size() == len || name.size() > len + 2) return -1;
    int n = 0;
    for (size_t i = len; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9') return -1;
      n = n * 10 + (name[i] - '0');
    }
    return n;
  };
  int n = number("iso-8859-");
  if (n < 0) n = number("iso8859-");
  if (n >= 1 && n <= 9) return 28590 + n;
  for (const char* prefix : {"windows-", "cp", "x-cp"}) {
    size_t len = strlen(prefix);
    if (name.compare(0, len, prefix) != 0 || name.size() != len + 4) continue;
    int cp = atoi(name.c_str() + len);
    if (cp >= 1250 && cp <= 1258) return cp;
  }
  return 0;
}

std::string charsetOfCodePage(LONG codePage) {
  for (const auto& e : kCodePages)
    if (e.codePage == codePage) return e.names[0];
  if (codePage == 50221 || codePage == 50222) return "ISO-2022-JP";
  if (codePage >= 28592 && codePage <= 28599) return "ISO-8859-" + std::to_string(codePage - 28590);
  if (codePage >= 1250 && codePage <= 1258) return "windows-" + std::to_string(codePage);
  if (codePage > 0) return "CP" + std::to_string(codePage);
  return "";
}

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace mapimime
