// What a caller may put into a header of a message being composed, checked
// here for both targets before anything reaches MAPI: the real MAPI of
// Windows writes a named Internet header or an attachment's MIME type as it
// is given, so a line break in it would add header lines of the caller's
// choosing.
#ifndef TOLVANE_SUPPORT_FIELDSYNTAX_H
#define TOLVANE_SUPPORT_FIELDSYNTAX_H

#include <string>

namespace fieldsyntax {

// A header field name (RFC 5322 2.2: printable ASCII but the colon), at
// most 76 bytes so that "Name: " and a value fit a line.
bool isFieldName(const std::string& name);

// Fields the message's own properties make (addresses, subject, date,
// identifiers, priority, the MIME structure): never taken from a caller's
// extra header.
bool isReservedField(const std::string& name);

// The name in lower case (ASCII letters only), to compare field names.
std::string lowerAscii(std::string name);

// The value on one line: each run of line breaks becomes one space, other
// control characters but the tab go.
std::string oneLineValue(const std::string& value);

// "type/subtype" in lower case, from a MIME type that may carry parameters;
// "" when it is not one, or names a message or multipart type (whose bodies
// are not base64 encoded, as attachment data is).
std::string attachmentMediaType(const std::string& mimeType);

}  // namespace fieldsyntax

#endif
