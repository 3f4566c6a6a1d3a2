#include "mimeheaders.h"

#include "textconv.h"

#include <algorithm>
#include <cstring>

namespace mapimime {

namespace {

bool printableAscii(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Length of the UTF-8 sequence that starts with `lead` (the text is valid
// UTF-8 here).
size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

const char kHex[] = "0123456789ABCDEF";

void appendHex(std::string& out, char prefix, unsigned char c) {
  out += prefix;
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

// atext of RFC 5322 3.2.3.
bool atext(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c && strchr("!#$%&'*+-/=?^_`{|}~", c));
}

// attr-char of RFC 5987 (what an RFC 2231 value keeps as it is).
bool attrChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c && strchr("!#$&+-.^_`|~", c));
}

bool hasEncodedWordStart(const std::string& s) { return s.find("=?") != std::string::npos; }

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The display name of a mailbox as pieces of a phrase.
std::vector<std::string> phrasePieces(const std::string& name, size_t room) {
  std::vector<std::string> pieces;
  if (name.empty()) return pieces;
  // Atoms separated by single blanks: as they are.
  bool atoms = !hasEncodedWordStart(name) && name.front() != ' ' && name.back() != ' ';
  for (size_t i = 0; atoms && i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    atoms = atext(c) || (c == ' ' && name[i + 1] != ' ');
  }
  if (atoms) {
    size_t start = 0;
    while (start <= name.size()) {
      size_t blank = name.find(' ', start);
      std::string word = name.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
      if (word.size() > kFoldColumn - 2) {
        atoms = false;
        break;
      }
      pieces.push_back(word);
      if (blank == std::string::npos) break;
      start = blank + 1;
    }
    if (atoms) return pieces;
    pieces.clear();
  }
  // Printable ASCII with specials: one quoted string, kept short enough
  // never to need folding inside it.
  bool printable = !hasEncodedWordStart(name) && name.size() <= 70;
  for (size_t i = 0; printable && i < name.size(); ++i) printable = printableAscii(static_cast<unsigned char>(name[i]));
  if (printable) {
    pieces.push_back(quoted(name));
    return pieces;
  }
  return encodedWords(name, room);
}

// The pieces of an unstructured value kept as it is: split at the blanks
// that are followed by a non-blank, so that a fold never leaves a line of
// white space only and unfolding gives the value back.
std::vector<std::string> plainPieces(const std::string& value) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == ' ' && value[i + 1] != ' ') {
      pieces.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(value.substr(start));
  return pieces;
}

}  // namespace

std::string headerSafeText(const std::string& utf8) {
  std::string in = sanitizeUtf8(utf8);
  std::string out;
  out.reserve(in.size());
  bool inBreak = false;
  for (char ch : in) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') {
      if (!inBreak) out += ' ';
      inBreak = true;
      continue;
    }
    inBreak = false;
    if ((c < 0x20 && c != '\t') || c == 0x7F) continue;
    out += ch;
  }
  return out;
}

bool validFieldName(const std::string& name) {
  if (name.empty() || name.size() > kMaxFieldNameLength) return false;
  for (unsigned char c : name)
    if (c < 33 || c > 126 || c == ':') return false;
  return true;
}

bool reservedFieldName(const std::string& name) {
  static const char* const kReserved[] = {"from",        "sender",     "to",         "cc",          "bcc",
                                          "reply-to",    "subject",    "date",       "message-id",  "in-reply-to",
                                          "references",  "mime-version", "return-path", "received", "x-priority",
                                          "importance",  "priority"};
  std::string lower = lowerAscii(name);
  if (lower.rfind("content-", 0) == 0) return true;
  for (const char* r : kReserved)
    if (lower == r) return true;
  return false;
}

bool validAddress(const std::string& address) {
  if (address.empty() || address.size() > 254) return false;
  size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size() || address.find('@', at + 1) != std::string::npos)
    return false;
  for (unsigned char c : address)
    if (c <= 0x20 || c >= 0x7F || strchr("\"()<>[]:;,\\", c)) return false;
  return true;
}

