#include "store/stream.h"

#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapix.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tmapi {

namespace {

// Piece size for copying a value into a new staged value.
const size_t kCopyPiece = 64 * 1024;

class PropStream : public IStream, public ObjectBase, public ErrorHolder {
 public:
  enum class Source { Stored, Memory, Staged };

  PropStream(Source source, bool writable) : m_source(source), m_writable(writable) {}

  std::shared_ptr<StoreDb> m_db;
  ObjectId m_id = 0;
  ULONG m_propId = 0;
  std::string m_bytes;
  std::shared_ptr<StagedValue> m_staged;
  uint64_t m_size = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
      AddRef();
      *ppv = static_cast<IStream*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    TM_CALL_OBJ(this, "IStream::Read", "cb=" + std::to_string(cb));
    if (!pv && cb) return setError(STG_E_INVALIDPOINTER, "IStream::Read: no buffer");
    uint64_t size = currentSize();
    if (m_pos >= size || cb == 0) return S_OK;
    size_t n = static_cast<size_t>(std::min<uint64_t>(cb, size - m_pos));
    size_t got = 0;
    HRESULT hr = S_OK;
    switch (m_source) {
      case Source::Stored:
        hr = readStored(static_cast<char*>(pv), n, got);
        if (FAILED(hr)) return setError(hr, "IStream::Read: " + m_db->lastError());
        break;
      case Source::Memory:
        memcpy(pv, m_bytes.data() + m_pos, n);
        got = n;
        break;
      case Source::Staged:
        hr = m_staged->read(m_pos, pv, n, got);
        if (FAILED(hr)) return setError(hr, "IStream::Read: the temporary file of the value cannot be read");
        break;
    }
    m_pos += got;
    if (pcbRead) *pcbRead = static_cast<ULONG>(got);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    TM_CALL_OBJ(this, "IStream::Write", "cb=" + std::to_string(cb));
    if (!m_writable) return setError(STG_E_ACCESSDENIED, "IStream::Write: the stream was opened for reading only");
    if (!pv && cb) return setError(STG_E_INVALIDPOINTER, "IStream::Write: no data");
    if (cb == 0) return S_OK;
    HRESULT hr = m_staged->write(m_pos, pv, cb);
    if (FAILED(hr)) return setError(hr, "IStream::Write: the temporary file of the value cannot be written");
    m_pos += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    TM_CALL_OBJ(this, "IStream::Seek", "move=" + std::to_string(dlibMove.QuadPart) + " origin=" + std::to_string(dwOrigin));
    int64_t base = 0;
    switch (dwOrigin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<int64_t>(m_pos); break;
      case STREAM_SEEK_END: base = static_cast<int64_t>(currentSize()); break;
      default: return setError(STG_E_INVALIDFUNCTION, "IStream::Seek: unknown origin");
    }
    int64_t pos = base + dlibMove.QuadPart;
    if (pos < 0) return setError(STG_E_INVALIDFUNCTION, "IStream::Seek: before the start of the stream");
    m_pos = static_cast<uint64_t>(pos);
    if (plibNewPosition) plibNewPosition->QuadPart = m_pos;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
    TM_CALL_OBJ(this, "IStream::SetSize", "size=" + std::to_string(libNewSize.QuadPart));
    if (!m_writable) return setError(STG_E_ACCESSDENIED, "IStream::SetSize: the stream was opened for reading only");
    HRESULT hr = m_staged->resize(libNewSize.QuadPart);
    if (FAILED(hr)) return setError(hr, "IStream::SetSize: the temporary file of the value cannot be resized");
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    TM_CALL_OBJ(this, "IStream::CopyTo", "cb=" + std::to_string(cb.QuadPart));
    if (!pstm) return setError(STG_E_INVALIDPOINTER, "IStream::CopyTo: no destination");
    std::vector<char> buf(kCopyPiece);
    uint64_t left = cb.QuadPart, read = 0, written = 0;
    while (left > 0) {
      ULONG want = static_cast<ULONG>(std::min<uint64_t>(left, buf.size()));
      ULONG got = 0;
      HRESULT hr = Read(buf.data(), want, &got);
      if (FAILED(hr)) return hr;
      if (got == 0) break;
      read += got;
      ULONG put = 0;
      hr = pstm->Write(buf.data(), got, &put);
      written += put;
      if (FAILED(hr)) return setError(hr, "IStream::CopyTo: the destination refused the data");
      left -= got;
    }
    if (pcbRead) pcbRead->QuadPart = read;
    if (pcbWritten) pcbWritten->QuadPart = written;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    TM_CALL_OBJ(this, "IStream::Commit", "");
    // What was written is already the owner's new value; the owner's
    // SaveChanges stores it.
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Revert() override {
    TM_CALL_OBJ(this, "IStream::Revert", "");
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return setError(STG_E_INVALIDFUNCTION, "IStream::LockRegion: regions cannot be locked");
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return setError(STG_E_INVALIDFUNCTION, "IStream::UnlockRegion: regions cannot be locked");
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    TM_CALL_OBJ(this, "IStream::Stat", "flags=" + std::to_string(grfStatFlag));
    if (!pstatstg) return setError(STG_E_INVALIDPOINTER, "IStream::Stat: no output");
    memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = currentSize();
    pstatstg->grfMode = m_writable ? STGM_READWRITE : STGM_READ;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    if (ppstm) *ppstm = nullptr;
    return setError(STG_E_INVALIDFUNCTION, "IStream::Clone: property streams cannot be cloned");
  }

