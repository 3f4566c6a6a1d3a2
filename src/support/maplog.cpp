#include "support/maplog.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

}  // namespace

void mapiLog(const char* format, ...) {
  std::string unused;
  if (!platform::getEnv("TOLVANE_MAPI_LOGS", unused)) return;

  // The log must not change what the caller sees as the last system error.
  DWORD savedError = platform::lastError();

  std::string timeText = platform::localTimeText();
  std::string dir;
  bool haveTemp = platform::getEnv("TEMP", dir);
  int pid = platform::processId();

  // The path has no fixed size limit: a long TEMP never overruns a buffer.
  char name[40];
  snprintf(name, sizeof name, "mapi-ee-%d.log", pid);
  std::string path = (haveTemp ? dir : std::string(".")) + platform::pathSeparator() + name;

  char prefix[64];
  snprintf(prefix, sizeof prefix, "%d > ", pid);
  std::string entry = std::string(prefix) + timeText + "  > ";

  va_list args;
  va_start(args, format);
  entry += formatV(format, args);
  va_end(args);

#ifdef _WIN32
  // The log is a text file: on Windows every line break is CR LF, as a
  // stream opened in text mode writes it.
  std::string text;
  text.reserve(entry.size() + entry.size() / 16);
  for (char c : entry) {
    if (c == '\n') text += '\r';
    text += c;
  }
  entry.swap(text);
#endif

  platform::appendToPrivateFile(path, entry);
  platform::setLastError(savedError);
}
