// How the store engines keep typed property values: which MAPI types are
// integers, reals and byte strings, the stored type of strings (UTF-8 under
// the 8-bit type), and the one-blob encoding of multi-valued properties.
// Shared by every engine, so a value reads back the same from each.
#ifndef TOLVANE_MAPI_VALUECODEC_H
#define TOLVANE_MAPI_VALUECODEC_H

#include "runtime/prop.h"

#include <mapidefs.h>

#include <cstddef>
#include <string>

namespace tmapi {

bool isMvBytesType(ULONG type);
bool isMvIntType(ULONG type);
bool isIntType(ULONG type);
bool isRealType(ULONG type);
bool isBytesType(ULONG type);
// Strings are stored under their 8-bit type (as UTF-8).
ULONG storedType(ULONG type);

// Values of multi-valued properties are kept as one blob: a 32-bit count,
// then per value a 32-bit length and the bytes (strings, binaries) or 8
// bytes (integers), little-endian. decodeMv checks every length against
// the blob (false: damaged) and fills p by p.tag's type.
std::string encodeMv(const Prop& p);
bool decodeMv(const unsigned char* data, size_t size, Prop& p);

}  // namespace tmapi

#endif