 private:
  ~PropStream() override {
    // The writer is done: what it buffered goes to disk and the buffer's
    // memory comes back (a message of many attachments holds no buffer per
    // attachment). A failure fails the value's next read.
    if (m_writable && m_staged) m_staged->settle();
  }

  // Reads of a stored value go through one stored piece held here, so that
  // small reads (a caller copying 128 bytes at a time) do not read the
  // piece again for every call.
  HRESULT readStored(char* out, size_t n, size_t& got) {
    got = 0;
    while (got < n) {
      uint64_t pos = m_pos + got;
      bool cached = pos >= m_pieceStart && pos < m_pieceStart + m_piece.size();
      if (!cached && (n - got >= StoreDb::kChunkSize || pos + (n - got) >= m_size)) {
        // A large read, or one that takes the rest of the value, goes
        // straight into the caller's buffer.
        size_t read = 0;
        HRESULT hr = m_db->readRange(m_id, m_propId, pos, out + got, n - got, read);
        if (FAILED(hr)) return hr;
        got += read;
        if (read == 0) break;
        continue;
      }
      if (!cached) {
        uint64_t start = pos - pos % StoreDb::kChunkSize;
        m_piece.resize(static_cast<size_t>(std::min<uint64_t>(StoreDb::kChunkSize, m_size - start)));
        size_t read = 0;
        HRESULT hr = m_db->readRange(m_id, m_propId, start, &m_piece[0], m_piece.size(), read);
        if (FAILED(hr)) {
          m_piece.clear();
          return hr;
        }
        m_piece.resize(read);
        m_pieceStart = start;
        if (read == 0) break;  // the stored value is shorter than it was
      }
      size_t within = static_cast<size_t>(pos - m_pieceStart);
      size_t take = std::min(n - got, m_piece.size() - within);
      memcpy(out + got, m_piece.data() + within, take);
      got += take;
    }
    return S_OK;
  }

  uint64_t currentSize() const {
    switch (m_source) {
      case Source::Stored: return m_size;
      case Source::Memory: return m_bytes.size();
      case Source::Staged: return m_staged->size();
    }
    return 0;
  }

  Source m_source;
  bool m_writable;
  uint64_t m_pos = 0;
  std::string m_piece;  // a stored piece starting at m_pieceStart
  uint64_t m_pieceStart = 0;
};

}  // namespace

HRESULT createStoredStream(std::shared_ptr<StoreDb> db, ObjectId id, ULONG propId, uint64_t size, IStream** out) {
  PropStream* s = new PropStream(PropStream::Source::Stored, false);
  s->m_db = std::move(db);
  s->m_id = id;
  s->m_propId = propId;
  s->m_size = size;
  *out = s;
  return S_OK;
}

HRESULT createMemoryStream(std::string bytes, IStream** out) {
  PropStream* s = new PropStream(PropStream::Source::Memory, false);
  s->m_bytes = std::move(bytes);
  *out = s;
  return S_OK;
}

HRESULT createStagedStream(std::shared_ptr<StagedValue> value, bool writable, IStream** out) {
  PropStream* s = new PropStream(PropStream::Source::Staged, writable);
  s->m_staged = std::move(value);
  *out = s;
  return S_OK;
}

namespace {
bool isStreamableType(ULONG type) { return type == PT_BINARY || type == PT_STRING8 || type == PT_UNICODE; }
}  // namespace

