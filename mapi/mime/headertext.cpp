#include "headertext.h"

#include "textconv.h"

#include <map>

namespace mapimime {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool allBlank(const std::string& s) {
  for (char c : s)
    if (!isBlank(c)) return false;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Base64 of one encoded word. Padding ends a group of four (so that words
// some mailers glue together still decode); characters outside the alphabet
// are skipped.
std::string decodeBase64(const char* p, size_t n) {
  std::string out;
  out.reserve(n * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == '=') {
      acc = 0;
      bits = 0;
      continue;
    }
    int v = base64Value(p[i]);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// The Q encoding of RFC 2047: "_" is a blank, "=XX" a byte; a "=" that
// starts no byte stays as it is.
std::string decodeQ(const char* p, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == '_') {
      out += ' ';
    } else if (p[i] == '=' && i + 2 < n && hexValue(p[i + 1]) >= 0 && hexValue(p[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(p[i + 1]) * 16 + hexValue(p[i + 2]));
      i += 2;
    } else {
      out += p[i];
    }
  }
  return out;
}

struct EncodedWord {
  size_t end = 0;       // offset just past "?="
  std::string charset;  // without an RFC 2231 language ("utf-8*en")
  std::string bytes;    // the decoded bytes, still in the charset
};

// Reads "=?charset?B|Q?text?=" at s[i]. The text holds no blank; a word
// that is not complete is not one. Where the next "?=" and the next blank
// are is remembered, so that a text of many "=?" that never close is read
// in one pass, not once for each of them.
class EncodedWordMatcher {
 public:
  explicit EncodedWordMatcher(const std::string& s) : m_s(s) {}

  bool match(size_t i, EncodedWord& word) {
    const std::string& s = m_s;
    const size_t n = s.size();
    if (i + 1 >= n || s[i] != '=' || s[i + 1] != '?') return false;
    size_t p = i + 2;
    size_t charsetStart = p;
    while (p < n && s[p] != '?' && !isBlank(s[p]) && p - charsetStart < 64) ++p;
    if (p >= n || s[p] != '?' || p == charsetStart) return false;
    size_t charsetEnd = p;
    ++p;
    if (p + 1 >= n || s[p + 1] != '?') return false;
    char encoding = s[p];
    if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') return false;
    size_t textStart = p + 2;
    size_t close = nextClose(textStart);
    if (close == std::string::npos || nextBlank(textStart) < close) return false;
    std::string charset = s.substr(charsetStart, charsetEnd - charsetStart);
    size_t star = charset.find('*');
    if (star != std::string::npos) charset.resize(star);
    word.charset = lowerAscii(charset);
    word.bytes = (encoding == 'B' || encoding == 'b') ? decodeBase64(s.data() + textStart, close - textStart)
                                                       : decodeQ(s.data() + textStart, close - textStart);
    word.end = close + 2;
    return true;
  }

 private:
  size_t nextClose(size_t from) {
    if (!m_haveClose || m_close < from) {
      m_close = m_s.find("?=", from);
      m_haveClose = true;
    }
    return m_close;
  }

  size_t nextBlank(size_t from) {
    if (!m_haveBlank || m_blank < from) {
      m_blank = m_s.find_first_of(" \t\r\n", from);
      m_haveBlank = true;
    }
    return m_blank;
  }

  const std::string& m_s;
  size_t m_close = 0, m_blank = 0;
  bool m_haveClose = false, m_haveBlank = false;
};

}  // namespace

std::string unfoldHeader(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

// GMime 3.2.13 (Debian 12) decodes "=?UTF-8?B?R3LDvMOfZSBh?= =?UTF-8?B?dXM=?="
// well, but a run whose first word ends in "=" padding only up to that word
// (jstedfast/gmime#133): each word is decoded on its own here, and the
// bytes of a run in one charset converted together.
std::string decodeHeaderText(const std::string& text) {
  std::string out;
  std::string literal;  // text since the last encoded word
  std::string runCharset, runBytes;
  bool inRun = false;
  auto flushRun = [&] {
    if (inRun) out += toUtf8(runBytes, runCharset.empty() ? nullptr : runCharset.c_str());
    inRun = false;
    runBytes.clear();
  };
  EncodedWordMatcher matcher(text);
  EncodedWord word;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '=' && matcher.match(i, word)) {
      bool joins = inRun && allBlank(literal);
      if (!joins) {
        flushRun();
        out += sanitizeUtf8(literal);
      } else if (word.charset != runCharset) {
        flushRun();  // the blank between two encoded words is dropped all the same
      }
      if (!inRun) {
        runCharset = word.charset;
        inRun = true;
      }
      runBytes += word.bytes;
      literal.clear();
      i = word.end;
      continue;
    }
    literal += text[i];
    ++i;
  }
  flushRun();
  out += sanitizeUtf8(literal);
  return out;
}

// ---- Address lists -----------------------------------------------------------

namespace {

bool isAtomChar(char c) {
  if (isBlank(c)) return false;
  switch (c) {
    case '(':
    case ')':
    case '<':
    case '>':
    case ',':
    case ';':
    case ':':
    case '"':
      return false;
    default:
      return true;
  }
}

class AddressListParser {
 public:
  AddressListParser(const std::string& text, size_t maxMailboxes, int maxGroupDepth, AddressListCounts& counts)
      : m_s(text), m_max(maxMailboxes), m_maxDepth(maxGroupDepth), m_counts(counts), m_words(text) {}

