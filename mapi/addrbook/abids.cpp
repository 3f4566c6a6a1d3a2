#include "addrbook/abids.h"

#include <cstring>

namespace tmapi {

const MAPIUID kDirectoryProviderUid = {
    {0x7A, 0x3C, 0x91, 0xE2, 0x5B, 0x04, 0x4D, 0x6F, 0x8E, 0x21, 0xC0, 0x55, 0xA9, 0x1D, 0x36, 0xB8}};
const MAPIUID kExchangeAbProviderUid = {
    {0xDC, 0xA7, 0x40, 0xC8, 0xC0, 0x42, 0x10, 0x1A, 0xB4, 0xB9, 0x08, 0x00, 0x2B, 0x2F, 0xE1, 0x82}};
const MAPIUID kOneOffUid = {MAPI_ONE_OFF_UID};

namespace {

const size_t kHeader = 4 + 16;  // flags and provider UID
const size_t kDirectoryIdSize = kHeader + 4 + 4 + 8;
const size_t kDnOffset = kHeader + 4 + 4;
const size_t kOneOffStrings = kHeader + 2 + 2;

void putU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void putU16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}
uint32_t getU32(const BYTE* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t getU16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::string header(const MAPIUID& uid) {
  std::string out;
  putU32(out, 0);
  out.append(reinterpret_cast<const char*>(uid.ab), 16);
  return out;
}

bool hasHeader(ULONG cb, const BYTE* data, const MAPIUID& uid) {
  return data && cb >= kHeader && getU32(data) == 0 && memcmp(data + 4, uid.ab, 16) == 0;
}

bool onlyZeros(const BYTE* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// One terminated string of a one-off identifier at `pos`; advances pos past
// the terminator.
bool takeString(const BYTE* data, size_t cb, bool unicode, size_t& pos, std::string& out) {
  if (!unicode) {
    if (pos >= cb) return false;
    const void* end = memchr(data + pos, 0, cb - pos);
    if (!end) return false;
    size_t len = static_cast<size_t>(static_cast<const BYTE*>(end) - (data + pos));
    out.assign(reinterpret_cast<const char*>(data + pos), len);
    pos += len + 1;
    return true;
  }
  size_t units = 0;
  for (;;) {
    size_t at = pos + 2 * units;
    if (at + 2 > cb) return false;
    if (data[at] == 0 && data[at + 1] == 0) break;
    ++units;
  }
  if (!utf16leToUtf8(data + pos, units, out)) return false;
  pos += 2 * units + 2;
  return true;
}

}  // namespace

AbIdKind abIdKind(ULONG cb, const BYTE* data) {
  if (!data || cb < kHeader) return AbIdKind::Unknown;
  if (memcmp(data + 4, kDirectoryProviderUid.ab, 16) == 0) return AbIdKind::Directory;
  if (memcmp(data + 4, kExchangeAbProviderUid.ab, 16) == 0) return AbIdKind::DistinguishedName;
  if (memcmp(data + 4, kOneOffUid.ab, 16) == 0) return AbIdKind::OneOff;
  return AbIdKind::Unknown;
}

std::string makeDirectoryEntryId(int64_t id) {
  std::string out = header(kDirectoryProviderUid);
  putU32(out, 1);
  putU32(out, MAPI_MAILUSER);
  uint64_t u = static_cast<uint64_t>(id);
  putU32(out, static_cast<uint32_t>(u & 0xFFFFFFFFu));
  putU32(out, static_cast<uint32_t>(u >> 32));
  return out;
}

bool parseDirectoryEntryId(ULONG cb, const BYTE* data, int64_t& id) {
  if (cb != kDirectoryIdSize || !hasHeader(cb, data, kDirectoryProviderUid)) return false;
  if (getU32(data + 20) != 1 || getU32(data + 24) != MAPI_MAILUSER) return false;
  uint64_t u = static_cast<uint64_t>(getU32(data + 28)) | (static_cast<uint64_t>(getU32(data + 32)) << 32);
  id = static_cast<int64_t>(u);
  return id > 0;
}

std::string makeDnEntryId(const std::string& dn) {
  std::string out = header(kExchangeAbProviderUid);
  putU32(out, 1);
  putU32(out, 0);
  out += dn;
  out += '\0';
  out += '\0';
  return out;
}

bool parseDnEntryId(ULONG cb, const BYTE* data, std::string& dn) {
  if (cb < kDnOffset + 1 || !hasHeader(cb, data, kExchangeAbProviderUid)) return false;
  if (getU32(data + 20) != 1) return false;
  const void* end = memchr(data + kDnOffset, 0, cb - kDnOffset);
  if (!end) return false;
  size_t len = static_cast<size_t>(static_cast<const BYTE*>(end) - (data + kDnOffset));
  if (len == 0) return false;
  size_t after = kDnOffset + len + 1;
  if (!onlyZeros(data + after, cb - after)) return false;
  dn.assign(reinterpret_cast<const char*>(data + kDnOffset), len);
  return true;
}

std::string makeOneOffEntryId(const OneOff& o) {
  std::string out = header(kOneOffUid);
  putU16(out, 0);
  uint16_t flags = 0;
  if (o.unicode) flags |= MAPI_ONE_OFF_UNICODE;
  if (o.noRichInfo) flags |= MAPI_ONE_OFF_NO_RICH_INFO;
  putU16(out, flags);
  for (const std::string* s : {&o.displayName, &o.addrType, &o.address}) {
    if (o.unicode) {
      out += utf8ToUtf16le(*s);
      out.append(2, '\0');
    } else {
      out += *s;
      out += '\0';
    }
  }
  return out;
}

bool parseOneOffEntryId(ULONG cb, const BYTE* data, OneOff& o) {
  if (cb < kOneOffStrings + 3 || !hasHeader(cb, data, kOneOffUid)) return false;
  if (getU16(data + 20) != 0) return false;
  uint16_t flags = getU16(data + 22);
  OneOff r;
  r.unicode = (flags & MAPI_ONE_OFF_UNICODE) != 0;
  r.noRichInfo = (flags & MAPI_ONE_OFF_NO_RICH_INFO) != 0;
  size_t pos = kOneOffStrings;
  if (!takeString(data, cb, r.unicode, pos, r.displayName) || !takeString(data, cb, r.unicode, pos, r.addrType) ||
      !takeString(data, cb, r.unicode, pos, r.address))
    return false;
  if (!onlyZeros(data + pos, cb - pos)) return false;
  if (r.addrType.empty() || r.address.empty()) return false;
  o = std::move(r);
  return true;
}

bool utf16leToUtf8(const BYTE* data, size_t units, std::string& utf8) {
  utf8 = tmapi::utf16leToUtf8(std::string(reinterpret_cast<const char*>(data), 2 * units));
  return true;
}

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool equalsCaseBlind(const std::string& a, const std::string& b) {
  return a.size() == b.size() && lowerAscii(a) == lowerAscii(b);
}

}  // namespace tmapi
