#include "store/entryid.h"

#include <cstring>

namespace tmapi {

// {7d0f2c1a-5e3b-4b8e-9a61-746f6c76616e}
const MAPIUID kStoreProviderUid = {{0x7d, 0x0f, 0x2c, 0x1a, 0x5e, 0x3b, 0x4b, 0x8e, 0x9a, 0x61, 0x74, 0x6f, 0x6c,
                                    0x76, 0x61, 0x6e}};

namespace {
void putLE(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint64_t getLE(const BYTE* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
}  // namespace

std::string makeStoreEntryId(const MAPIUID& storeUid) {
  std::string id(4, '\0');
  id.append(reinterpret_cast<const char*>(kStoreProviderUid.ab), 16);
  putLE(id, 1, 4);
  id.append(reinterpret_cast<const char*>(storeUid.ab), 16);
  return id;
}

bool parseStoreEntryId(ULONG cb, const BYTE* data, MAPIUID& storeUid) {
  if (cb != 40 || !data) return false;
  if (memcmp(data + 4, kStoreProviderUid.ab, 16) != 0 || getLE(data + 20, 4) != 1) return false;
  memcpy(storeUid.ab, data + 24, 16);
  return true;
}

std::string makeObjectEntryId(const MAPIUID& storeUid, ULONG kind, ObjectId objectId) {
  std::string id(4, '\0');
  id.append(reinterpret_cast<const char*>(storeUid.ab), 16);
  putLE(id, kind, 4);
  putLE(id, static_cast<uint64_t>(objectId), 8);
  return id;
}

bool parseObjectEntryId(ULONG cb, const BYTE* data, MAPIUID& storeUid, ULONG& kind, ObjectId& objectId) {
  if (cb != 32 || !data) return false;
  memcpy(storeUid.ab, data + 4, 16);
  kind = static_cast<ULONG>(getLE(data + 20, 4));
  objectId = static_cast<ObjectId>(getLE(data + 24, 8));
  return objectId > 0;
}

}  // namespace tmapi
