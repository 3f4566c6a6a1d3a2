// Text helpers of the MIME conversion: charsets to UTF-8, UTF-8 to the
// wide strings of PT_UNICODE values, and Internet times to FILETIME.
#ifndef TOLVANE_MIME_TEXTCONV_H
#define TOLVANE_MIME_TEXTCONV_H

#include <mapidefs.h>

#include <cstdint>
#include <string>

namespace mapimime {

bool isValidUtf8(const std::string& s);

// Bytes in `charset` to UTF-8. A missing or unknown charset, or bytes that
// are not valid in the one named, never fail: text that is already valid
// UTF-8 is kept, anything else is read as windows-1252, and a byte that
// still has no meaning becomes U+FFFD.
std::string toUtf8(const std::string& bytes, const char* charset);

// The same conversion for text that comes in pieces: a character cut
// between two pieces is held back until the next one.
class Utf8Converter {
 public:
  explicit Utf8Converter(const char* charset);
  ~Utf8Converter();
  Utf8Converter(const Utf8Converter&) = delete;
  Utf8Converter& operator=(const Utf8Converter&) = delete;

  // Appends the UTF-8 of the next piece to `out`.
  void feed(const char* data, size_t n, std::string& out);
  // Appends what is left at the end of the text.
  void finish(std::string& out);

 private:
  void feedIconv(std::string& out, bool last);
  void feedUtf8(std::string& out, bool last);

  void* m_cd = nullptr;  // iconv_t; null: UTF-8 (or unknown) checked as it comes
  std::string m_pending;
};

// Invalid UTF-8 sequences replaced by their windows-1252 reading.
std::string sanitizeUtf8(const std::string& s);

// UTF-8 to wchar_t (what the Linux MAPI headers' WCHAR is).
std::wstring utf8ToWide(const std::string& s);

// Seconds since 1970 (UTC) as a FILETIME.
FILETIME fileTimeFromUnix(int64_t seconds);
// Now, as a FILETIME.
FILETIME fileTimeNow();

// Text of a format=flowed part (RFC 3676) as the lines the writer meant:
// space-stuffing removed, soft line breaks (a line ending in a blank) joined
// with the next line of the same quote depth; delsp drops that blank.
std::string unflow(const std::string& text, bool delsp);

// The Windows code page of a charset name ("ISO-8859-1" 28591, "utf-8"
// 65001, "windows-1252" 1252, ...; case and aliases as mail writes them),
// 0 for a name the table does not know.
LONG codePageOfCharset(const std::string& charset);
// The charset name of a code page ("" for none), the inverse of
// codePageOfCharset for the names it gives.
std::string charsetOfCodePage(LONG codePage);

std::string lowerAscii(std::string s);
std::string trim(const std::string& s);

}  // namespace mapimime

#endif
