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

// Invalid UTF-8 sequences replaced by their windows-1252 reading.
std::string sanitizeUtf8(const std::string& s);

// UTF-8 to wchar_t (what the Linux MAPI headers' WCHAR is).
std::wstring utf8ToWide(const std::string& s);

// Seconds since 1970 (UTC) as a FILETIME.
FILETIME fileTimeFromUnix(int64_t seconds);
// Now, as a FILETIME.
FILETIME fileTimeNow();

std::string lowerAscii(std::string s);
std::string trim(const std::string& s);

}  // namespace mapimime

#endif
