// Entry identifiers that the address book opens. Numbers are little-endian.
//
// Directory entry (our own):
//   flags(4)=0, directory provider UID(16), version(4)=1,
//   object type(4)=MAPI_MAILUSER, entry id(8)                       36 bytes
// Exchange address-book entry, by distinguished name:
//   flags(4)=0, Exchange provider UID(16), version(4)=1, type(4),
//   the name with its terminator, then only zero bytes              >= 30
// One-off (MS-OXCDATA 2.2.5.1):
//   flags(4)=0, one-off UID(16), version(2)=0, flags(2), then display name,
//   address type and address, each terminated: 8-bit strings, or UTF-16LE
//   when the flags carry MAPI_ONE_OFF_UNICODE
//
// Parsing checks every length against the identifier's size, so a malformed
// identifier is refused and never read past its end.
#ifndef TOLVANE_MAPI_ABIDS_H
#define TOLVANE_MAPI_ABIDS_H

#include "runtime/text.h"

#include <mapidefs.h>

#include <cstdint>
#include <string>

namespace tmapi {

extern const MAPIUID kDirectoryProviderUid;
extern const MAPIUID kExchangeAbProviderUid;
extern const MAPIUID kOneOffUid;

enum class AbIdKind { Directory, DistinguishedName, OneOff, Unknown };

// By the provider UID alone; the identifier still needs parsing.
AbIdKind abIdKind(ULONG cb, const BYTE* data);

std::string makeDirectoryEntryId(int64_t id);
bool parseDirectoryEntryId(ULONG cb, const BYTE* data, int64_t& id);

std::string makeDnEntryId(const std::string& dn);
bool parseDnEntryId(ULONG cb, const BYTE* data, std::string& dn);

struct OneOff {
  std::string displayName;  // UTF-8 (the process code page) in memory
  std::string addrType;
  std::string address;
  bool unicode = false;     // stored as UTF-16LE
  bool noRichInfo = false;  // MAPI_ONE_OFF_NO_RICH_INFO
};
std::string makeOneOffEntryId(const OneOff& oneOff);
// Address type and address must not be empty.
bool parseOneOffEntryId(ULONG cb, const BYTE* data, OneOff& oneOff);

// UTF-16LE code units in an entry identifier to UTF-8 (the other text
// conversions are in runtime/text.h).
bool utf16leToUtf8(const BYTE* data, size_t units, std::string& utf8);

// ASCII case folding, for the case-blind comparisons of the directory.
std::string lowerAscii(std::string s);
std::string upperAscii(std::string s);
bool equalsCaseBlind(const std::string& a, const std::string& b);

}  // namespace tmapi

#endif
