#include "runtime/text.h"

namespace tmapi {

namespace {

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void appendUnit(std::string& out, uint16_t u) {
  out.push_back(static_cast<char>(u & 0xFF));
  out.push_back(static_cast<char>(u >> 8));
}

void appendUtf16(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    appendUnit(out, static_cast<uint16_t>(0xD800 + (cp >> 10)));
    appendUnit(out, static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    appendUnit(out, static_cast<uint16_t>(cp));
  }
}

// Decodes one UTF-8 sequence at s[i..n). Returns its length (0: the
// sequence is cut off by the end of the input), with cp = U+FFFD and length
// 1 for an invalid byte.
size_t decodeOne(const unsigned char* s, size_t i, size_t n, uint32_t& cp) {
  unsigned char c = s[i];
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    cp = c & 0x1F;
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    cp = c & 0x0F;
    len = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    cp = c & 0x07;
    len = 4;
  } else {
    cp = 0xFFFD;
    return 1;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= n) return 0;
    if ((s[i + k] & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return 1;
    }
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
    cp = 0xFFFD;
    return 1;
  }
  return len;
}

template <typename Emit>
size_t decodeUtf8(const std::string& in, bool final, Emit emit) {
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size(), i = 0;
  while (i < n) {
    uint32_t cp;
    size_t len = decodeOne(s, i, n, cp);
    if (len == 0) {
      if (!final) return i;  // wait for the rest of the sequence
      cp = 0xFFFD;
      len = 1;
    }
    emit(cp);
    i += len;
  }
  return i;
}

}  // namespace

std::string wideToUtf8(const wchar_t* in) {
  std::string out;
  if (!in) return out;
  for (size_t i = 0; in[i]; ++i) {
    uint32_t cp = static_cast<uint32_t>(in[i]);
    if (sizeof(wchar_t) == 2) {
      cp &= 0xFFFF;
      if (cp >= 0xD800 && cp <= 0xDBFF && in[i + 1]) {
        uint32_t lo = static_cast<uint32_t>(in[i + 1]) & 0xFFFF;
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          ++i;
        }
      }
    }
    appendUtf8(out, cp);
  }
  return out;
}

std::wstring utf8ToWideString(const std::string& in) {
  std::wstring out;
  decodeUtf8(in, true, [&](uint32_t cp) {
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
  });
  return out;
}

std::string utf8ToUtf16le(const std::string& in) {
  std::string out;
  out.reserve(in.size() * 2);
  decodeUtf8(in, true, [&](uint32_t cp) { appendUtf16(out, cp); });
  return out;
}

size_t utf16Length(const std::string& utf8) {
  size_t n = 0;
  decodeUtf8(utf8, true, [&](uint32_t cp) { n += cp >= 0x10000 ? 2 : 1; });
  return n;
}

std::string utf16leToUtf8(const std::string& in) {
  std::string out;
  size_t n = in.size() / 2;
  auto unit = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(in[2 * k])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(in[2 * k + 1])) << 8);
  };
  for (size_t k = 0; k < n; ++k) {
    uint32_t cp = unit(k);
    if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < n) {
      uint32_t lo = unit(k + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++k;
      }
    }
    appendUtf8(out, cp);
  }
  return out;
}

void Utf8ToUtf16Stream::feed(const char* data, size_t n, std::string& out) {
  m_pending.append(data, n);
  size_t used = decodeUtf8(m_pending, false, [&](uint32_t cp) { appendUtf16(out, cp); });
  m_pending.erase(0, used);
}

void Utf8ToUtf16Stream::finish(std::string& out) {
  decodeUtf8(m_pending, true, [&](uint32_t cp) { appendUtf16(out, cp); });
  m_pending.clear();
}

}  // namespace tmapi
