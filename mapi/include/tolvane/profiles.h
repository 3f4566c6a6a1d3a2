// Profiles of the Linux MAPI subsystem (not part of the Windows SDK; used by
// the tolvane-mapi tool and by tests).
//
// A profile names a message store and the user's identity. Profiles live in
// $TOLVANE_MAPI_HOME (default ~/.tolvane-mapi):
//   profiles/NAME.profile   "key=value" lines: store (path of the store
//                           file, relative to the home or absolute),
//                           store_uid (32 hex digits), address,
//                           display_name, default_store (yes|no),
//                           transport (how submitted mail leaves; see
//                           parseTransport; absent: local)
//   stores/NAME.db          the profile's message store (SQLite)
#ifndef TOLVANE_PROFILES_H
#define TOLVANE_PROFILES_H

#include <mapidefs.h>

#include <string>
#include <vector>

namespace mapiprofile {

struct Profile {
  std::string name;
  std::string storePath;  // absolute
  MAPIUID storeUid{};
  std::string address;      // SMTP address of the user
  std::string displayName;  // the user's display name
  bool defaultStore = true;  // the store is the profile's default store
  std::string transport = "local";  // the transport setting, as written
};

// The transport of a profile: where the spooler hands submitted mail.
//   local                 other profiles of the same home by address, the
//                         profile's outgoing folder for the rest
//   smtp://HOST[:PORT]    an SMTP server (port 587 by default), STARTTLS
//   smtps://HOST[:PORT]   an SMTP server over TLS (port 465 by default)
//   sendmail[:PATH]       a sendmail-compatible program (/usr/sbin/sendmail)
// Only `local` sends today; the spooler keeps mail for the others queued.
// The setting never holds credentials.
struct Transport {
  enum Kind { kLocal, kSmtp, kSmtps, kSendmail };
  Kind kind = kLocal;
  std::string host;  // smtp, smtps ([] removed from an IPv6 address)
  unsigned port = 0;
  std::string path;  // sendmail
};
// False with a reason when the text is not one of the forms above.
bool parseTransport(const std::string& text, Transport& transport, std::string& why);

// The home folder: $TOLVANE_MAPI_HOME, else ~/.tolvane-mapi.
std::string homeDir();

// Profile names: 1 to 64 characters of letters, digits, blank, '.', '_',
// '-' and '@', not starting with '.' or a blank. False with a reason.
bool validName(const std::string& name, std::string& why);

// Each returns S_OK or a failure with a sentence in `error`.
HRESULT create(Profile& profile, std::string& error);  // also creates the store
HRESULT load(const std::string& name, Profile& profile, std::string& error);
HRESULT list(std::vector<Profile>& profiles, std::string& error);
// Removes the profile; its store file is kept unless purge.
HRESULT remove(const std::string& name, bool purge, std::string& error);

// Writes a profile file as it is (tests use it to make unusual profiles;
// `tolvane-mapi profile set` to change one).
HRESULT write(const Profile& profile, std::string& error);

}  // namespace mapiprofile

#endif
