#include "store/propstate.h"

#include <mapicode.h>
#include <mapix.h>
#include <tolvane/mapitest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>
#include <vector>

namespace tmapi {

std::string tagText(ULONG tag) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(tag));
  return buf;
}

// ---- The staging file

// One temporary file without a name, shared by every staged value of the
// process: values take blocks of it and give them back. Freed blocks are
// punched out (their disk space returned) and reused; the file itself goes
// when the last value holding it does, or with the process.
class StagingFile {
 public:
  static constexpr uint64_t kBlock = 256 * 1024;

  ~StagingFile() {
    if (m_fd >= 0) ::close(m_fd);
  }

  static HRESULT shared(std::shared_ptr<StagingFile>& out, std::string& error) {
    static std::mutex mu;
    static std::weak_ptr<StagingFile> current;
    std::lock_guard<std::mutex> lock(mu);
    out = current.lock();
    // A child process after fork makes its own: blocks taken by two
    // processes from one file would overlap.
    if (out && out->m_pid == getpid()) return S_OK;
    const char* dir = getenv("TMPDIR");
    std::string where = dir && *dir ? dir : "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    int err = errno;
    if (fd < 0 && err != EOPNOTSUPP && err != EISDIR && err != EINVAL) {
      error = "Cannot make a temporary file for values being written (in " + where + "): " + strerror(err);
      return fileErrorResult(err);
    }
#endif
    if (fd < 0) {
      // File systems without O_TMPFILE: a private name, removed at once.
      std::string tmpl = where + "/tolvane-mapi-value-XXXXXX";
      fd = mkostemp(&tmpl[0], O_CLOEXEC);
      if (fd < 0) {
        int e = errno;
        error = "Cannot make a temporary file for values being written (" + tmpl + "): " + strerror(e);
        return fileErrorResult(e);
      }
      unlink(tmpl.c_str());
    }
    out.reset(new StagingFile);
    out->m_fd = fd;
    out->m_pid = getpid();
    current = out;
    return S_OK;
  }

  int fd() const { return m_fd; }

  // A block that reads as zeros: a freed one, or a new one at the end.
  uint64_t take() {
    std::lock_guard<std::mutex> lock(m_mu);
    g_stagedBlocks.fetch_add(1, std::memory_order_relaxed);
    if (!m_free.empty()) {
      uint64_t at = m_free.back();
      m_free.pop_back();
      return at;
    }
    uint64_t at = m_end;
    m_end += kBlock;
    return at;
  }

  void give(uint64_t at) {
    g_stagedBlocks.fetch_sub(1, std::memory_order_relaxed);
    // Only a block whose bytes are gone (read as zeros) may serve another
    // value; where holes cannot be punched, blocks are not reused and the
    // space comes back with the file.
    if (!punch(at, kBlock)) return;
    std::lock_guard<std::mutex> lock(m_mu);
    m_free.push_back(at);
  }

  // Makes a range of the file read as zeros, freeing its disk space.
  bool punch(uint64_t at, uint64_t n) {
    return fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at),
                     static_cast<off_t>(n)) == 0;
  }

  static std::atomic<uint64_t> g_stagedBlocks;

 private:
  StagingFile() = default;
  int m_fd = -1;
  pid_t m_pid = 0;
  std::mutex m_mu;
  uint64_t m_end = 0;
  std::vector<uint64_t> m_free;
};

std::atomic<uint64_t> StagingFile::g_stagedBlocks{0};

// ---- StagedValue

namespace {
const uint64_t kBlock = StagingFile::kBlock;

HRESULT writeAt(int fd, uint64_t offset, const char* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return fileErrorResult(errno);
    }
    done += static_cast<size_t>(w);
  }
  return S_OK;
}
}  // namespace

HRESULT StagedValue::create(std::shared_ptr<StagedValue>& out, std::string& error) {
  std::shared_ptr<StagingFile> file;
  HRESULT hr = StagingFile::shared(file, error);
  if (FAILED(hr)) return hr;
  out.reset(new StagedValue);
  out->m_file = std::move(file);
  return S_OK;
}

StagedValue::~StagedValue() {
  for (int64_t at : m_blocks)
    if (at >= 0) m_file->give(static_cast<uint64_t>(at));
}

