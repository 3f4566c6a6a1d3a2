// The header fields of an incoming message as they were written, kept within
// a size limit, and the reading of the header block that starts a message.
//
// Mail servers bound a message's header (Postfix: header_size_limit); so
// does delivery: whatever arrives, the fields kept here and everything made
// of them stays within the limit, and what was left out is counted, so that
// the message can say so.
#ifndef TOLVANE_MIME_HEADERBLOCK_H
#define TOLVANE_MIME_HEADERBLOCK_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef struct _GMimeObject GMimeObject;

namespace mapimime {

// One header field: its name, and its value as written (after the colon,
// folding and line end included).
struct HeaderLine {
  std::string name;
  std::string raw;
};

class HeaderBlock {
 public:
  // The fields that describe the content (Content-*, MIME-Version) have a
  // small budget of their own, so that a flood of other fields cannot make
  // the body unreadable.
  static constexpr size_t kContentFieldBytes = 64 * 1024;

  // Keeps fields of up to `maxBytes` in all (names and values), none of
  // them more than a quarter of it.
  explicit HeaderBlock(size_t maxBytes);

  // Starts a field; its value follows in pieces.
  void begin(const std::string& name);
  void append(const char* data, size_t n);
  void add(const std::string& name, const std::string& raw);

  const std::vector<HeaderLine>& lines() const { return m_lines; }
  // The first field of this name (any letter case), or null.
  const HeaderLine* find(const std::string& name) const;

  // The fields as they were written ("Name: value" lines), each ending in a
  // line end.
  std::string text() const;

  size_t bytesSeen() const { return m_seen; }
  size_t bytesKept() const { return m_kept; }
  bool truncated() const { return m_seen > m_kept; }

  // The header blocks of the parts of a multipart body: bytes read and kept
  // (parseMessage leaves out what is beyond their limits).
  size_t partHeaderBytesSeen = 0;
  size_t partHeaderBytesKept = 0;

  // The fields of a parsed GMime message or part, within the same limits.
  static HeaderBlock fromGMime(GMimeObject* object, size_t maxBytes);

  // True for Content-* and MIME-Version.
  static bool contentField(const std::string& name);

 private:
  void cutField();

  size_t m_limit;
  size_t m_fieldLimit;
  std::vector<HeaderLine> m_lines;
  size_t m_seen = 0;
  size_t m_kept = 0;         // bytes kept, the content fields included
  size_t m_used = 0;         // of the main budget
  size_t m_contentUsed = 0;  // of the content fields' budget
  bool m_open = false;       // a field is being read
  bool m_keeping = false;    // ... and its value is kept
  bool m_content = false;    // ... and it is a content field
  size_t m_fieldBytes = 0;   // kept bytes of the open field
};

// Reads the header block that starts a message: fields are read until a
// blank line, or until a line that is neither a field nor the continuation
// of one (that line begins the body, as other mail parsers read it). An mbox
// "From " line before the first field is skipped. `read` gives up to n bytes
// (0 at the end, less than 0 when the input cannot be read). `bodyStart`
// is the offset of the body from the start. False when the input could not
// be read.
using ReadBytes = std::function<ssize_t(char* buf, size_t n)>;
bool scanHeaderBlock(const ReadBytes& read, HeaderBlock& block, int64_t& bodyStart);

}  // namespace mapimime

#endif
