#include "headerblock.h"

#include <gmime/gmime.h>

#include <cstring>
#include <strings.h>

namespace mapimime {

HeaderBlock::HeaderBlock(size_t maxBytes) : m_limit(maxBytes), m_fieldLimit(maxBytes / 4 ? maxBytes / 4 : 1) {}

bool HeaderBlock::contentField(const std::string& name) {
  return strncasecmp(name.c_str(), "content-", 8) == 0 || strcasecmp(name.c_str(), "mime-version") == 0;
}

void HeaderBlock::begin(const std::string& name) {
  m_open = true;
  m_content = contentField(name);
  size_t cost = name.size() + 1;  // and the colon
  m_seen += cost;
  size_t& used = m_content ? m_contentUsed : m_used;
  size_t limit = m_content ? kContentFieldBytes : m_limit;
  m_keeping = used + cost <= limit;
  if (!m_keeping) return;
  m_lines.push_back({name, std::string()});
  used += cost;
  m_kept += cost;
  m_fieldBytes = cost;
}

void HeaderBlock::append(const char* data, size_t n) {
  m_seen += n;
  if (!m_open || !m_keeping) return;
  size_t& used = m_content ? m_contentUsed : m_used;
  size_t limit = m_content ? kContentFieldBytes : m_limit;
  size_t fieldLimit = m_content ? kContentFieldBytes / 4 : m_fieldLimit;
  size_t room = std::min(fieldLimit > m_fieldBytes ? fieldLimit - m_fieldBytes : 0, limit - used);
  size_t take = std::min(n, room);
  m_lines.back().raw.append(data, take);
  used += take;
  m_kept += take;
  m_fieldBytes += take;
  if (take < n) cutField();
}

void HeaderBlock::add(const std::string& name, const std::string& raw) {
  begin(name);
  append(raw.data(), raw.size());
}

// A field too long to keep whole keeps its whole lines (for an address
// field: whole addresses, as far as they were folded one to a line).
void HeaderBlock::cutField() {
  m_keeping = false;
  std::string& raw = m_lines.back().raw;
  size_t nl = raw.rfind('\n');
  if (nl == std::string::npos) return;
  size_t drop = raw.size() - (nl + 1);
  raw.resize(nl + 1);
  (m_content ? m_contentUsed : m_used) -= drop;
  m_kept -= drop;
}

const HeaderLine* HeaderBlock::find(const std::string& name) const {
  for (const auto& l : m_lines)
    if (strcasecmp(l.name.c_str(), name.c_str()) == 0) return &l;
  return nullptr;
}

std::string HeaderBlock::text() const {
  std::string out;
  out.reserve(m_kept + m_lines.size());
  for (const auto& l : m_lines) {
    out += l.name;
    out += ':';
    out += l.raw;
    if (l.raw.empty() || l.raw.back() != '\n') out += '\n';
  }
  return out;
}

HeaderBlock HeaderBlock::fromGMime(GMimeObject* object, size_t maxBytes) {
  HeaderBlock block(maxBytes);
  GMimeHeaderList* list = object ? g_mime_object_get_header_list(object) : nullptr;
  int count = list ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < count; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(h);
    const char* raw = g_mime_header_get_raw_value(h);
    if (!raw) raw = g_mime_header_get_value(h);
    block.add(name ? name : "", raw ? raw : "");
  }
  return block;
}

namespace {

// A field name longer than a line may be (RFC 5322 2.1.1) is no field name.
const size_t kMaxNameLength = 998;

enum class LineKind { kMore, kBlank, kField, kContinuation, kMbox, kBody };

// Classifies the start of a line as its bytes arrive (`head` holds them,
// the newest last); kMore until it can tell.
class LineClassifier {
 public:
  void reset() {
    m_nameLength = 0;
    m_blankAfterName = false;
  }

  LineKind next(const std::string& head, bool firstLine, bool haveField) {
    char c = head.back();
    size_t pos = head.size() - 1;
    if (pos == 0) {
      if (c == '\n') return LineKind::kBlank;
      if (c == '\r') return LineKind::kMore;
      if (c == ' ' || c == '\t') return haveField ? LineKind::kContinuation : LineKind::kBody;
    }
    if (head[0] == '\r') return c == '\n' && pos == 1 ? LineKind::kBlank : LineKind::kBody;
    if (c == ':') return m_nameLength > 0 ? LineKind::kField : LineKind::kBody;
    if (c == ' ' || c == '\t') {
      // Blanks may stand between a name and its colon (RFC 5322 4.5.2).
      if (firstLine && !haveField && head == "From ") return LineKind::kMbox;
      m_blankAfterName = true;
      return LineKind::kMore;
    }
    if (m_blankAfterName || c < 33 || c > 126) return LineKind::kBody;
    if (++m_nameLength > kMaxNameLength) return LineKind::kBody;
    return LineKind::kMore;
  }

  size_t nameLength() const { return m_nameLength; }

 private:
  size_t m_nameLength = 0;
  bool m_blankAfterName = false;
};

}  // namespace

bool scanHeaderBlock(const ReadBytes& read, HeaderBlock& block, int64_t& bodyStart) {
  enum class State { kHead, kValue, kSkip } state = State::kHead;
  std::vector<char> buf(64 * 1024);
  int64_t offset = 0;     // of buf[0] in the input
  int64_t lineStart = 0;  // of the current line
  std::string head;       // the start of the current line, while it is classified
  LineClassifier classifier;
  bool firstLine = true;
  bool haveField = false;
  while (true) {
    ssize_t got = read(buf.data(), buf.size());
    if (got < 0) return false;
    if (got == 0) break;
    size_t n = static_cast<size_t>(got);
    size_t i = 0;
    while (i < n) {
      if (state != State::kHead) {
        const char* nl = static_cast<const char*>(memchr(buf.data() + i, '\n', n - i));
        size_t end = nl ? static_cast<size_t>(nl - buf.data()) + 1 : n;
        if (state == State::kValue) block.append(buf.data() + i, end - i);
        i = end;
        if (nl) {
          state = State::kHead;
          head.clear();
          classifier.reset();
          lineStart = offset + static_cast<int64_t>(i);
          firstLine = false;
        }
        continue;
      }
      head += buf[i++];
      switch (classifier.next(head, firstLine, haveField)) {
        case LineKind::kMore:
          break;
        case LineKind::kBlank:
          bodyStart = offset + static_cast<int64_t>(i);
          return true;
        case LineKind::kBody:
          bodyStart = lineStart;
          return true;
        case LineKind::kContinuation:
          block.append(head.data(), head.size());
          state = State::kValue;
          break;
        case LineKind::kField:
          block.begin(head.substr(0, classifier.nameLength()));
          haveField = true;
          state = State::kValue;
          break;
        case LineKind::kMbox:
          state = State::kSkip;
          break;
      }
    }
    offset += static_cast<int64_t>(n);
  }
  // The input ended inside the header block: a line cut short that was not
  // yet a field begins the body; otherwise there is no body.
  bodyStart = state == State::kHead && !head.empty() && head != "\r" ? lineStart : offset;
  return true;
}

}  // namespace mapimime