bool validDomain(const std::string& d) {
  if (d.empty() || d.size() > 253 || d.front() == '.' || d.back() == '.') return false;
  for (unsigned char c : d)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
      return false;
  return true;
}

bool validMessageId(const std::string& id) {
  if (id.size() < 5 || id.size() > 250 || id.front() != '<' || id.back() != '>') return false;
  size_t at = id.find('@');
  if (at == std::string::npos || at == 1 || at + 2 == id.size()) return false;
  for (size_t i = 1; i + 1 < id.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(id[i]);
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return false;
  }
  return true;
}

std::string mediaType(const std::string& tag) {
  std::string t = lowerAscii(trim(tag.substr(0, tag.find(';'))));
  size_t slash = t.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == t.size() || t.find('/', slash + 1) != std::string::npos)
    return "";
  for (size_t i = 0; i < t.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    if (i == slash) continue;
    if (c <= 0x20 || c >= 0x7F || strchr("()<>@,;:\\\"/[]?=", c)) return "";
  }
  return t;
}

std::string contentId(const std::string& value) {
  std::string id = trim(value);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  if (id.empty() || id.size() > 250) return "";
  for (unsigned char c : id)
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return "";
  return id;
}

// Q encoding only, never B: GMime 3.2.13 (Debian 12) decodes only the
// first of adjacent base64 encoded words when one ends in '=' padding
// (jstedfast/gmime#133, fixed after 3.2.13), so a reader on it, our own
// delivery included, would lose the rest of a long subject or name. GMime's
// own encoder (g_mime_utils_header_encode_text) is not used either: it
// chooses B for such text and writes words past RFC 2047's 75 characters
// when the text has no blanks.
std::vector<std::string> encodedWords(const std::string& utf8, size_t firstWordRoom) {
  static const char kPrefix[] = "=?utf-8?q?";
  static const size_t kOverhead = (sizeof kPrefix - 1) + 2;
  size_t firstRoom = std::max<size_t>(20, std::min<size_t>(75, firstWordRoom));
  std::string text = sanitizeUtf8(utf8);
  std::vector<std::string> words;
  std::string payload;
  for (size_t i = 0; i < text.size();) {
    size_t n = sequenceLength(static_cast<unsigned char>(text[i]));
    if (i + n > text.size()) n = text.size() - i;
    std::string encoded;
    for (size_t k = i; k < i + n; ++k) {
      unsigned char c = static_cast<unsigned char>(text[k]);
      if (c == ' ') {
        encoded += '_';
      } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr("!*+-/", c)) {
        encoded += static_cast<char>(c);
      } else {
        appendHex(encoded, '=', c);
      }
    }
    size_t budget = (words.empty() ? firstRoom : 75) - kOverhead;
    if (!payload.empty() && payload.size() + encoded.size() > budget) {
      words.push_back(kPrefix + payload + "?=");
      payload.clear();
    }
    payload += encoded;
    i += n;
  }
  if (!payload.empty()) words.push_back(kPrefix + payload + "?=");
  return words;
}

HeaderField::HeaderField(const std::string& name) : m_text(name + ":"), m_line(m_text.size()) {
  m_longest = m_line;
}

void HeaderField::add(const std::string& piece) {
  // Never fold before the first piece: a first line of nothing but the
  // name is a line of white space once folded.
  if (!m_first && m_line + 1 + piece.size() > kFoldColumn) {
    m_text += "\n ";
    m_line = 1;
  } else {
    m_text += ' ';
    ++m_line;
  }
  m_first = false;
  m_text += piece;
  m_line += piece.size();
  if (m_line > m_longest) m_longest = m_line;
}

void HeaderField::glue(const std::string& piece) {
  m_text += piece;
  m_line += piece.size();
  if (m_line > m_longest) m_longest = m_line;
}

