#include "store/pglocation.h"

#include <cctype>
#include <cstddef>
#include <vector>

namespace tmapi {

namespace {

const char* const kMask = "********";

bool startsWith(const std::string& s, const char* prefix) { return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; }

bool isUri(const std::string& s) { return startsWith(s, "postgresql://") || startsWith(s, "postgres://"); }

// One keyword=value pair of a connection string: where it lies, where its
// value lies, and the value read (quotes and escapes removed).
struct Pair {
  size_t start = 0, end = 0;
  size_t valueStart = 0, valueEnd = 0;
  std::string keyword;
  std::string value;
};

// Reads the pairs as libpq does: a value is single-quoted (with \' and \\)
// or runs to the next space (with backslash escapes).
bool readPairs(const std::string& s, std::vector<Pair>& pairs, std::string& why) {
  size_t i = 0, n = s.size();
  while (true) {
    while (i < n && isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i >= n) return true;
    Pair p;
    p.start = i;
    while (i < n && s[i] != '=' && !isspace(static_cast<unsigned char>(s[i]))) p.keyword += s[i++];
    while (i < n && isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i >= n || s[i] != '=' || p.keyword.empty()) {
      why = "\"" + p.keyword + "\" is not a keyword=value pair";
      return false;
    }
    ++i;
    while (i < n && isspace(static_cast<unsigned char>(s[i]))) ++i;
    p.valueStart = i;
    if (i < n && s[i] == '\'') {
      ++i;
      bool closed = false;
      while (i < n) {
        if (s[i] == '\\' && i + 1 < n) {
          p.value += s[i + 1];
          i += 2;
        } else if (s[i] == '\'') {
          ++i;
          closed = true;
          break;
        } else {
          p.value += s[i++];
        }
      }
      if (!closed) {
        why = "the quoted value of " + p.keyword + " is not closed";
        return false;
      }
    } else {
      while (i < n && !isspace(static_cast<unsigned char>(s[i]))) {
        if (s[i] == '\\' && i + 1 < n) ++i;
        p.value += s[i++];
      }
    }
    p.valueEnd = p.end = i;
    pairs.push_back(std::move(p));
  }
}

// The parts of a URI: the authority (user, password, hosts) and the
// parameters after '?', each with its place in the text.
struct Uri {
  size_t authStart = 0, authEnd = 0;
  size_t queryStart = std::string::npos;  // after the '?'
  struct Param {
    size_t start, end, valueStart;
    std::string key, value;
  };
  std::vector<Param> params;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecoded(const std::string& s) {
  std::string out;
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

std::string percentEncoded(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

Uri readUri(const std::string& s) {
  Uri u;
  u.authStart = s.find("://") + 3;
  size_t q = s.find('?', u.authStart);
  size_t slash = s.find('/', u.authStart);
  u.authEnd = std::min(q, slash);
  if (u.authEnd == std::string::npos) u.authEnd = s.size();
  if (q == std::string::npos) return u;
  u.queryStart = q + 1;
  size_t i = u.queryStart;
  while (i <= s.size()) {
    size_t amp = s.find('&', i);
    if (amp == std::string::npos) amp = s.size();
    if (amp > i) {
      Uri::Param p;
      p.start = i;
      p.end = amp;
      size_t eq = s.find('=', i);
      if (eq == std::string::npos || eq > amp) eq = amp;
      p.key = percentDecoded(s.substr(i, eq - i));
      p.valueStart = eq < amp ? eq + 1 : amp;
      p.value = percentDecoded(s.substr(p.valueStart, amp - p.valueStart));
      u.params.push_back(std::move(p));
    }
    i = amp + 1;
  }
  return u;
}

// Where the password of the authority's user part lies ("" span: none).
bool uriPasswordSpan(const std::string& s, const Uri& u, size_t& start, size_t& end) {
  size_t at = s.rfind('@', u.authEnd == 0 ? 0 : u.authEnd - 1);
  if (at == std::string::npos || at < u.authStart) return false;
  size_t colon = s.find(':', u.authStart);
  if (colon == std::string::npos || colon > at) return false;
  start = colon + 1;
  end = at;
  return true;
}

// The text with the spans removed (or, with replacement, replaced), spans
// in order.
std::string edited(const std::string& s, const std::vector<std::pair<size_t, size_t>>& spans,
                   const std::string& replacement) {
  std::string out;
  size_t at = 0;
  for (const auto& span : spans) {
    out += s.substr(at, span.first - at);
    out += replacement;
    at = span.second;
  }
  return out + s.substr(at);
}

std::string quotedValue(const std::string& v) {
  bool plain = !v.empty();
  for (char c : v)
    if (isspace(static_cast<unsigned char>(c)) || c == '\'' || c == '\\') plain = false;
  if (plain) return v;
  std::string out = "'";
  for (char c : v) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

std::string trimmed(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

// A removed URI parameter takes its '&' (or the '?' when it was alone).
std::string withoutParams(const std::string& s, const Uri& u, const char* key) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (const auto& p : u.params)
    if (p.key == key) spans.emplace_back(p.start, p.end < s.size() ? p.end + 1 : p.end);
  std::string out = edited(s, spans, "");
  while (!out.empty() && (out.back() == '&' || out.back() == '?')) out.pop_back();
  return out;
}

}  // namespace

bool isPgLocation(const std::string& location) {
  if (isUri(location)) return true;
  size_t i = 0;
  while (i < location.size() && isspace(static_cast<unsigned char>(location[i]))) ++i;
  size_t k = i;
  while (k < location.size() && (isalnum(static_cast<unsigned char>(location[k])) || location[k] == '_')) ++k;
  if (k == i) return false;
  while (k < location.size() && location[k] == ' ') ++k;
  return k < location.size() && location[k] == '=';
}

bool parsePgLocation(const std::string& location, PgLocation& out, std::string& why) {
  out = PgLocation();
  if (isUri(location)) {
    Uri u = readUri(location);
    for (const auto& p : u.params)
      if (p.key == "mailbox") out.mailbox = p.value;
    out.conninfo = withoutParams(location, u, "mailbox");
    return true;
  }
  std::vector<Pair> pairs;
  if (!readPairs(location, pairs, why)) return false;
  std::vector<std::pair<size_t, size_t>> spans;
  for (const Pair& p : pairs) {
    if (p.keyword != "mailbox") continue;
    out.mailbox = p.value;
    spans.emplace_back(p.start, p.end);
  }
  out.conninfo = trimmed(edited(location, spans, ""));
  return true;
}

std::string withPgMailbox(const std::string& location, const std::string& mailbox) {
  PgLocation parsed;
  std::string why;
  if (!parsePgLocation(location, parsed, why)) return location;
  if (isUri(location))
    return parsed.conninfo + (parsed.conninfo.find('?') == std::string::npos ? "?" : "&") + "mailbox=" +
           percentEncoded(mailbox);
  return parsed.conninfo + (parsed.conninfo.empty() ? "" : " ") + "mailbox=" + quotedValue(mailbox);
}

namespace {

// Where the passwords of a location lie; readable false when the text
// cannot be read as pairs.
std::vector<std::pair<size_t, size_t>> passwordSpans(const std::string& location, bool& readable) {
  std::vector<std::pair<size_t, size_t>> spans;
  readable = true;
  if (isUri(location)) {
    Uri u = readUri(location);
    size_t start = 0, end = 0;
    if (uriPasswordSpan(location, u, start, end)) spans.emplace_back(start, end);
    for (const auto& p : u.params)
      if (p.key == "password") spans.emplace_back(p.valueStart, p.end);
    return spans;
  }
  std::vector<Pair> pairs;
  std::string why;
  readable = readPairs(location, pairs, why);
  for (const Pair& p : pairs)
    if (p.keyword == "password") spans.emplace_back(p.valueStart, p.valueEnd);
  return spans;
}

}  // namespace

bool pgLocationHasPassword(const std::string& location) {
  bool readable = true;
  return !passwordSpans(location, readable).empty();
}

std::string maskedPgLocation(const std::string& location) {
  bool readable = true;
  auto spans = passwordSpans(location, readable);
  // Text that cannot be read is not shown: any of it could be a password.
  if (!readable) return kMask;
  return edited(location, spans, kMask);
}

}  // namespace tmapi
