// The Outlook item layout (MS-OXMSG) of a message written into a storage.
//
// Each object (message, recipient, attachment) is a storage holding a
// property stream "__properties_version1.0" (a header, then one 16-byte entry
// per property: fixed-size values inline, the others as a size with the value
// in its own "__substg1.0_TTTTTTTT" stream). Strings are written as PT_UNICODE
// (UTF-16LE), whatever type they were set with, and an 8-bit HTML body as the
// binary PR_HTML, the way Outlook writes them.
#include "msgfile/msgdata.h"
#include "runtime/text.h"

#include <mapitags.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

namespace tmapi {
namespace msgfile {

namespace {

constexpr ULONG kAttrReadWrite = 0x00000006;  // PROPATTR_READABLE | PROPATTR_WRITEABLE
constexpr size_t kChunk = 64 * 1024;

// The two property sets with fixed GUID indexes (1 and 2) in the map.
const GUID kPsMapi = {0x00020328, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kPsPublicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

void put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
void put64(std::string& out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}

std::string hex8(ULONG v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }  // ASCII names

struct Releaser {
  IUnknown* p;
  ~Releaser() {
    if (p) p->Release();
  }
};

// Writes `n` bytes, in pieces of at most 4 GiB - 1.
HRESULT writeAll(IStream* stm, const char* data, size_t n) {
  while (n) {
    ULONG piece = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
    ULONG done = 0;
    HRESULT hr = stm->Write(data, piece, &done);
    if (FAILED(hr)) return hr;
    if (done != piece) return STG_E_WRITEFAULT;
    data += piece;
    n -= piece;
  }
  return S_OK;
}

class Writer {
 public:
  explicit Writer(std::string& error) : m_error(error) {}

  HRESULT stream(IStorage* stg, const std::string& name, const std::string& bytes) {
    IStream* stm = nullptr;
    HRESULT hr = createStream(stg, name, &stm);
    if (FAILED(hr)) return hr;
    Releaser r{stm};
    hr = writeAll(stm, bytes.data(), bytes.size());
    if (FAILED(hr)) return fail(hr, "writing the stream " + name);
    return S_OK;
  }

  HRESULT createStream(IStorage* stg, const std::string& name, IStream** stm) {
    HRESULT hr = stg->CreateStream(wide(name).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stm);
    return FAILED(hr) ? fail(hr, "creating the stream " + name) : S_OK;
  }

  HRESULT createStorage(IStorage* stg, const std::string& name, IStorage** sub) {
    HRESULT hr = stg->CreateStorage(wide(name).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, sub);
    return FAILED(hr) ? fail(hr, "creating the storage " + name) : S_OK;
  }

  // The value streams of the properties and the property stream.
  HRESULT properties(IStorage* stg, const PropMap& props, const std::string& header);

  HRESULT message(const MsgData& msg, const NameMap& names, bool top, IStorage* stg);

  HRESULT nameMap(const NameMap& names, IStorage* stg);

  HRESULT fail(HRESULT hr, const std::string& what) {
    if (m_error.empty()) m_error = "IMessage::SaveChanges: failed " + what;
    return hr;
  }

 private:
  HRESULT bigValue(IStorage* stg, const std::string& name, const Value& v, bool toUtf16, uint64_t& written);

  std::string& m_error;
};

HRESULT Writer::bigValue(IStorage* stg, const std::string& name, const Value& v, bool toUtf16, uint64_t& written) {
  IStream* stm = nullptr;
  HRESULT hr = createStream(stg, name, &stm);
  if (FAILED(hr)) return hr;
  Releaser r{stm};
  std::string buf(kChunk, '\0'), out;
  Utf8ToUtf16Stream conv;
  uint64_t off = 0, len = bigLength(v);
  written = 0;
  while (off < len) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, len - off));
    size_t got = 0;
    int err = 0;
    if (!v.big->read(off, &buf[0], want, got, err) || got == 0)
      return fail(STG_E_READFAULT, "reading the value of " + name);
    off += got;
    const char* data = buf.data();
    size_t n = got;
    if (toUtf16) {
      out.clear();
      conv.feed(buf.data(), got, out);
      data = out.data();
      n = out.size();
    }
    hr = writeAll(stm, data, n);
    if (FAILED(hr)) return fail(hr, "writing the stream " + name);
    written += n;
  }
  if (toUtf16) {
    out.clear();
    conv.finish(out);
    hr = writeAll(stm, out.data(), out.size());
    if (FAILED(hr)) return fail(hr, "writing the stream " + name);
    written += out.size();
  }
  return S_OK;
}

std::string stripNul(const std::string& s) {
  size_t n = s.size();
  while (n && s[n - 1] == '\0') --n;
  return s.substr(0, n);
}

HRESULT Writer::properties(IStorage* stg, const PropMap& props, const std::string& header) {
  std::string table = header;
  for (const auto& entry : props) {
    const Value& v = entry.second;
    ULONG tag = v.prop.tag;
    ULONG type = PROP_TYPE(tag);
    // The HTML body goes in as bytes, PR_HTML: an 8-bit one as it is, a
    // Unicode one as UTF-8 (the code page named by PR_INTERNET_CPID). A
    // Unicode body that came through a stream stays a string.
    bool htmlBytes = tag == kPrBodyHtmlA || (tag == kPrBodyHtmlW && !v.big);
    if (htmlBytes) {
      tag = kPrHtml;
      type = PT_BINARY;
    }
    if (type == PT_STRING8) tag = CHANGE_PROP_TYPE(tag, PT_UNICODE);
    if (type == PT_MV_STRING8) tag = CHANGE_PROP_TYPE(tag, PT_MV_UNICODE);
    std::string name = "__substg1.0_" + hex8(tag);
    uint64_t fixed = 0;
    uint32_t size = 0;
    bool inline_ = true;
    switch (type) {
      case PT_I2:
        fixed = static_cast<uint16_t>(v.prop.i);
        break;
      case PT_LONG:
      case PT_ERROR:
        fixed = static_cast<uint32_t>(v.prop.i);
        break;
      case PT_BOOLEAN:
        fixed = v.prop.i ? 1 : 0;
        break;
      case PT_R4: {
        float f = static_cast<float>(v.prop.d);
        uint32_t bits;
        memcpy(&bits, &f, 4);
        fixed = bits;
        break;
      }
      case PT_DOUBLE:
      case PT_APPTIME:
        memcpy(&fixed, &v.prop.d, 8);
        break;
      case PT_CURRENCY:
      case PT_I8:
      case PT_SYSTIME:
        fixed = static_cast<uint64_t>(v.prop.i);
        break;
      case PT_STRING8:
      case PT_UNICODE: {
        inline_ = false;
        uint64_t n = 0;
        if (v.big) {
          // PT_UNICODE bytes are UTF-16LE already.
          HRESULT hr = bigValue(stg, name, v, type == PT_STRING8, n);
          if (FAILED(hr)) return hr;
        } else {
          std::string utf16 = utf8ToUtf16le(stripNul(v.prop.bytes));
          HRESULT hr = stream(stg, name, utf16);
          if (FAILED(hr)) return hr;
          n = utf16.size();
        }
        size = static_cast<uint32_t>(n + 2);  // with the terminator
        break;
      }
      case PT_BINARY:
      case PT_CLSID: {
        inline_ = false;
        uint64_t n = 0;
        if (v.big) {
          HRESULT hr = bigValue(stg, name, v, false, n);
          if (FAILED(hr)) return hr;
        } else {
          const std::string& bytes = htmlBytes ? stripNul(v.prop.bytes) : v.prop.bytes;
          HRESULT hr = stream(stg, name, bytes);
          if (FAILED(hr)) return hr;
          n = bytes.size();
        }
        size = static_cast<uint32_t>(n);
        break;
      }
      case PT_MV_LONG:
      case PT_MV_I8:
      case PT_MV_SYSTIME: {
        inline_ = false;
        std::string bytes;
        for (int64_t x : v.prop.mvi) {
          if (type == PT_MV_LONG)
            put32(bytes, static_cast<uint32_t>(x));
          else
            put64(bytes, static_cast<uint64_t>(x));
        }
        HRESULT hr = stream(stg, name, bytes);
        if (FAILED(hr)) return hr;
        size = static_cast<uint32_t>(bytes.size());
        break;
      }
      case PT_MV_STRING8:
      case PT_MV_UNICODE:
      case PT_MV_BINARY: {
        // A stream of lengths, and one stream per value.
        inline_ = false;
        std::string lengths;
        for (size_t k = 0; k < v.prop.mv.size(); ++k) {
          std::string bytes =
              type == PT_MV_BINARY ? v.prop.mv[k] : utf8ToUtf16le(stripNul(v.prop.mv[k])) + std::string(2, '\0');
          put32(lengths, static_cast<uint32_t>(bytes.size()));
          if (type == PT_MV_BINARY) put32(lengths, 0);
          HRESULT hr = stream(stg, name + "-" + hex8(static_cast<ULONG>(k)), bytes);
          if (FAILED(hr)) return hr;
        }
        HRESULT hr = stream(stg, name, lengths);
        if (FAILED(hr)) return hr;
        size = static_cast<uint32_t>(lengths.size());
        break;
      }
      case PT_OBJECT:
        inline_ = false;
        size = 0xFFFFFFFFu;
        break;
      default:
        continue;  // PT_NULL, PT_UNSPECIFIED: nothing to write
    }
    put32(table, tag);
    put32(table, kAttrReadWrite);
    if (inline_) {
      put64(table, fixed);
    } else {
      put32(table, size);
      put32(table, 0);
    }
  }
  return stream(stg, "__properties_version1.0", table);
}

HRESULT Writer::message(const MsgData& msg, const NameMap& names, bool top, IStorage* stg) {
  HRESULT hr;
  if (top) {
    IStorage* nameStg = nullptr;
    hr = createStorage(stg, "__nameid_version1.0", &nameStg);
    if (FAILED(hr)) return hr;
    Releaser r{nameStg};
    hr = nameMap(names, nameStg);
    if (FAILED(hr)) return hr;
  }

  ULONG index = 0;
  for (const PropRow& row : msg.recipients) {
    IStorage* sub = nullptr;
    hr = createStorage(stg, "__recip_version1.0_#" + hex8(index), &sub);
    if (FAILED(hr)) return hr;
    Releaser r{sub};
    PropMap props;
    for (const Prop& p : row) {
      if (PROP_TYPE(p.tag) == PT_ERROR) continue;
      props[PROP_ID(p.tag)].prop = p;
    }
    props[PROP_ID(PR_ROWID)].prop = Prop::Long(PR_ROWID, static_cast<LONG>(index));
    hr = properties(sub, props, std::string(8, '\0'));
    if (FAILED(hr)) return hr;
    ++index;
  }

  index = 0;
  for (const auto& entry : msg.attachments) {
    const AttachData& att = *entry.second;
    IStorage* sub = nullptr;
    hr = createStorage(stg, "__attach_version1.0_#" + hex8(index), &sub);
    if (FAILED(hr)) return hr;
    Releaser r{sub};
    PropMap props = att.props;
    props[PROP_ID(PR_ATTACH_NUM)].prop = Prop::Long(PR_ATTACH_NUM, static_cast<LONG>(index));
    std::string header(8, '\0');
    if (att.embedded) {
      if (!props.count(PROP_ID(PR_ATTACH_METHOD)))
        props[PROP_ID(PR_ATTACH_METHOD)].prop = Prop::Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
      // The entry of PR_ATTACH_DATA_OBJ stands for the storage below.
      props[PROP_ID(PR_ATTACH_DATA_OBJ)] = Value();
      props[PROP_ID(PR_ATTACH_DATA_OBJ)].prop.tag = PR_ATTACH_DATA_OBJ;
      IStorage* inner = nullptr;
      hr = createStorage(sub, "__substg1.0_3701000D", &inner);
      if (FAILED(hr)) return hr;
      Releaser ri{inner};
      hr = message(*att.embedded, names, false, inner);
      if (FAILED(hr)) return hr;
    }
    hr = properties(sub, props, header);
    if (FAILED(hr)) return hr;
    ++index;
  }

  PropMap props = msg.props;
  // Every string of the file is Unicode, and the text of the bodies is in
  // the process code page (UTF-8).
  if (!props.count(PROP_ID(kPrMessageCodepage)))
    props[PROP_ID(kPrMessageCodepage)].prop = Prop::Long(kPrMessageCodepage, kCodepageUtf8);
  // An HTML body written as bytes from its text (properties() below) is
  // UTF-8, whatever charset the message came in: the file's Internet code
  // page, which readers decode PR_HTML by, says so.
  auto html = props.find(PROP_ID(kPrBodyHtmlA));
  bool htmlFromText = html != props.end() && (html->second.prop.tag == kPrBodyHtmlA ||
                                               (html->second.prop.tag == kPrBodyHtmlW && !html->second.big));
  if (htmlFromText || !props.count(PROP_ID(kPrInternetCpid)))
    props[PROP_ID(kPrInternetCpid)].prop = Prop::Long(kPrInternetCpid, kCodepageUtf8);
  Value& mask = props[PROP_ID(PR_STORE_SUPPORT_MASK)];
  if (PROP_TYPE(mask.prop.tag) != PT_LONG) mask.prop = Prop::Long(PR_STORE_SUPPORT_MASK, 0);
  mask.prop.i = static_cast<LONG>(static_cast<ULONG>(mask.prop.i) | kStoreUnicodeOk);

  std::string header(8, '\0');
  ULONG nRecip = static_cast<ULONG>(msg.recipients.size());
  ULONG nAttach = static_cast<ULONG>(msg.attachments.size());
  put32(header, nRecip);   // next recipient id
  put32(header, nAttach);  // next attachment id
  put32(header, nRecip);
  put32(header, nAttach);
  if (top) header.append(8, '\0');
  return properties(stg, props, header);
}

// CRC-32 (ISO 3309 / ITU-T V.42, as used by X.25), for the string names of
// the lookup streams.
struct CrcTable {
  uint32_t v[256];
  CrcTable() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      v[n] = c;
    }
  }
};