std::string HeaderField::text() const { return m_text + "\n"; }

size_t HeaderField::longestLine() const { return m_longest; }

std::string unstructuredField(const std::string& name, const std::string& utf8Value) {
  std::string value = headerSafeText(utf8Value);
  size_t b = value.find_first_not_of(" \t");
  value = b == std::string::npos ? std::string() : value.substr(b, value.find_last_not_of(" \t") - b + 1);
  bool plain = !hasEncodedWordStart(value);
  for (size_t i = 0; plain && i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    plain = printableAscii(c) || c == '\t';
  }
  if (plain) {
    HeaderField field(name);
    if (!value.empty())
      for (const auto& piece : plainPieces(value)) field.add(piece);
    if (field.longestLine() <= kMaxLineLength) return field.text();
  }
  HeaderField field(name);
  for (const auto& word : encodedWords(value, kFoldColumn - name.size() - 2)) field.add(word);
  return field.text();
}

std::string addressField(const std::string& name, const std::vector<HeaderMailbox>& mailboxes) {
  HeaderField field(name);
  for (size_t i = 0; i < mailboxes.size(); ++i) {
    const HeaderMailbox& box = mailboxes[i];
    std::string display = headerSafeText(box.name);
    size_t b = display.find_first_not_of(" \t");
    display = b == std::string::npos ? std::string() : display.substr(b, display.find_last_not_of(" \t") - b + 1);
    const char* separator = i + 1 < mailboxes.size() ? "," : "";
    // A name that only repeats the address adds nothing.
    if (display.empty() || display == box.address) {
      field.add(box.address + separator);
      continue;
    }
    // The first name starts on the field's first line; later ones may
    // start a line of their own.
    size_t room = i == 0 ? kFoldColumn - name.size() - 2 : kFoldColumn - 1;
    for (const auto& piece : phrasePieces(display, room)) field.add(piece);
    field.add("<" + box.address + ">" + separator);
  }
  return field.text();
}

std::string wordsField(const std::string& name, const std::vector<std::string>& words) {
  HeaderField field(name);
  for (const auto& w : words) field.add(w);
  return field.text();
}

std::string parameterField(const std::string& name, const std::string& value, const std::vector<HeaderParam>& params) {
  std::vector<std::string> pieces = {value};
  for (const auto& p : params) {
    std::string v = headerSafeText(p.value);
    bool plain = !hasEncodedWordStart(v) && v.size() <= 60;
    for (size_t i = 0; plain && i < v.size(); ++i) plain = printableAscii(static_cast<unsigned char>(v[i]));
    if (plain) {
      pieces.push_back(p.name + "=" + quoted(v));
      continue;
    }
    // RFC 2231: sections of at most 60 encoded characters, a character's
    // bytes never split between two sections.
    std::vector<std::string> sections(1, "utf-8''");
    for (size_t i = 0; i < v.size();) {
      size_t n = sequenceLength(static_cast<unsigned char>(v[i]));
      if (i + n > v.size()) n = v.size() - i;
      std::string encoded;
      for (size_t k = i; k < i + n; ++k) {
        unsigned char c = static_cast<unsigned char>(v[k]);
        if (attrChar(c)) {
          encoded += static_cast<char>(c);
        } else {
          appendHex(encoded, '%', c);
        }
      }
      if (sections.back().size() + encoded.size() > 60 && sections.back() != "utf-8''") sections.emplace_back();
      sections.back() += encoded;
      i += n;
    }
    if (sections.size() == 1) {
      pieces.push_back(p.name + "*=" + sections[0]);
    } else {
      for (size_t s = 0; s < sections.size(); ++s)
        pieces.push_back(p.name + "*" + std::to_string(s) + "*=" + sections[s]);
    }
  }
  HeaderField field(name);
  for (size_t i = 0; i < pieces.size(); ++i) field.add(pieces[i] + (i + 1 < pieces.size() ? ";" : ""));
  return field.text();
}

}  // namespace mapimime
