// Profiles of the Linux MAPI subsystem (not part of the Windows SDK; used by
// the tolvane-mapi tool and by tests).
//
// A profile names a message store and the user's identity. Profiles live in
// $TOLVANE_MAPI_HOME (default ~/.tolvane-mapi):
//   profiles/NAME.profile   "key=value" lines: store (path of the store
//                           file, relative to the home or absolute),
//                           store_uid (32 hex digits), address,
//                           display_name, default_store (yes|no)
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
};

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

// Writes a profile file as it is (tests use it to make unusual profiles).
HRESULT write(const Profile& profile, std::string& error);

}  // namespace mapiprofile

#endif
