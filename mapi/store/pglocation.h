// PostgreSQL store locations: a libpq connection string (keyword=value
// pairs, "host=a,b dbname=mail target_session_attrs=read-write",
// "service=mail") or URI ("postgresql://host1,host2/mail?..."), with one
// term of ours, the mailbox: "mailbox=NAME" among the pairs, or a
// "mailbox=NAME" parameter of the URI. Every other term goes to libpq as
// it is. Passwords belong in libpq's own places (~/.pgpass, PGPASSFILE, a
// service file); a location that holds one is refused where a store is
// created, and masked wherever one is shown.
#ifndef TOLVANE_MAPI_PGLOCATION_H
#define TOLVANE_MAPI_PGLOCATION_H

#include <string>

namespace tmapi {

// Whether the text is a PostgreSQL location (a URI of the postgresql or
// postgres scheme, or keyword=value pairs).
bool isPgLocation(const std::string& location);

struct PgLocation {
  std::string conninfo;  // for libpq, without the mailbox term
  std::string mailbox;   // "" when the location names none
};
// Splits off the mailbox term. False with a reason when the text cannot be
// read (an unclosed quote, a pair without '=').
bool parsePgLocation(const std::string& location, PgLocation& out, std::string& why);

// The location with the mailbox term set to mailbox (added when absent).
std::string withPgMailbox(const std::string& location, const std::string& mailbox);

// Whether the location holds a password (a password= pair or parameter, or
// user:password@ in a URI).
bool pgLocationHasPassword(const std::string& location);

// The location with every password replaced by "********".
std::string maskedPgLocation(const std::string& location);

}  // namespace tmapi

#endif