  std::vector<AddressListMailbox> run() {
    const size_t n = m_s.size();
    size_t i = 0;
    while (i < n) {
      char c = m_s[i];
      if (isBlank(c)) {
        m_gap = true;
        ++i;
      } else if (c == ',') {
        finish();
        ++i;
      } else if (c == ';') {
        finish();
        if (m_depth > 0) --m_depth;
        ++i;
      } else if (c == ':') {
        // A group: the words before it are its name, not a mailbox.
        if (m_hasAngle) {
          finish();
        } else {
          reset();
        }
        ++m_depth;
        ++i;
      } else if (c == '(') {
        i = comment(i);
      } else if (c == '"') {
        i = quoted(i);
      } else if (c == '<') {
        if (m_hasAngle) finish();  // "A <a@x> <b@x>": two mailboxes
        i = angle(i);
      } else if (c == '>') {
        ++i;  // a stray bracket
      } else {
        i = atom(i);
      }
    }
    finish();
    return std::move(m_out);
  }

 private:
  void addWord(const std::string& phrasePart, const std::string& rawPart) {
    if (!m_phrase.empty() && m_gap) m_phrase += ' ';
    m_phrase += phrasePart;
    if (!m_raw.empty() && m_gap) m_raw += ' ';
    m_raw += rawPart;
    m_bare += rawPart;
    m_gap = false;
  }

  // "(...)", nested, with quoted pairs; to the end of the text when it is
  // not closed.
  size_t comment(size_t i) {
    const size_t n = m_s.size();
    int level = 0;
    std::string text;
    for (; i < n; ++i) {
      char c = m_s[i];
      if (c == '\\' && i + 1 < n) {
        text += m_s[++i];
        continue;
      }
      if (c == '(') {
        if (level++ > 0) text += c;
      } else if (c == ')') {
        if (--level == 0) {
          ++i;
          break;
        }
        text += c;
      } else {
        text += c;
      }
    }
    if (!allBlank(text)) m_comment = text;
    m_gap = true;
    return i;
  }

  size_t quoted(size_t i) {
    const size_t n = m_s.size();
    size_t start = i;
    std::string text;
    for (++i; i < n; ++i) {
      char c = m_s[i];
      if (c == '\\' && i + 1 < n) {
        text += m_s[++i];
        continue;
      }
      if (c == '"') {
        ++i;
        break;
      }
      text += c;
    }
    addWord(text, m_s.substr(start, i - start));
    return i;
  }