HRESULT openPropertyStream(const std::shared_ptr<StoreDb>& db, PropState& st, ULONG tag, ULONG options, ULONG flags,
                           bool objectWritable, IStream** out, std::string& text) {
  *out = nullptr;
  ULONG type = PROP_TYPE(tag);
  ULONG id = PROP_ID(tag);
  if (!isStreamableType(type)) {
    text = "OpenProperty: property " + tagText(tag) + " is not a string or binary value and has no stream";
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
  }
  bool create = (flags & MAPI_CREATE) != 0;
  bool write = create || (flags & MAPI_MODIFY) || (options & (STGM_WRITE | STGM_READWRITE));
  if (write && !objectWritable) {
    text = "OpenProperty: the object was opened for reading only";
    return MAPI_E_NO_ACCESS;
  }

  // Where the current value is: deleted, set in memory, staged, stored.
  bool deleted = st.deleted.count(id) != 0;
  auto inSet = st.set.find(id);
  auto inStaged = st.staged.find(id);
  ULONG outTag = 0;
  bool exists = false;
  uint64_t storedSize = 0;
  if (!deleted && inSet != st.set.end()) {
    exists = typeAnswers(inSet->second.tag, type, outTag);
  } else if (!deleted && inStaged != st.staged.end()) {
    exists = typeAnswers(inStaged->second.tag, type, outTag);
  } else if (!deleted && st.id) {
    ULONG storedType = 0;
    bool found = false;
    HRESULT hr = db->valueInfo(st.id, id, storedType, storedSize, found);
    if (FAILED(hr) && hr != MAPI_E_INVALID_TYPE) {
      text = "OpenProperty: " + db->lastError();
      return hr;
    }
    exists = SUCCEEDED(hr) && found && typeAnswers(PROP_TAG(storedType, id), type, outTag);
  }

  // Where the bytes come from, and whether they are UTF-16LE already (a
  // value written through a PT_UNICODE stream and not yet stored).
  bool fromSet = !deleted && inSet != st.set.end();
  bool fromStaged = !fromSet && !deleted && inStaged != st.staged.end();
  bool sourceUtf16 = fromStaged && inStaged->second.utf16;
  bool convert = exists && (type == PT_UNICODE) != sourceUtf16;
  auto openSource = [&](IStream** src) -> HRESULT {
    if (fromSet) return createMemoryStream(inSet->second.bytes, src);
    if (fromStaged) return createStagedStream(inStaged->second.value, false, src);
    return createStoredStream(db, st.id, id, storedSize, src);
  };
  // The value as this stream's type carries it, converted piece by piece
  // into a temporary file.
  auto converted = [&](std::shared_ptr<StagedValue>& value) -> HRESULT {
    IStream* src = nullptr;
    HRESULT hr = openSource(&src);
    if (FAILED(hr)) return hr;
    hr = convertToStaged(
        [src](uint64_t, void* buf, size_t n, size_t& got) -> HRESULT {
          ULONG g = 0;
          HRESULT r = src->Read(buf, static_cast<ULONG>(n), &g);
          got = g;
          return r;
        },
        type == PT_UNICODE, value, text);
    src->Release();
    return hr;
  };

  if (!write) {
    if (!exists) {
      text = "OpenProperty: the object has no property " + tagText(tag);
      return MAPI_E_NOT_FOUND;
    }
    if (convert) {
      std::shared_ptr<StagedValue> value;
      HRESULT hr = converted(value);
      if (FAILED(hr)) {
        text = "OpenProperty: " + text;
        return hr;
      }
      return createStagedStream(value, false, out);
    }
    return openSource(out);
  }

  if (!exists && !create) {
    text = "OpenProperty: the object has no property " + tagText(tag) + " (MAPI_CREATE makes it)";
    return MAPI_E_NOT_FOUND;
  }
  std::shared_ptr<StagedValue> value;
  HRESULT hr = S_OK;
  if (exists && !create && convert) {
    hr = converted(value);
    if (FAILED(hr)) {
      text = "OpenProperty: " + text;
      return hr;
    }
  } else {
    hr = StagedValue::create(value, text);
    if (FAILED(hr)) return hr;
  }
  if (exists && !create && !convert) {
    // Modifying in place: the new value starts as a copy of the old one,
    // copied piece by piece.
    IStream* src = nullptr;
    hr = openSource(&src);
    if (FAILED(hr)) {
      text = "OpenProperty: the value of " + tagText(tag) + " could not be opened";
      return hr;
    }
    std::vector<char> buf(kCopyPiece);
    uint64_t off = 0;
    for (;;) {
      ULONG got = 0;
      hr = src->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
      if (FAILED(hr) || got == 0) break;
      hr = value->write(off, buf.data(), got);
      if (FAILED(hr)) break;
      off += got;
    }
    src->Release();
    if (FAILED(hr)) {
      text = "OpenProperty: the value of " + tagText(tag) + " could not be copied for writing";
      return hr;
    }
  }
  st.setStaged(PROP_TAG(type, id), value);
  return createStagedStream(value, true, out);
}

}  // namespace tmapi