uint32_t crc32(const std::string& bytes) {
  static const CrcTable table;
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table.v[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

HRESULT Writer::nameMap(const NameMap& names, IStorage* stg) {
  // GUID indexes: 1 for PS_MAPI, 2 for PS_PUBLIC_STRINGS, 3 on for the
  // GUIDs listed in the GUID stream.
  std::vector<GUID> guids;
  std::string guidStream, entryStream, stringStream;
  std::map<ULONG, std::string> lookup;  // stream id -> entries
  for (size_t k = 0; k < names.props.size(); ++k) {
    const NamedProp& np = names.props[k];
    uint32_t guidIndex;
    if (np.guid == kPsMapi) {
      guidIndex = 1;
    } else if (np.guid == kPsPublicStrings) {
      guidIndex = 2;
    } else {
      size_t g = 0;
      while (g < guids.size() && guids[g] != np.guid) ++g;
      if (g == guids.size()) {
        guids.push_back(np.guid);
        guidStream.append(reinterpret_cast<const char*>(&np.guid), sizeof(GUID));
      }
      guidIndex = static_cast<uint32_t>(3 + g);
    }
    uint32_t kind = np.kind == MNID_STRING ? 1 : 0;
    uint32_t indexKind = (static_cast<uint32_t>(k) << 16) | (guidIndex << 1) | kind;
    uint32_t idOrOffset, key;
    if (kind) {
      std::string utf16 = utf8ToUtf16le(np.name);
      idOrOffset = static_cast<uint32_t>(stringStream.size());
      put32(stringStream, static_cast<uint32_t>(utf16.size()));
      stringStream += utf16;
      while (stringStream.size() % 4) stringStream.push_back('\0');
      key = crc32(utf16);
    } else {
      idOrOffset = static_cast<uint32_t>(np.id);
      key = idOrOffset;
    }
    put32(entryStream, idOrOffset);
    put32(entryStream, indexKind);
    ULONG streamId = 0x1000 + ((key ^ ((guidIndex << 1) | kind)) % 0x1F);
    std::string& l = lookup[streamId];
    put32(l, key);
    put32(l, indexKind);
  }
  HRESULT hr = stream(stg, "__substg1.0_00020102", guidStream);
  if (SUCCEEDED(hr)) hr = stream(stg, "__substg1.0_00030102", entryStream);
  if (SUCCEEDED(hr)) hr = stream(stg, "__substg1.0_00040102", stringStream);
  for (const auto& l : lookup) {
    if (FAILED(hr)) break;
    hr = stream(stg, "__substg1.0_" + hex8((l.first << 16) | PT_BINARY), l.second);
  }
  return hr;
}

}  // namespace

int NameMap::find(const MAPINAMEID& name) const {
  if (!name.lpguid) return -1;
  for (size_t k = 0; k < props.size(); ++k) {
    const NamedProp& np = props[k];
    if (np.kind != name.ulKind || np.guid != *name.lpguid) continue;
    if (np.kind == MNID_ID ? np.id == name.Kind.lID
                           : (name.Kind.lpwstrName && np.name == wideToUtf8(name.Kind.lpwstrName)))
      return static_cast<int>(k);
  }
  return -1;
}

HRESULT writeMessage(const MsgData& msg, const NameMap& names, bool top, IStorage* stg, std::string& error) {
  Writer w(error);
  return w.message(msg, names, top, stg);
}

uint64_t bigLength(const Value& v) {
  uint64_t len = v.big->size();
  ULONG type = PROP_TYPE(v.prop.tag);
  if (type != PT_STRING8 && type != PT_UNICODE) return len;
  size_t unit = type == PT_UNICODE ? 2 : 1;
  len -= len % unit;
  char tail[2];
  while (len >= unit) {
    size_t got = 0;
    int err = 0;
    if (!v.big->read(len - unit, tail, unit, got, err) || got != unit) break;
    if (tail[0] != 0 || (unit == 2 && tail[1] != 0)) break;
    len -= unit;
  }
  return len;
}

bool loadValue(const Value& v, uint64_t limit, Prop& out) {
  out = v.prop;
  if (!v.big) return true;
  uint64_t len = bigLength(v);
  if (len > limit) return false;
  std::string bytes(static_cast<size_t>(len), '\0');
  size_t got = 0;
  int err = 0;
  if (!bytes.empty() && (!v.big->read(0, &bytes[0], bytes.size(), got, err) || got != bytes.size())) return false;
  out.bytes = PROP_TYPE(v.prop.tag) == PT_UNICODE ? utf16leToUtf8(bytes) : bytes;
  return true;
}

}  // namespace msgfile
}  // namespace tmapi
