#include "store/valuecodec.h"

#include <cstdint>

namespace tmapi {

namespace {

void putU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void putI64(std::string& out, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) out += static_cast<char>((u >> (8 * i)) & 0xFF);
}
bool getU32(const unsigned char*& p, const unsigned char* end, uint32_t& v) {
  if (end - p < 4) return false;
  v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
      (static_cast<uint32_t>(p[3]) << 24);
  p += 4;
  return true;
}
bool getI64(const unsigned char*& p, const unsigned char* end, int64_t& v) {
  if (end - p < 8) return false;
  uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | p[i];
  v = static_cast<int64_t>(u);
  p += 8;
  return true;
}

}  // namespace

bool isMvBytesType(ULONG type) { return type == PT_MV_STRING8 || type == PT_MV_BINARY || type == PT_MV_UNICODE; }
bool isMvIntType(ULONG type) {
  return type == PT_MV_LONG || type == PT_MV_I8 || type == PT_MV_SYSTIME || type == PT_MV_I2;
}
bool isIntType(ULONG type) {
  return type == PT_I2 || type == PT_LONG || type == PT_BOOLEAN || type == PT_ERROR || type == PT_I8 ||
         type == PT_SYSTIME || type == PT_CURRENCY;
}
bool isRealType(ULONG type) { return type == PT_DOUBLE || type == PT_APPTIME || type == PT_R4; }
bool isBytesType(ULONG type) {
  return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY || type == PT_CLSID;
}

ULONG storedType(ULONG type) {
  if (type == PT_UNICODE) return PT_STRING8;
  if (type == PT_MV_UNICODE) return PT_MV_STRING8;
  return type;
}

std::string encodeMv(const Prop& p) {
  std::string out;
  ULONG type = PROP_TYPE(p.tag);
  if (isMvBytesType(type)) {
    putU32(out, static_cast<uint32_t>(p.mv.size()));
    for (const auto& v : p.mv) {
      putU32(out, static_cast<uint32_t>(v.size()));
      out += v;
    }
  } else {
    putU32(out, static_cast<uint32_t>(p.mvi.size()));
    for (int64_t v : p.mvi) putI64(out, v);
  }
  return out;
}

bool decodeMv(const unsigned char* data, size_t size, Prop& p) {
  const unsigned char* q = data;
  const unsigned char* end = data + size;
  uint32_t count = 0;
  if (!getU32(q, end, count)) return false;
  ULONG type = PROP_TYPE(p.tag);
  if (isMvBytesType(type)) {
    // Each value takes at least its 4-byte length: bound the count first.
    if (count > static_cast<size_t>(end - q) / 4) return false;
    p.mv.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len = 0;
      if (!getU32(q, end, len) || len > static_cast<size_t>(end - q)) return false;
      p.mv.emplace_back(reinterpret_cast<const char*>(q), len);
      q += len;
    }
  } else {
    if (count > static_cast<size_t>(end - q) / 8) return false;
    p.mvi.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      int64_t v = 0;
      if (!getI64(q, end, v)) return false;
      p.mvi.push_back(v);
    }
  }
  return q == end;
}

}  // namespace tmapi
