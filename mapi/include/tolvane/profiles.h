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
//                           parseTransport; absent: local),
//                           starttls (required|opportunistic), smtp_user,
//                           smtp_password (the file is the owner's only),
//                           retry_after, queue_lifetime, smtp_timeout,
//                           smtp_reply_timeout (seconds)
//   stores/NAME.db          the profile's message store (SQLite)
// A profile's store may instead be a mailbox in a PostgreSQL database: its
// store setting is then a libpq connection string or URI with the term
// mailbox=NAME (store/pglocation.h), and never holds a password (libpq
// reads those from ~/.pgpass, PGPASSFILE or a service file).
#ifndef TOLVANE_PROFILES_H
#define TOLVANE_PROFILES_H

#include <mapidefs.h>

#include <string>
#include <vector>

namespace mapiprofile {

struct Profile {
  std::string name;
  std::string storePath;  // absolute; or a database location (above)
  MAPIUID storeUid{};
  std::string address;      // SMTP address of the user
  std::string displayName;  // the user's display name
  bool defaultStore = true;  // the store is the profile's default store
  std::string transport = "local";  // the transport setting, as written
  // Settings of the smtp:// and smtps:// transports. The password is a
  // secret: written only into the profile file (mode 0600), never printed.
  std::string starttls = "opportunistic";  // "required": no TLS, no mail
  std::string smtpUser;
  std::string smtpPassword;
  // The pause before the first retry after a temporary failure (it doubles
  // with each attempt, up to an hour or this pause when longer) and how long
  // a message stays queued before its remaining recipients are bounced;
  // 0: one minute and five days.
  unsigned retryAfterSeconds = 0;
  unsigned queueLifetimeSeconds = 0;
  // How long one SMTP session (a batch) or one run of the sendmail program
  // may take at the most, whatever the server or program does; the message
  // in hand then waits for another attempt. 0: 30 minutes.
  unsigned smtpTimeoutSeconds = 0;
  // How long the SMTP transport waits for any one reply of the server; 0:
  // RFC 5321's times (5 minutes for the greeting and each envelope command,
  // 2 for DATA, 10 for the end of the message).
  unsigned smtpReplyTimeoutSeconds = 0;
};

// The transport of a profile: where the spooler hands submitted mail.
//   local                 other profiles of the same home by address, the
//                         profile's outgoing folder for the rest
//   smtp://HOST[:PORT]    an SMTP server (port 587 by default), STARTTLS
//   smtps://HOST[:PORT]   an SMTP server over TLS (port 465 by default)
//   sendmail[:PATH]       a sendmail-compatible program (/usr/sbin/sendmail)
// The setting never holds credentials (smtp_user and smtp_password do).
struct Transport {
  enum Kind { kLocal, kSmtp, kSmtps, kSendmail };
  Kind kind = kLocal;
  std::string host;  // smtp, smtps ([] removed from an IPv6 address)
  unsigned port = 0;
  std::string path;  // sendmail
};
// False with a reason when the text is not one of the forms above.
bool parseTransport(const std::string& text, Transport& transport, std::string& why);

// How the profile's store may be shown (lists, logs, error texts): a path
// as it is, a database location with any password masked.
std::string shownStore(const Profile& profile);
// Whether the store is a file of this host (SQLite) rather than a mailbox
// in a database.
bool storeIsFile(const Profile& profile);

// The home folder: $TOLVANE_MAPI_HOME, else ~/.tolvane-mapi (for a user
// without a home folder, /tmp/.tolvane-mapi-UID).
std::string homeDir();

// Whether the home and its profiles/ and stores/ folders (those that
// exist) are safe to use: each must belong to this user (the effective
// uid) and be writable by nobody else (no group or other write bit), or
// whoever can write there could plant a profile that receives this
// user's mail. MAPI_E_NO_ACCESS with a sentence naming the folder
// otherwise. create, load, list, remove and write check it first.
HRESULT checkHome(std::string& error);

// Profile names: 1 to 64 characters of letters, digits, blank, '.', '_',
// '-' and '@', not starting with '.' or a blank. False with a reason.
bool validName(const std::string& name, std::string& why);

// Each returns S_OK or a failure with a sentence in `error`; a home that
// checkHome refuses gives MAPI_E_NO_ACCESS.
HRESULT create(Profile& profile, std::string& error);  // also creates the store
// A profile for a store that exists (the mailbox another host's or user's
// profile made, on a shared database): the store is opened to take its
// identity and is never created, changed or removed here; MAPI_E_NOT_FOUND
// when there is no such store.
HRESULT attach(Profile& profile, std::string& error);
// MAPI_E_LOGON_FAILED when there is no such profile.
HRESULT load(const std::string& name, Profile& profile, std::string& error);
HRESULT list(std::vector<Profile>& profiles, std::string& error);
// Removes the profile; its store file is kept unless purge.
HRESULT remove(const std::string& name, bool purge, std::string& error);

// Points the profile at the store at location (as create takes it): the
// profile's own store moved there, such as a copy made by `tolvane-mapi
// store copy`, which keeps the store's identity. A store there of another
// identity is refused (MAPI_E_INVALID_PARAMETER), as is one that cannot be
// opened; the store named before is left as it is. The caller writes the
// profile.
HRESULT setStore(Profile& profile, const std::string& location, std::string& error);

// Writes a profile file as it is (tests use it to make unusual profiles;
// `tolvane-mapi profile set` to change one).
HRESULT write(const Profile& profile, std::string& error);

}  // namespace mapiprofile

#endif