  // "<address>": the address as given; a source route ("@a,@b:") is dropped.
  size_t angle(size_t i) {
    const size_t n = m_s.size();
    std::string text;
    bool inQuote = false;
    for (++i; i < n; ++i) {
      char c = m_s[i];
      if (c == '\\' && i + 1 < n) {
        text += c;
        text += m_s[++i];
        continue;
      }
      if (c == '"') inQuote = !inQuote;
      if (c == '>' && !inQuote) {
        ++i;
        break;
      }
      text += c;
    }
    text = trim(text);
    if (!text.empty() && text[0] == '@') {
      size_t colon = text.rfind(':');
      if (colon != std::string::npos) text = trim(text.substr(colon + 1));
    }
    m_angle = text;
    m_hasAngle = true;
    m_gap = true;
    return i;
  }

  size_t atom(size_t i) {
    const size_t n = m_s.size();
    size_t start = i;
    EncodedWord word;
    if (m_s[i] == '=' && m_words.match(i, word)) {
      // An encoded word is one word, whatever it holds.
      i = word.end;
    } else {
      while (i < n && isAtomChar(m_s[i])) {
        if (m_s[i] == '[') {
          // A domain literal: up to its "]".
          while (i < n && m_s[i] != ']') ++i;
          if (i < n) ++i;
          continue;
        }
        if (m_s[i] == '=' && i > start && m_words.match(i, word)) break;
        ++i;
      }
      if (i == start) ++i;
    }
    std::string w = m_s.substr(start, i - start);
    addWord(w, w);
    return i;
  }

  void finish() {
    bool empty = !m_hasAngle && m_raw.empty();
    std::string address;
    std::string name;
    if (!empty) {
      if (m_hasAngle) {
        address = m_angle;
        name = m_phrase;
      } else {
        // Without angle brackets the words are the address: a bare address
        // (local@domain as RFC 5322 writes it, the local part quoted or not,
        // with blanks or without), or a name without a domain kept as it was
        // written.
        address = m_bare.find('@') != std::string::npos ? m_bare : m_raw;
        name = m_comment;
      }
      address = sanitizeUtf8(trim(address));
    }
    if (!address.empty()) {
      ++m_counts.mailboxes;
      if (m_depth > m_maxDepth) {
        ++m_counts.tooDeep;
      } else if (m_out.size() < m_max) {
        AddressListMailbox box;
        box.name = trim(decodeHeaderText(name));
        box.address = std::move(address);
        m_out.push_back(std::move(box));
      }
    }
    reset();
  }

  void reset() {
    m_phrase.clear();
    m_raw.clear();
    m_bare.clear();
    m_comment.clear();
    m_angle.clear();
    m_hasAngle = false;
    m_gap = false;
  }

