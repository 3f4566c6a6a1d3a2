#include "support/fieldsyntax.h"

#include <cstring>

namespace fieldsyntax {

namespace {

bool isTokenByte(unsigned char c) { return c > 0x20 && c < 0x7F && !strchr("()<>@,;:\\\"/[]?=", c); }

}  // namespace

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool isFieldName(const std::string& name) {
  if (name.empty() || name.size() > 76) return false;
  for (unsigned char c : name)
    if (c < 33 || c > 126 || c == ':') return false;
  return true;
}

bool isReservedField(const std::string& name) {
  static const char* const kReserved[] = {
      "from",        "sender",       "to",          "cc",       "bcc",        "reply-to",   "subject",
      "date",        "message-id",   "in-reply-to", "references", "mime-version", "return-path", "received",
      "x-priority",  "importance",   "priority"};
  std::string n = lowerAscii(name);
  if (n.compare(0, 8, "content-") == 0) return true;
  for (const char* r : kReserved)
    if (n == r) return true;
  return false;
}

std::string oneLineValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  bool inBreak = false;
  for (char ch : value) {
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

std::string attachmentMediaType(const std::string& mimeType) {
  std::string t = mimeType.substr(0, mimeType.find(';'));
  size_t from = t.find_first_not_of(" \t");
  size_t to = t.find_last_not_of(" \t");
  t = from == std::string::npos ? std::string() : lowerAscii(t.substr(from, to - from + 1));
  size_t slash = t.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == t.size()) return "";
  for (size_t i = 0; i < t.size(); ++i)
    if (i != slash && !isTokenByte(static_cast<unsigned char>(t[i]))) return "";
  if (t.compare(0, 8, "message/") == 0 || t.compare(0, 10, "multipart/") == 0) return "";
  return t;
}

}  // namespace fieldsyntax
