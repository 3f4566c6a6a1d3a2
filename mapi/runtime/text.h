// Text conversions of the subsystem, independent of the process locale:
// UTF-16LE in compound files, wchar_t (UTF-32) in the MAPI API, UTF-8 (the
// process code page) everywhere else.
#ifndef TOLVANE_MAPI_TEXT_H
#define TOLVANE_MAPI_TEXT_H

#include <cstdint>
#include <string>

namespace tmapi {

// NUL-terminated wchar_t string -> UTF-8.
std::string wideToUtf8(const wchar_t* in);
// UTF-8 -> wchar_t string.
std::wstring utf8ToWideString(const std::string& in);
// UTF-8 -> UTF-16LE bytes (no terminator). Invalid sequences become U+FFFD.
std::string utf8ToUtf16le(const std::string& in);
// UTF-16LE bytes -> UTF-8 (unpaired surrogates become U+FFFD).
std::string utf16leToUtf8(const std::string& in);
// Number of UTF-16 code units of a UTF-8 string.
size_t utf16Length(const std::string& utf8);

// UTF-8 -> UTF-16LE for text that arrives in pieces: a sequence split
// between two pieces is completed by the next one.
class Utf8ToUtf16Stream {
 public:
  // Converts `n` bytes; appends UTF-16LE to `out`.
  void feed(const char* data, size_t n, std::string& out);
  // End of text: an incomplete sequence left over becomes U+FFFD.
  void finish(std::string& out);

 private:
  std::string m_pending;
};

}  // namespace tmapi

#endif