  const std::string& m_s;
  const size_t m_max;
  const int m_maxDepth;
  AddressListCounts& m_counts;
  EncodedWordMatcher m_words;
  std::vector<AddressListMailbox> m_out;
  int m_depth = 0;
  // The mailbox being read.
  std::string m_phrase;   // words, quoted ones without their quotes, joined by blanks where they had them
  std::string m_raw;      // words as written, joined by blanks where they had them
  std::string m_bare;     // words as written, joined without blanks
  std::string m_comment;  // the last comment
  std::string m_angle;
  bool m_hasAngle = false;
  bool m_gap = false;  // white space or a comment since the last word
};

}  // namespace

std::vector<AddressListMailbox> parseAddressList(const std::string& text, size_t maxMailboxes, int maxGroupDepth,
                                                 AddressListCounts* counts) {
  AddressListCounts local;
  AddressListCounts& c = counts ? *counts : local;
  c = AddressListCounts();
  return AddressListParser(text, maxMailboxes, maxGroupDepth, c).run();
}

// ---- Parameters --------------------------------------------------------------

namespace {

std::string percentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// "charset'language'value" of an RFC 2231 extended value: the charset, and
// the value's bytes.
void splitExtended(const std::string& value, std::string& charset, std::string& bytes) {
  size_t q1 = value.find('\'');
  size_t q2 = q1 == std::string::npos ? std::string::npos : value.find('\'', q1 + 1);
  if (q2 == std::string::npos) {
    charset.clear();
    bytes = percentDecode(value);
    return;
  }
  charset = value.substr(0, q1);
  bytes = percentDecode(value.substr(q2 + 1));
}

// More sections than this are not a file name any mailer writes.
const long kMaxSections = 1000;

}  // namespace

std::string decodeParameter(const std::string& fieldValue, const std::string& name, bool* found) {
  if (found) *found = false;
  const std::string& s = fieldValue;
  const size_t n = s.size();
  std::string wanted = lowerAscii(name);
  bool havePlain = false, haveExtended = false;
  std::string plain, extended;
  std::map<long, std::pair<bool, std::string>> sections;  // number -> (extended, value)

  // Past the media type or disposition: a quoted string there holds no ';'.
  size_t i = 0;
  bool inQuote = false;
  while (i < n && (inQuote || s[i] != ';')) {
    if (s[i] == '"') inQuote = !inQuote;
    if (s[i] == '\\' && inQuote) ++i;
    ++i;
  }
  while (i < n) {
    while (i < n && (s[i] == ';' || isBlank(s[i]))) ++i;
    size_t nameStart = i;
    while (i < n && s[i] != '=' && s[i] != ';') ++i;
    std::string paramName = lowerAscii(trim(s.substr(nameStart, i - nameStart)));
    if (i >= n || s[i] != '=') continue;  // a word without a value
    ++i;
    while (i < n && isBlank(s[i])) ++i;
    std::string value;
    if (i < n && s[i] == '"') {
      for (++i; i < n; ++i) {
        if (s[i] == '\\' && i + 1 < n) {
          value += s[++i];
          continue;
        }
        if (s[i] == '"') {
          ++i;
          break;
        }
        value += s[i];
      }
      while (i < n && s[i] != ';') ++i;  // anything after the quotes
    } else {
      size_t start = i;
      while (i < n && s[i] != ';') ++i;
      value = trim(s.substr(start, i - start));
    }
    if (paramName.compare(0, wanted.size(), wanted) != 0) continue;
    std::string rest = paramName.substr(wanted.size());
    if (rest.empty()) {
      if (!havePlain) plain = value;
      havePlain = true;
    } else if (rest == "*") {
      if (!haveExtended) extended = value;
      haveExtended = true;
    } else if (rest[0] == '*' && rest.size() > 1 && rest[1] >= '0' && rest[1] <= '9') {
      size_t p = 1;
      long number = 0;
      while (p < rest.size() && rest[p] >= '0' && rest[p] <= '9' && number <= kMaxSections) number = number * 10 + (rest[p++] - '0');
      bool ext = p < rest.size() && rest[p] == '*';
      if (p + (ext ? 1 : 0) != rest.size() || number >= kMaxSections) continue;
      sections.emplace(number, std::make_pair(ext, value));
    }
  }

  if (!sections.empty() && sections.begin()->first == 0) {
    if (found) *found = true;
    std::string charset, bytes;
    long expected = 0;
    for (const auto& section : sections) {
      if (section.first != expected++) break;  // a gap ends the value
      if (!section.second.first) {
        bytes += section.second.second;
      } else if (section.first == 0) {
        splitExtended(section.second.second, charset, bytes);
      } else {
        bytes += percentDecode(section.second.second);
      }
    }
    return toUtf8(bytes, charset.empty() ? nullptr : charset.c_str());
  }
  if (haveExtended) {
    if (found) *found = true;
    std::string charset, bytes;
    splitExtended(extended, charset, bytes);
    return toUtf8(bytes, charset.empty() ? nullptr : charset.c_str());
  }
  if (havePlain) {
    if (found) *found = true;
    return decodeHeaderText(plain);
  }
  return "";
}

}  // namespace mapimime
