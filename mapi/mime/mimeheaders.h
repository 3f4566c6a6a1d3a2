// Header text of the MIME writer: RFC 5322 header fields folded near 78
// columns, RFC 2047 encoded words, mailboxes and RFC 2231 parameters.
//
// Everything made here is 7-bit ASCII, lines end in "\n", and a value never
// carries a CR or LF of its own: whatever a MAPI property holds, it cannot
// end a header line early or start another header.
#ifndef TOLVANE_MIME_MIMEHEADERS_H
#define TOLVANE_MIME_MIMEHEADERS_H

#include <string>
#include <vector>

namespace mapimime {

// Lines are folded before this many characters where a blank allows it.
constexpr size_t kFoldColumn = 78;
// RFC 5322's hard limit of a line, without its line end.
constexpr size_t kMaxLineLength = 998;
// Field names longer than this are not written (so that a header line
// always has room for its first word).
constexpr size_t kMaxFieldNameLength = 76;

// `utf8` with every run of CR and LF replaced by one blank and the other
// control characters (but TAB) removed; invalid UTF-8 read as windows-1252.
std::string headerSafeText(const std::string& utf8);

// A field name of printable ASCII (33 to 126) without ':' (RFC 5322 2.2),
// 1 to kMaxFieldNameLength characters.
bool validFieldName(const std::string& name);

// Fields that the writer writes itself from the message's properties
// (compared without regard to case): From, Sender, To, Cc, Bcc, Reply-To,
// Subject, Date, Message-ID, In-Reply-To, References, MIME-Version,
// Content-*, Return-Path, Received, X-Priority, Importance, Priority.
bool reservedFieldName(const std::string& name);

// An address that can stand in a header and an SMTP envelope as it is:
// local@domain, both parts non-empty, printable ASCII without blanks,
// quotes or the specials ()<>[]:;,\ and at most 254 characters.
bool validAddress(const std::string& address);

// A domain name of letters, digits, '-' and '.' (generated Message-IDs).
bool validDomain(const std::string& domain);

// "<left@right>" of printable ASCII without blanks or further angle
// brackets, at most 250 characters.
bool validMessageId(const std::string& id);

// A media type "type/subtype" of token characters in lower case, from a
// MIME tag (parameters after ';' dropped); "" when the text is not one.
std::string mediaType(const std::string& tag);

// A Content-ID as the header carries it, without the angle brackets; ""
// when the value cannot stand there.
std::string contentId(const std::string& value);

// RFC 2047 encoded words of UTF-8 text: "=?utf-8?q?...?=", each at most 75
// characters, a character never split between two. Q encoding keeps only
// letters, digits and !*+-/ as they are, so the words may stand in a
// phrase as well as in unstructured text. Blanks are encoded ("_"), so the
// words decode to the text exactly when joined by folding white space.
// The first word is kept within `firstWordRoom` characters (not below 20),
// so that it fits the first line after the field name.
std::vector<std::string> encodedWords(const std::string& utf8, size_t firstWordRoom = 75);

// One header field built from pieces; a piece added with add() follows a
// blank where the line may fold, glue() appends directly.
class HeaderField {
 public:
  explicit HeaderField(const std::string& name);
  void add(const std::string& piece);
  void glue(const std::string& piece);
  // "Name: value\n".
  std::string text() const;
  size_t longestLine() const;

 private:
  std::string m_text;
  size_t m_line = 0;     // length of the current line
  size_t m_longest = 0;  // longest line so far
  bool m_first = true;   // no piece yet
};

// An unstructured field (Subject, X- headers): the value as it is, folded
// at blanks, when it is printable ASCII without "=?" and fits the line
// limit; else encoded words. Leading and trailing blanks are dropped.
std::string unstructuredField(const std::string& name, const std::string& utf8Value);

struct HeaderMailbox {
  std::string name;     // UTF-8, may be empty
  std::string address;  // validAddress()
};

// An address field: "Name <address>, ..." with each display name as atoms,
// a quoted string or encoded words. The list must not be empty.
std::string addressField(const std::string& name, const std::vector<HeaderMailbox>& mailboxes);

// A field of words (Message-ID lists, Date): each word as it is, folded at
// blanks. Words must be printable ASCII without blanks.
std::string wordsField(const std::string& name, const std::vector<std::string>& words);

struct HeaderParam {
  std::string name;
  std::string value;  // UTF-8
};

// A field with a value and parameters (Content-Type, Content-Disposition).
// A parameter value that is short printable ASCII is written as a quoted
// string; any other is RFC 2231 encoded (UTF-8, percent-encoded, split into
// numbered sections when long).
std::string parameterField(const std::string& name, const std::string& value, const std::vector<HeaderParam>& params);

}  // namespace mapimime

#endif
