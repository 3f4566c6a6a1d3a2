// Header text of incoming mail: RFC 2047 encoded words, RFC 5322 address
// lists and RFC 2231 parameters, decoded to UTF-8.
//
// These are the delivery reader's own decoders, used in place of GMime's for
// every header whose text reaches a property (subject, display names, file
// names, the names of attached messages): the GMime 3.2.13 that Debian ships
// stops decoding a run of B-encoded words at the "=" padding of the first
// one (jstedfast/gmime#133), which cut 3.5 % of real subjects short.
//
// They are pure functions of their input, never fail and never read past
// it; everything they return is valid UTF-8. A text that is not valid UTF-8
// outside encoded words is read as windows-1252, as the rest of the reader
// does.
#ifndef TOLVANE_MIME_HEADERTEXT_H
#define TOLVANE_MIME_HEADERTEXT_H

#include <cstddef>
#include <string>
#include <vector>

namespace mapimime {

// A header value with its line folding removed: every CR and LF dropped (the
// blank that starts a continuation line stays).
std::string unfoldHeader(const std::string& raw);

// Unstructured header text (Subject, X- headers, a display name) with its
// encoded words decoded. Blanks between two encoded words are dropped; the
// bytes of adjacent words in one charset are joined before they are
// converted, so a character split between two words comes out whole. A
// malformed encoded word stays as it was written.
std::string decodeHeaderText(const std::string& text);

struct AddressListMailbox {
  std::string name;     // display name, decoded (UTF-8); "" when none was given
  std::string address;  // as given: an address without a domain is kept
};

struct AddressListCounts {
  size_t mailboxes = 0;  // every mailbox of the list, kept or not
  size_t tooDeep = 0;    // mailboxes left out for being in groups nested deeper than allowed
};

// The mailboxes of an address list (From, To, Cc, Reply-To ...; unfolded),
// groups flattened, read as leniently as mail programs write them: an
// address without angle brackets or without a domain, a comment as the name
// of "addr (Name)", encoded words in quoted names, a list cut short.
// At most `maxMailboxes` are returned; mailboxes in groups nested more than
// `maxGroupDepth` deep are left out (RFC 5322 has no nested groups). The
// counts, when given, say how many there were.
std::vector<AddressListMailbox> parseAddressList(const std::string& text, size_t maxMailboxes = 10000,
                                                 int maxGroupDepth = 8, AddressListCounts* counts = nullptr);

// The value of parameter `name` (lower case, e.g. "filename") of a
// Content-Type or Content-Disposition value: RFC 2231 (name*=charset''...,
// numbered sections name*0*, name*1 ... joined before they are converted),
// else the plain value with its encoded words decoded (as many mailers
// write file names). `found` says whether the parameter is there.
std::string decodeParameter(const std::string& fieldValue, const std::string& name, bool* found = nullptr);

}  // namespace mapimime

#endif
