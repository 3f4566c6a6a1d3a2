// Entry identifiers of the message store provider.
//
// Store:  flags(4)=0, provider UID(16), version(4)=1, store UID(16)   40 bytes
// Object: flags(4)=0, store UID(16), MAPI object type(4), object id(8) 32 bytes
// Numbers are little-endian. Identifiers are parsed with their exact sizes,
// so a malformed one is rejected, never read past its end.
#ifndef TOLVANE_MAPI_ENTRYID_H
#define TOLVANE_MAPI_ENTRYID_H

#include "store/storedb.h"

#include <mapidefs.h>

#include <string>

namespace tmapi {

extern const MAPIUID kStoreProviderUid;

std::string makeStoreEntryId(const MAPIUID& storeUid);
bool parseStoreEntryId(ULONG cb, const BYTE* data, MAPIUID& storeUid);

std::string makeObjectEntryId(const MAPIUID& storeUid, ULONG kind, ObjectId id);
bool parseObjectEntryId(ULONG cb, const BYTE* data, MAPIUID& storeUid, ULONG& kind, ObjectId& id);

}  // namespace tmapi

#endif
