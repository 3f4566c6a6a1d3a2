#include "mime_testutil.h"

#include <fstream>
#include <sstream>

namespace mimetest {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string example(const std::string& name) { return readFile(std::string(TOLVANE_EXAMPLES_MAIL) + "/" + name); }

std::string text(const mapimime::MailProps& props, ULONG tag) {
  const mapimime::MailProp* p = mapimime::findProp(props, tag);
  return p ? p->bytes : std::string();
}

bool has(const mapimime::MailProps& props, ULONG tag) { return mapimime::findProp(props, tag) != nullptr; }

LONG longValue(const mapimime::MailProps& props, ULONG tag) {
  const mapimime::MailProp* p = mapimime::findProp(props, tag);
  return p ? p->l : -999;
}

int64_t unixTime(const mapimime::MailProps& props, ULONG tag) {
  const mapimime::MailProp* p = mapimime::findProp(props, tag);
  if (!p) return -1;
  uint64_t ticks = (static_cast<uint64_t>(p->ft.dwHighDateTime) << 32) | p->ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

}  // namespace mimetest
