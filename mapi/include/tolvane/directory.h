// The directory behind the address book of the Linux MAPI subsystem (not part
// of the Windows SDK; used by the tolvane-mapi tool and by tests).
//
// One SQLite database, $TOLVANE_MAPI_HOME/directory.db, created private to
// its owner (mode 0600) on the first write. Reading a directory that does
// not exist yet gives an empty one.
//
// An entry has a display name and, optionally, a primary SMTP address, an
// Exchange-style distinguished name ("/o=Example/ou=Exchange Administrative
// Group/cn=Recipients/cn=alice") and further proxy addresses ("smtp:alias@
// example.org", "X400:c=US;a= ;p=Example;o=Exchange;s=Alice;"), kept exactly
// as given and in the order given. SMTP addresses and distinguished names
// are unique in the directory, compared without regard to ASCII letter case.
#ifndef TOLVANE_DIRECTORY_H
#define TOLVANE_DIRECTORY_H

#include <mapidefs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mapidirectory {

struct Entry {
  int64_t id = 0;  // given by add; never reused after a removal
  std::string displayName;
  std::string smtpAddress;        // empty: none
  std::string distinguishedName;  // empty: none
  std::vector<std::string> proxies;  // further proxy addresses, "type:address"
};

// $TOLVANE_MAPI_HOME/directory.db.
std::string path();

// Checks an entry before it is stored: a display name of 1 to 256 bytes;
// an SMTP address "local@domain" without blanks or <>()[],;:"\ ; a
// distinguished name beginning with "/"; proxies "type:address" with a type
// of letters, digits and '-'; no control characters anywhere; at most 64
// proxies. False with a reason.
bool validEntry(const Entry& entry, std::string& why);

// Each returns S_OK or a failure with a sentence in `error`:
// MAPI_E_INVALID_PARAMETER (the entry is not valid), MAPI_E_COLLISION (the
// SMTP address or distinguished name is taken), MAPI_E_NOT_FOUND,
// MAPI_E_NO_ACCESS or MAPI_E_DISK_ERROR (the database cannot be created or
// written), MAPI_E_BUSY, MAPI_E_CORRUPT_DATA.
HRESULT add(Entry& entry, std::string& error);  // sets entry.id
HRESULT list(std::vector<Entry>& entries, std::string& error);  // in id order
HRESULT get(int64_t id, Entry& entry, std::string& error);
HRESULT findByDistinguishedName(const std::string& dn, Entry& entry, std::string& error);  // case-blind
// `idOrSmtp`: the decimal id, or the SMTP address (case-blind). The removed
// entry is returned in `removed`.
HRESULT remove(const std::string& idOrSmtp, Entry& removed, std::string& error);

// PR_EMS_AB_PROXY_ADDRESSES of an entry: "SMTP:" + the SMTP address (when
// it has one), then the further proxies in their stored order.
std::vector<std::string> proxyAddresses(const Entry& entry);

// Entry identifiers that IAddrBook::OpenEntry takes, as bytes:
// the directory's own identifier of an entry, and the Exchange address-book
// identifier built from a distinguished name (flags 0, the Exchange
// provider UID, version 1, type 0, the name with its terminator, one more
// zero byte: always 30 bytes longer than the name).
std::string entryId(int64_t id);
std::string distinguishedNameEntryId(const std::string& dn);

}  // namespace mapidirectory

#endif