uint64_t StagedValue::stagedBytes() { return StagingFile::g_stagedBlocks.load(std::memory_order_relaxed) * kBlock; }

HRESULT StagedValue::writeThrough(uint64_t offset, const char* p, size_t n) const {
  while (n > 0) {
    size_t index = static_cast<size_t>(offset / kBlock);
    uint64_t within = offset % kBlock;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, kBlock - within));
    if (m_blocks.size() <= index) m_blocks.resize(index + 1, -1);
    if (m_blocks[index] < 0) m_blocks[index] = static_cast<int64_t>(m_file->take());
    HRESULT hr = writeAt(m_file->fd(), static_cast<uint64_t>(m_blocks[index]) + within, p, take);
    if (FAILED(hr)) return hr;
    offset += take;
    p += take;
    n -= take;
  }
  return S_OK;
}

HRESULT StagedValue::flush() const {
  if (FAILED(m_failed)) return m_failed;
  if (m_pending.empty()) return S_OK;
  HRESULT hr = writeThrough(m_pendingAt, m_pending.data(), m_pending.size());
  m_pending.clear();
  if (FAILED(hr)) m_failed = hr;
  return hr;
}

HRESULT StagedValue::write(uint64_t offset, const void* data, size_t n) {
  if (FAILED(m_failed)) return m_failed;
  const char* p = static_cast<const char*>(data);
  try {
    bool follows = !m_pending.empty() && offset == m_pendingAt + m_pending.size();
    if (n < kWriteBuffer && (m_pending.empty() || follows) && m_pending.size() + n <= kWriteBuffer) {
      if (m_pending.empty()) {
        m_pendingAt = offset;
        m_pending.reserve(kWriteBuffer);
      }
      m_pending.append(p, n);
    } else {
      HRESULT hr = flush();
      if (FAILED(hr)) return hr;
      if (n < kWriteBuffer) {
        m_pendingAt = offset;
        m_pending.assign(p, n);
      } else {
        hr = writeThrough(offset, p, n);
        if (FAILED(hr)) return m_failed = hr;
      }
    }
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  m_size = std::max(m_size, offset + n);
  return S_OK;
}

void StagedValue::settle() {
  flush();
  std::string().swap(m_pending);
}

HRESULT StagedValue::read(uint64_t offset, void* buf, size_t n, size_t& got) const {
  got = 0;
  HRESULT hr = flush();
  if (FAILED(hr)) return hr;
  if (offset >= m_size) return S_OK;
  n = static_cast<size_t>(std::min<uint64_t>(n, m_size - offset));
  char* p = static_cast<char*>(buf);
  while (got < n) {
    uint64_t pos = offset + got;
    size_t index = static_cast<size_t>(pos / kBlock);
    uint64_t within = pos % kBlock;
    size_t want = static_cast<size_t>(std::min<uint64_t>(n - got, kBlock - within));
    int64_t at = index < m_blocks.size() ? m_blocks[index] : -1;
    size_t done = 0;
    while (at >= 0 && done < want) {
      ssize_t r = pread(m_file->fd(), p + got + done, want - done, static_cast<off_t>(static_cast<uint64_t>(at) + within + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        return fileErrorResult(errno);
      }
      if (r == 0) break;  // past the written end of the file
      done += static_cast<size_t>(r);
    }
    // A block never written (a value grown by resize) or its unwritten end:
    // zeros.
    if (done < want) memset(p + got + done, 0, want - done);
    got += want;
  }
  return S_OK;
}

HRESULT StagedValue::resize(uint64_t size) {
  HRESULT flushed = flush();
  if (FAILED(flushed)) return flushed;
  if (size < m_size) {
    // Bytes past the end must read as zeros if the value grows again: the
    // blocks past it go back, the rest of the last one is cleared.
    size_t keep = static_cast<size_t>((size + kBlock - 1) / kBlock);
    while (m_blocks.size() > keep) {
      if (m_blocks.back() >= 0) m_file->give(static_cast<uint64_t>(m_blocks.back()));
      m_blocks.pop_back();
    }
    uint64_t within = size % kBlock;
    if (within && keep == m_blocks.size() && m_blocks[keep - 1] >= 0) {
      uint64_t at = static_cast<uint64_t>(m_blocks[keep - 1]) + within;
      if (!m_file->punch(at, kBlock - within)) {
        std::string zeros(static_cast<size_t>(kBlock - within), '\0');
        HRESULT hr = writeAt(m_file->fd(), at, zeros.data(), zeros.size());
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_size = size;
  return S_OK;
}

// ---- TextConverter

namespace {
void putUtf16(std::string& out, uint32_t cp) {
  auto unit = [&out](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  if (cp >= 0x10000) {
    cp -= 0x10000;
    unit(0xD800 + (cp >> 10));
    unit(0xDC00 + (cp & 0x3FF));
  } else {
    unit(cp);
  }
}
void putUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
const uint32_t kReplacement = 0xFFFD;
}  // namespace

void TextConverter::feed(const char* data, size_t n, std::string& out) {
  std::string joined;
  if (!m_carry.empty()) {
    joined = m_carry;
    joined.append(data, n);
    m_carry.clear();
    data = joined.data();
    n = joined.size();
  }
  if (m_toUtf16) utf8Piece(data, n, out);
  else utf16Piece(data, n, out);
}

void TextConverter::finish(std::string& out) {
  // Whatever is left is an incomplete sequence.
  if (m_carry.empty()) return;
  m_carry.clear();
  if (m_toUtf16) putUtf16(out, kReplacement);
  else putUtf8(out, kReplacement);
}

void TextConverter::utf8Piece(const char* data, size_t n, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0) {
      putUtf16(out, kReplacement);
      ++i;
      continue;
    }
    if (i + len > n) {  // continues in the next piece
      m_carry.assign(data + i, n - i);
      return;
    }
    uint32_t cp = len == 1 ? c : (c & (0xFF >> (len + 1)));
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (!ok) {
      putUtf16(out, kReplacement);
      ++i;
      continue;
    }
    putUtf16(out, cp > 0x10FFFF ? kReplacement : cp);
    i += len;
  }
}

void TextConverter::utf16Piece(const char* data, size_t n, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  while (i + 2 <= n) {
    uint32_t u = s[i] | (static_cast<uint32_t>(s[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 4 > n) break;  // the low half is in the next piece
      uint32_t low = s[i + 2] | (static_cast<uint32_t>(s[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        putUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 4;
      } else {
        putUtf8(out, kReplacement);
        i += 2;
      }
      continue;
    }
    putUtf8(out, (u >= 0xDC00 && u < 0xE000) ? kReplacement : u);
    i += 2;
  }
  if (i < n) m_carry.assign(data + i, n - i);
}

HRESULT convertToStaged(const RangeReader& read, bool toUtf16, std::shared_ptr<StagedValue>& out, std::string& error) {
  std::shared_ptr<StagedValue> value;
  HRESULT hr = StagedValue::create(value, error);
  if (FAILED(hr)) return hr;
  TextConverter conv(toUtf16);
  std::vector<char> buf(64 * 1024);
  std::string piece;
  uint64_t in = 0, written = 0;
  for (;;) {
    size_t got = 0;
    hr = read(in, buf.data(), buf.size(), got);
    if (FAILED(hr)) {
      error = "the value could not be read for conversion";
      return hr;
    }
    piece.clear();
    if (got == 0) conv.finish(piece);
    else conv.feed(buf.data(), got, piece);
    if (!piece.empty()) {
      hr = value->write(written, piece.data(), piece.size());
      if (FAILED(hr)) {
        error = "the converted value could not be written to its temporary file";
        return hr;
      }
      written += piece.size();
    }
    if (got == 0) break;
    in += got;
  }
  out = std::move(value);
  return S_OK;
}

// ---- PropState

namespace {
ULONG storedTypeOf(ULONG type) {
  if (type == PT_UNICODE) return PT_STRING8;
  if (type == PT_MV_UNICODE) return PT_MV_STRING8;
  return type;
}
}  // namespace

void PropState::setValue(Prop p) {
  ULONG id = PROP_ID(p.tag);
  p.tag = CHANGE_PROP_TYPE(p.tag, storedTypeOf(PROP_TYPE(p.tag)));
  staged.erase(id);
  deleted.erase(id);
  set[id] = std::move(p);
}

void PropState::setStaged(ULONG tag, std::shared_ptr<StagedValue> value) {
  ULONG id = PROP_ID(tag);
  set.erase(id);
  deleted.erase(id);
  StagedEntry e;
  e.tag = CHANGE_PROP_TYPE(tag, storedTypeOf(PROP_TYPE(tag)));
  e.value = std::move(value);
  e.utf16 = PROP_TYPE(tag) == PT_UNICODE;
  staged[id] = std::move(e);
}

void PropState::deleteValue(ULONG propId) {
  set.erase(propId);
  staged.erase(propId);
  deleted.insert(propId);
}

bool typeAnswers(ULONG storedTag, ULONG wantedType, ULONG& outTag) {
  ULONG stored = PROP_TYPE(storedTag);
  if (wantedType == PT_UNSPECIFIED) {
    outTag = storedTag;
    return true;
  }
  if (storedTypeOf(wantedType) != storedTypeOf(stored)) return false;
  outTag = CHANGE_PROP_TYPE(storedTag, wantedType);
  return true;
}

HRESULT readStateProp(StoreDb& db, const PropState& st, ULONG tag, ULONG sizeLimit, Prop& out) {
  ULONG id = PROP_ID(tag);
  ULONG wanted = PROP_TYPE(tag);
  ULONG outTag = 0;
  if (st.deleted.count(id)) {
    out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_FOUND);
    return S_OK;
  }
  auto s = st.set.find(id);
  if (s != st.set.end()) {
    if (!typeAnswers(s->second.tag, wanted, outTag)) {
      out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_FOUND);
    } else if (valueSize(s->second) > sizeLimit) {
      out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_ENOUGH_MEMORY);
    } else {
      out = s->second;
      out.tag = outTag;
    }
    return S_OK;
  }
  auto g = st.staged.find(id);
  if (g != st.staged.end()) {
    if (!typeAnswers(g->second.tag, wanted, outTag)) {
      out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_FOUND);
    } else if (g->second.value->size() > sizeLimit) {
      out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_ENOUGH_MEMORY);
    } else {
      out = Prop();
      out.tag = outTag;
      out.bytes.resize(static_cast<size_t>(g->second.value->size()));
      size_t got = 0;
      if (!out.bytes.empty()) {
        HRESULT hr = g->second.value->read(0, &out.bytes[0], out.bytes.size(), got);
        if (FAILED(hr)) return hr;
      }
      if (g->second.utf16) {
        TextConverter conv(false);
        std::string utf8;
        conv.feed(out.bytes.data(), out.bytes.size(), utf8);
        conv.finish(utf8);
        out.bytes = std::move(utf8);
      }
    }
    return S_OK;
  }
  if (!st.id) {
    out = Prop::Error(PROP_TAG(PT_ERROR, id), MAPI_E_NOT_FOUND);
    return S_OK;
  }
  PropRow row;
  HRESULT hr = db.getProps(st.id, {tag}, sizeLimit, row);
  if (FAILED(hr)) return hr;
  out = std::move(row[0]);
  return S_OK;
}

HRESULT readStateProps(StoreDb& db, const PropState& st, const std::vector<ULONG>& tags, ULONG sizeLimit,
                       PropRow& out) {
  out.assign(tags.size(), Prop());
  std::vector<ULONG> stored;
  std::vector<size_t> at;
  for (size_t k = 0; k < tags.size(); ++k) {
    ULONG id = PROP_ID(tags[k]);
    if (st.id && !st.deleted.count(id) && !st.set.count(id) && !st.staged.count(id)) {
      stored.push_back(tags[k]);
      at.push_back(k);
      continue;
    }
    HRESULT hr = readStateProp(db, st, tags[k], sizeLimit, out[k]);
    if (FAILED(hr)) return hr;
  }
  if (stored.empty()) return S_OK;
  PropRow row;
  HRESULT hr = db.getProps(st.id, stored, sizeLimit, row);
  if (FAILED(hr)) return hr;
  if (row.size() != stored.size()) return MAPI_E_CALL_FAILED;
  for (size_t i = 0; i < at.size(); ++i) out[at[i]] = std::move(row[i]);
  return S_OK;
}

HRESULT PropReader::readOwnMany(const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& out) {
  out.clear();
  out.reserve(tags.size());
  for (ULONG t : tags) {
    Prop p;
    HRESULT hr = readOwn(t, sizeLimit, p);
    if (FAILED(hr)) return hr;
    out.push_back(std::move(p));
  }
  return S_OK;
}

HRESULT stateTags(StoreDb& db, const PropState& st, std::vector<ULONG>& tags) {
  tags.clear();
  if (st.id) {
    std::vector<ULONG> stored;
    HRESULT hr = db.propTags(st.id, stored);
    if (FAILED(hr)) return hr;
    for (ULONG t : stored) {
      ULONG id = PROP_ID(t);
      if (st.deleted.count(id) || st.set.count(id) || st.staged.count(id)) continue;
      tags.push_back(t);
    }
  }
  for (const auto& s : st.set) tags.push_back(s.second.tag);
  for (const auto& g : st.staged) tags.push_back(g.second.tag);
  std::sort(tags.begin(), tags.end(), [](ULONG a, ULONG b) { return PROP_ID(a) < PROP_ID(b); });
  return S_OK;
}

HRESULT writeStateProps(StoreDb& db, const PropState& st, ObjectId id) {
  HRESULT hr = S_OK;
  if (!st.deleted.empty()) {
    std::vector<ULONG> gone;
    for (ULONG propId : st.deleted) gone.push_back(PROP_TAG(PT_UNSPECIFIED, propId));
    hr = db.deleteProps(id, gone);
    if (FAILED(hr)) return hr;
  }
  if (!st.set.empty()) {
    PropRow row;
    row.reserve(st.set.size());
    for (const auto& s : st.set) row.push_back(s.second);
    hr = db.setProps(id, row);
    if (FAILED(hr)) return hr;
  }
  for (const auto& g : st.staged) {
    std::shared_ptr<StagedValue> v = g.second.value;
    if (g.second.utf16) {
      // Written as PT_UNICODE: stored as UTF-8, converted piece by piece.
      std::string error;
      const std::shared_ptr<StagedValue>& src = g.second.value;
      hr = convertToStaged([&src](uint64_t off, void* buf, size_t n, size_t& got) { return src->read(off, buf, n, got); },
                           false, v, error);
      if (FAILED(hr)) return hr;
    }
    hr = db.setValueFromPieces(id, g.second.tag, v->size(), [&v](uint64_t off, void* buf, size_t n) -> HRESULT {
      size_t got = 0;
      HRESULT r = v->read(off, buf, n, got);
      if (FAILED(r)) return r;
      return got == n ? S_OK : MAPI_E_DISK_ERROR;
    });
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// ---- GetProps / GetPropList

namespace {
// Values handed out with MAPI_UNICODE carry their strings in wide form.
void widen(Prop& p, ULONG flags, bool typeGiven) {
  if (!(flags & MAPI_UNICODE) || typeGiven) return;
  if (PROP_TYPE(p.tag) == PT_STRING8) p.tag = CHANGE_PROP_TYPE(p.tag, PT_UNICODE);
  else if (PROP_TYPE(p.tag) == PT_MV_STRING8) p.tag = CHANGE_PROP_TYPE(p.tag, PT_MV_UNICODE);
}
}  // namespace

HRESULT getPropsFor(PropReader& obj, LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values,
                    std::string& text) {
  if (!count || !values) {
    text = "GetProps: no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  *count = 0;
  *values = nullptr;
  ULONG limit = mapitest::sizeLimit();
  PropRow computed = obj.computedProps();
  PropRow row;
  HRESULT hr = S_OK;
  if (tags) {
    // The object's own values in one read, the computed ones beside them.
    std::vector<ULONG> own;
    for (ULONG k = 0; k < tags->cValues; ++k)
      if (!findProp(computed, CHANGE_PROP_TYPE(tags->aulPropTag[k], PT_UNSPECIFIED))) own.push_back(tags->aulPropTag[k]);
    PropRow ownValues;
    if (!own.empty()) {
      hr = obj.readOwnMany(own, limit, ownValues);
      if (FAILED(hr)) {
        text = own.size() == 1 ? "GetProps: property " + tagText(own[0]) + " could not be read"
                               : "GetProps: the properties could not be read";
        return hr;
      }
    }
    row.reserve(tags->cValues);
    size_t next = 0;
    for (ULONG k = 0; k < tags->cValues; ++k) {
      ULONG tag = tags->aulPropTag[k];
      bool typeGiven = PROP_TYPE(tag) != PT_UNSPECIFIED;
      const Prop* c = findProp(computed, CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED));
      Prop p;
      ULONG outTag = 0;
      if (c) {
        if (typeAnswers(c->tag, PROP_TYPE(tag), outTag)) {
          p = *c;
          p.tag = outTag;
        } else {
          p = Prop::Error(PROP_TAG(PT_ERROR, PROP_ID(tag)), MAPI_E_NOT_FOUND);
        }
      } else {
        p = std::move(ownValues[next++]);
      }
      widen(p, flags, typeGiven);
      row.push_back(std::move(p));
    }
  } else {
    std::vector<ULONG> own;
    hr = obj.ownTags(own);
    if (FAILED(hr)) {
      text = "GetProps: the property list could not be read";
      return hr;
    }
    for (Prop& c : computed) {
      widen(c, flags, false);
      row.push_back(c);
    }
    for (ULONG t : own) {
      if (findProp(computed, CHANGE_PROP_TYPE(t, PT_UNSPECIFIED))) continue;
      Prop p;
      hr = obj.readOwn(t, limit, p);
      if (FAILED(hr)) {
        text = "GetProps: property " + tagText(t) + " could not be read";
        return hr;
      }
      widen(p, flags, false);
      row.push_back(std::move(p));
    }
  }
  hr = rowToMAPI(row, nullptr, count, values);
  if (FAILED(hr)) {
    text = "GetProps: the values could not be copied";
    return hr;
  }
  for (const Prop& p : row)
    if (PROP_TYPE(p.tag) == PT_ERROR) return MAPI_W_ERRORS_RETURNED;
  return S_OK;
}

HRESULT getPropListFor(PropReader& obj, ULONG flags, LPSPropTagArray* out, std::string& text) {
  if (!out) {
    text = "GetPropList: no output";
    return MAPI_E_INVALID_PARAMETER;
  }
  *out = nullptr;
  std::vector<ULONG> own;
  HRESULT hr = obj.ownTags(own);
  if (FAILED(hr)) {
    text = "GetPropList: the property list could not be read";
    return hr;
  }
  std::vector<ULONG> all;
  for (const Prop& c : obj.computedProps()) all.push_back(c.tag);
  for (ULONG t : own) {
    bool dup = false;
    for (ULONG a : all) dup = dup || PROP_ID(a) == PROP_ID(t);
    if (!dup) all.push_back(t);
  }
  if (flags & MAPI_UNICODE) {
    for (ULONG& t : all) {
      if (PROP_TYPE(t) == PT_STRING8) t = CHANGE_PROP_TYPE(t, PT_UNICODE);
      else if (PROP_TYPE(t) == PT_MV_STRING8) t = CHANGE_PROP_TYPE(t, PT_MV_UNICODE);
    }
  }
  LPSPropTagArray tags = nullptr;
  hr = MAPIAllocateBuffer(CbNewSPropTagArray(all.size()), reinterpret_cast<LPVOID*>(&tags));
  if (FAILED(hr)) {
    text = "GetPropList: out of memory";
    return hr;
  }
  tags->cValues = static_cast<ULONG>(all.size());
  for (size_t k = 0; k < all.size(); ++k) tags->aulPropTag[k] = all[k];
  *out = tags;
  return S_OK;
}

HRESULT makeProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
  if (!out) return S_OK;
  *out = nullptr;
  if (problems.empty()) return S_OK;
  LPSPropProblemArray arr = nullptr;
  HRESULT hr = MAPIAllocateBuffer(CbNewSPropProblemArray(problems.size()), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return hr;
  arr->cProblem = static_cast<ULONG>(problems.size());
  for (size_t k = 0; k < problems.size(); ++k) arr->aProblem[k] = problems[k];
  *out = arr;
  return S_OK;
}

}  // namespace tmapi
