// The compound file writer on libgsf: the module libtolvane-mapi-cfb.so
// (runtime/modules.h), loaded by the first StgCreateDocfile
// (storage_entry.cpp).
#include "msgfile/storage.h"

#include "msgfile/spool.h"
#include "runtime/text.h"
#include "runtime/object.h"
#include "runtime/testctl_internal.h"

#include <mapiutil.h>

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tmapi {
namespace msgfile {

namespace {

constexpr HRESULT kStgReverted = static_cast<HRESULT>(0x80030102u);  // STG_E_REVERTED
constexpr size_t kCopyChunk = 64 * 1024;
constexpr size_t kMaxNameUnits = 31;  // a directory entry holds 32 UTF-16 units with the NUL

HRESULT errnoToStg(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return STG_E_ACCESSDENIED;
    case EEXIST:
      return STG_E_FILEALREADYEXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return STG_E_MEDIUMFULL;
    case EMFILE:
    case ENFILE:
      return STG_E_TOOMANYOPENFILES;
    case ENOMEM:
      return STG_E_INSUFFICIENTMEMORY;
    case ENAMETOOLONG:
      return STG_E_INVALIDNAME;
    default:
      return STG_E_WRITEFAULT;
  }
}

bool writeAccess(DWORD mode) { return (mode & 3) == STGM_WRITE || (mode & 3) == STGM_READWRITE; }

HRESULT checkName(const OLECHAR* name, std::string& utf8) {
  if (!name) return STG_E_INVALIDPOINTER;
  size_t units = 0;
  for (const OLECHAR* p = name; *p; ++p) {
    if (*p == L'/' || *p == L'\\' || *p == L':' || *p == L'!') return STG_E_INVALIDNAME;
    units += (sizeof(OLECHAR) == 4 && static_cast<uint32_t>(*p) >= 0x10000) ? 2 : 1;
  }
  if (units == 0 || units > kMaxNameUnits) return STG_E_INVALIDNAME;
  utf8 = wideToUtf8(name);
  return S_OK;
}

// One storage or stream of the file.
struct Node {
  std::string name;
  bool isStorage = false;
  Node* parent = nullptr;
  bool removed = false;  // replaced by a new element of the same name
  // Storage
  std::vector<std::shared_ptr<Node>> children;
  CLSID clsid{};
  bool hasClass = false;
  // Stream
  std::unique_ptr<Spool> data;  // bytes not yet in the file
  uint64_t size = 0;
  bool inFile = false;  // the bytes are complete in the file
  // The element in the file, once opened there (a directory: GsfOutfile).
  GsfOutput* gsf = nullptr;
};

// The file being written: shared by every storage and stream of it.
class Docfile {
 public:
  Docfile(std::string path, std::string tempPath, FILE* fp, GsfOutput* sink, GsfOutfile* root)
      : m_path(std::move(path)), m_tempPath(std::move(tempPath)), m_fp(fp), m_sink(sink), m_rootFile(root) {
    m_root = std::make_shared<Node>();
    m_root->isStorage = true;
    m_root->gsf = GSF_OUTPUT(root);
  }
  ~Docfile() {
    if (!m_final) discard();
  }

  const std::shared_ptr<Node>& root() const { return m_root; }
  bool final() const { return m_final; }
  HRESULT broken() const { return m_broken; }

  HRESULT write(Node* node, const void* data, ULONG cb);
  void endStream(Node* node);  // the stream's last interface went away
  // Writes the file and puts it in place; toDisk also waits until it is on
  // the disk (fdatasync) before the rename.
  HRESULT commit(bool toDisk);

 private:
  HRESULT fail(HRESULT hr) {
    m_broken = hr;
    discard();
    return hr;
  }
  HRESULT ensureDir(Node* node);
  HRESULT closeElement(Node* node);
  HRESULT writeTree(Node* node);
  HRESULT gsfWrite(GsfOutput* out, const void* data, size_t n);
  void discard();
  void closeQuietly(Node* node);

  std::string m_path;
  std::string m_tempPath;
  FILE* m_fp;
  GsfOutput* m_sink;
  GsfOutfile* m_rootFile;
  std::shared_ptr<Node> m_root;
  Node* m_passing = nullptr;  // the stream whose bytes go straight into the file
  std::string m_copyBuf;      // streams' bytes on their way into the file
  bool m_final = false;
  bool m_discarded = false;
  HRESULT m_broken = S_OK;
};

// libgsf does not always pass on a failed write of its stdio sink: the
// stream's error flag is checked as well.
HRESULT Docfile::gsfWrite(GsfOutput* out, const void* data, size_t n) {
  errno = 0;
  bool ok = gsf_output_write(out, n, static_cast<const guint8*>(data));
  int err = errno;
  if (ok && !ferror(m_fp)) return S_OK;
  return err ? errnoToStg(err) : STG_E_WRITEFAULT;
}

HRESULT Docfile::ensureDir(Node* node) {
  if (node->gsf) return S_OK;
  HRESULT hr = ensureDir(node->parent);
  if (FAILED(hr)) return hr;
  node->gsf = gsf_outfile_new_child(GSF_OUTFILE(node->parent->gsf), node->name.c_str(), TRUE);
  return node->gsf ? S_OK : STG_E_WRITEFAULT;
}

HRESULT Docfile::write(Node* node, const void* data, ULONG cb) {
  if (m_broken != S_OK) return m_broken;
  if (m_final || node->removed || node->inFile) return kStgReverted;
  if (cb == 0) return S_OK;
  if (node == m_passing) {
    HRESULT hr = gsfWrite(node->gsf, data, cb);
    if (FAILED(hr)) return fail(hr);
    node->size += cb;
    return S_OK;
  }
  size_t limit = streamMemoryLimit();
  if (!m_passing && node->data->size() + cb > limit) {
    // Becomes the stream passing through: what it holds goes first.
    HRESULT hr = ensureDir(node->parent);
    if (FAILED(hr)) return fail(hr);
    node->gsf = gsf_outfile_new_child(GSF_OUTFILE(node->parent->gsf), node->name.c_str(), FALSE);
    if (!node->gsf) return fail(STG_E_WRITEFAULT);
    m_passing = node;
    std::string buf(kCopyChunk, '\0');
    uint64_t off = 0;
    for (;;) {
      size_t got = 0;
      int err = 0;
      if (!node->data->read(off, &buf[0], buf.size(), got, err)) return fail(errnoToStg(err));
      if (got == 0) break;
      hr = gsfWrite(node->gsf, buf.data(), got);
      if (FAILED(hr)) return fail(hr);
      off += got;
    }
    node->data->clear();
    hr = gsfWrite(node->gsf, data, cb);
    if (FAILED(hr)) return fail(hr);
    node->size += cb;
    return S_OK;
  }
  int err = 0;
  if (!node->data->append(data, cb, err)) return errnoToStg(err);
  node->size += cb;
  return S_OK;
}

HRESULT Docfile::closeElement(Node* node) {
  if (!node->gsf) return S_OK;
  errno = 0;
  gboolean ok = gsf_output_close(node->gsf);
  int err = errno;
  g_object_unref(node->gsf);
  node->gsf = nullptr;
  if (!node->isStorage) {
    node->inFile = true;
    node->data.reset();
    if (m_passing == node) m_passing = nullptr;
  }
  if (ok && !ferror(m_fp)) return S_OK;
  return err ? errnoToStg(err) : STG_E_WRITEFAULT;
}

void Docfile::endStream(Node* node) {
  if (node != m_passing || m_broken != S_OK || m_final) return;
  HRESULT hr = closeElement(node);
  if (FAILED(hr)) fail(hr);
}

HRESULT Docfile::writeTree(Node* node) {
  HRESULT hr = ensureDir(node);
  if (FAILED(hr)) return hr;
  if (node->hasClass && GSF_IS_OUTFILE_MSOLE(node->gsf))
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(node->gsf), reinterpret_cast<const guint8*>(&node->clsid));
  for (const auto& child : node->children) {
    if (child->isStorage) {
      hr = writeTree(child.get());
      if (FAILED(hr)) return hr;
      hr = closeElement(child.get());
      if (FAILED(hr)) return hr;
      continue;
    }
    if (child->inFile) continue;
    if (!child->gsf) {
      child->gsf = gsf_outfile_new_child(GSF_OUTFILE(node->gsf), child->name.c_str(), FALSE);
      if (!child->gsf) return STG_E_WRITEFAULT;
      // One buffer for every stream of the tree: a .msg file has dozens.
      if (m_copyBuf.empty()) m_copyBuf.resize(kCopyChunk);
      uint64_t off = 0;
      for (;;) {
        size_t got = 0;
        int err = 0;
        if (!child->data->read(off, &m_copyBuf[0], m_copyBuf.size(), got, err)) return errnoToStg(err);
        if (got == 0) break;
        hr = gsfWrite(child->gsf, m_copyBuf.data(), got);
        if (FAILED(hr)) return hr;
        off += got;
      }
    }
    hr = closeElement(child.get());
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Docfile::commit(bool toDisk) {
  if (m_broken != S_OK) return m_broken;
  if (m_final) return S_OK;
  // The stream passing through is finished first: libgsf writes one stream
  // at a time.
  HRESULT hr = m_passing ? closeElement(m_passing) : S_OK;
  if (SUCCEEDED(hr)) hr = writeTree(m_root.get());
  if (FAILED(hr)) return fail(hr);
  // Closing the root writes the directory and allocation tables and closes
  // the sink.
  Node* root = m_root.get();
  errno = 0;
  gboolean ok = gsf_output_close(root->gsf);
  int err = errno;
  g_object_unref(root->gsf);
  root->gsf = nullptr;
  m_rootFile = nullptr;
  g_object_unref(m_sink);
  m_sink = nullptr;
  if (!ok || ferror(m_fp)) return fail(err ? errnoToStg(err) : STG_E_WRITEFAULT);
  errno = 0;
  if (fflush(m_fp) != 0 || ferror(m_fp) || (toDisk && fdatasync(fileno(m_fp)) != 0)) {
    err = errno;
    return fail(err ? errnoToStg(err) : STG_E_WRITEFAULT);
  }
  FILE* fp = m_fp;
  m_fp = nullptr;
  if (fclose(fp) != 0) return fail(errnoToStg(errno));
  if (rename(m_tempPath.c_str(), m_path.c_str()) != 0) return fail(errnoToStg(errno));
  m_final = true;
  return S_OK;
}

void Docfile::closeQuietly(Node* node) {
  for (const auto& child : node->children) closeQuietly(child.get());
  if (node->gsf && node != m_root.get()) {
    gsf_output_close(node->gsf);
    g_object_unref(node->gsf);
    node->gsf = nullptr;
  }
}

// Drops what was written: the temporary file goes, the target stays as
// StgCreateDocfile left it.
void Docfile::discard() {
  if (m_discarded) return;
  m_discarded = true;
  m_passing = nullptr;
  closeQuietly(m_root.get());
  if (m_root->gsf) {
    gsf_output_close(m_root->gsf);
    g_object_unref(m_root->gsf);
    m_root->gsf = nullptr;
  }
  if (m_sink) {
    if (!gsf_output_is_closed(m_sink)) gsf_output_close(m_sink);
    g_object_unref(m_sink);
    m_sink = nullptr;
  }
  if (m_fp) {
    fclose(m_fp);
    m_fp = nullptr;
  }
  unlink(m_tempPath.c_str());
}

class DocStream : public IStream, public ObjectBase {
 public:
  DocStream(std::shared_ptr<Docfile> file, std::shared_ptr<Node> node)
      : m_file(std::move(file)), m_node(std::move(node)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
      AddRef();
      *ppv = static_cast<IStream*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* pcbRead) override {
    TM_CALL("IStream::Read", "");
    if (pcbRead) *pcbRead = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    TM_CALL("IStream::Write", "cb=" + std::to_string(cb));
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    HRESULT hr = m_file->write(m_node.get(), pv, cb);
    if (SUCCEEDED(hr) && pcbWritten) *pcbWritten = cb;
    return hr;
  }
  // Streams are written front to back: a seek may only name the end.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
    TM_CALL("IStream::Seek", "origin=" + std::to_string(origin));
    int64_t base = origin == STREAM_SEEK_SET ? 0 : static_cast<int64_t>(m_node->size);
    if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
    int64_t target = base + move.QuadPart;
    if (target != static_cast<int64_t>(m_node->size)) return STG_E_INVALIDFUNCTION;
    if (newPos) newPos->QuadPart = m_node->size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    TM_CALL("IStream::SetSize", "size=" + std::to_string(size.QuadPart));
    // A size hint for what is about to be written is fine.
    return size.QuadPart >= m_node->size ? S_OK : STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    TM_CALL("IStream::CopyTo", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    TM_CALL("IStream::Commit", "");
    return m_file->broken() != S_OK ? m_file->broken() : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Revert() override {
    TM_CALL("IStream::Revert", "");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    TM_CALL("IStream::LockRegion", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    TM_CALL("IStream::UnlockRegion", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** pp) override {
    TM_CALL("IStream::Clone", "");
    if (pp) *pp = nullptr;
    return STG_E_INVALIDFUNCTION;
  }

 private:
  ~DocStream() override { m_file->endStream(m_node.get()); }

  std::shared_ptr<Docfile> m_file;
  std::shared_ptr<Node> m_node;
};

HRESULT fillStat(const Node& node, STATSTG* st, DWORD flags) {
  if (!st) return STG_E_INVALIDPOINTER;
  memset(st, 0, sizeof *st);
  if (!(flags & STATFLAG_NONAME)) {
    std::wstring w = utf8ToWideString(node.name);
    void* p = MAPIGetDefaultMalloc()->Alloc((w.size() + 1) * sizeof(OLECHAR));
    if (!p) return STG_E_INSUFFICIENTMEMORY;
    memcpy(p, w.c_str(), (w.size() + 1) * sizeof(OLECHAR));
    st->pwcsName = static_cast<LPOLESTR>(p);
  }
  st->type = node.isStorage ? STGTY_STORAGE : STGTY_STREAM;
  st->cbSize.QuadPart = node.isStorage ? 0 : node.size;
  st->grfMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  st->clsid = node.clsid;
  return S_OK;
}

HRESULT DocStream::Stat(STATSTG* st, DWORD flags) {
  TM_CALL("IStream::Stat", "");
  return fillStat(*m_node, st, flags);
}

class DocStorage : public IStorage, public ObjectBase {
 public:
  DocStorage(std::shared_ptr<Docfile> file, std::shared_ptr<Node> node, DWORD mode)
      : m_file(std::move(file)), m_node(std::move(node)), m_mode(mode) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IStorage) {
      AddRef();
      *ppv = static_cast<IStorage*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  TM_REFCOUNT_METHODS

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, IStream** pp) override {
    TM_CALL("IStorage::CreateStream", "name=" + wideToUtf8(name) + " mode=" + flagsText(mode));
    if (!pp) return STG_E_INVALIDPOINTER;
    *pp = nullptr;
    std::shared_ptr<Node> node;
    HRESULT hr = newChild(name, mode, r1, r2, false, node);
    if (FAILED(hr)) return hr;
    node->data.reset(new Spool(streamMemoryLimit()));
    *pp = new DocStream(m_file, node);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR*, void*, DWORD, DWORD, IStream** pp) override {
    TM_CALL("IStorage::OpenStream", "");
    if (pp) *pp = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, IStorage** pp) override {
    TM_CALL("IStorage::CreateStorage", "name=" + wideToUtf8(name) + " mode=" + flagsText(mode));
    if (!pp) return STG_E_INVALIDPOINTER;
    *pp = nullptr;
    std::shared_ptr<Node> node;
    HRESULT hr = newChild(name, mode, r1, r2, true, node);
    if (FAILED(hr)) return hr;
    *pp = new DocStorage(m_file, node, mode);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR*, IStorage*, DWORD, SNB, DWORD, IStorage** pp) override {
    TM_CALL("IStorage::OpenStorage", "");
    if (pp) *pp = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD, const IID*, SNB, IStorage*) override {
    TM_CALL("IStorage::CopyTo", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) override {
    TM_CALL("IStorage::MoveElementTo", "");
    return STG_E_INVALIDFUNCTION;
  }
  // The root's Commit writes the file; a sub-storage has nothing of its own
  // to commit (its elements are already part of the tree).
  // STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE leaves the file to the system's
  // cache (a copy the caller reads and deletes needs no sync).
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    TM_CALL("IStorage::Commit", "flags=" + flagsText(flags));
    if (m_node->removed) return kStgReverted;
    if (m_node->parent) return m_file->broken() != S_OK ? m_file->broken() : S_OK;
    return m_file->commit((flags & STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE) == 0);
  }
  HRESULT STDMETHODCALLTYPE Revert() override {
    TM_CALL("IStorage::Revert", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** pp) override {
    TM_CALL("IStorage::EnumElements", "");
    if (pp) *pp = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR*) override {
    TM_CALL("IStorage::DestroyElement", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR*, const OLECHAR*) override {
    TM_CALL("IStorage::RenameElement", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*,
                                            const FILETIME*) override {
    TM_CALL("IStorage::SetElementTimes", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    TM_CALL("IStorage::SetClass", "");
    if (m_file->broken() != S_OK) return m_file->broken();
    if (m_file->final() || m_node->removed) return kStgReverted;
    m_node->clsid = clsid;
    m_node->hasClass = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD, DWORD) override {
    TM_CALL("IStorage::SetStateBits", "");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD flags) override {
    TM_CALL("IStorage::Stat", "");
    HRESULT hr = fillStat(*m_node, st, flags);
    if (SUCCEEDED(hr)) st->grfMode = m_mode;
    return hr;
  }

 private:
  ~DocStorage() override = default;

  HRESULT newChild(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, bool storage, std::shared_ptr<Node>& out);

  std::shared_ptr<Docfile> m_file;
  std::shared_ptr<Node> m_node;
  DWORD m_mode;
};

HRESULT DocStorage::newChild(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, bool storage,
                             std::shared_ptr<Node>& out) {
  std::string utf8;
  HRESULT hr = checkName(name, utf8);
  if (FAILED(hr)) return hr;
  if (r1 || r2) return STG_E_INVALIDPARAMETER;
  if (!writeAccess(mode) || !(mode & STGM_SHARE_EXCLUSIVE) || (mode & (STGM_CONVERT | STGM_DELETEONRELEASE)))
    return STG_E_INVALIDFLAG;
  if (m_file->broken() != S_OK) return m_file->broken();
  if (m_file->final() || m_node->removed) return kStgReverted;
  auto& kids = m_node->children;
  for (size_t k = 0; k < kids.size(); ++k) {
    // Element names compare without regard to case, as in any compound file.
    if (strcasecmp(kids[k]->name.c_str(), utf8.c_str()) != 0) continue;
    if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    // Replacing is possible while nothing of the old element is in the file.
    std::vector<Node*> todo{kids[k].get()}, subtree;
    while (!todo.empty()) {
      Node* n = todo.back();
      todo.pop_back();
      if (n->gsf || n->inFile) return STG_E_ACCESSDENIED;
      subtree.push_back(n);
      for (const auto& c : n->children) todo.push_back(c.get());
    }
    // Interfaces still held on the old element or inside it are reverted.
    for (Node* n : subtree) n->removed = true;
    kids.erase(kids.begin() + static_cast<long>(k));
    break;
  }
  auto node = std::make_shared<Node>();
  node->name = utf8;
  node->isStorage = storage;
  node->parent = m_node.get();
  kids.push_back(node);
  out = node;
  return S_OK;
}

}  // namespace

HRESULT writeDocfile(const std::string& path, DWORD grfMode, IStorage** storage) {
  *storage = nullptr;
  if (path.empty()) return STG_E_INVALIDNAME;
  if (!writeAccess(grfMode) || (grfMode & (STGM_CONVERT | STGM_DELETEONRELEASE | STGM_SIMPLE | STGM_PRIORITY)))
    return STG_E_INVALIDFLAG;
  // The target is claimed now: made exclusively unless STGM_CREATE allows
  // replacing it, private to the user.
  bool created = true;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST && (grfMode & STGM_CREATE)) {
    created = false;
    fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);  // never through a planted link
  }
  if (fd < 0) return errnoToStg(errno);
  close(fd);
  auto unclaim = [&] {
    if (created) unlink(path.c_str());
  };
  // The content goes to a private file beside it until Commit.
  std::string dir = ".", base = path;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    dir = path.substr(0, slash + 1);
    base = path.substr(slash + 1);
  } else {
    dir = "";
  }
  std::string temp = dir + "." + base + ".XXXXXX";
  int tfd = mkostemp(&temp[0], O_CLOEXEC);
  if (tfd < 0) {
    HRESULT hr = errnoToStg(errno);
    unclaim();
    return hr;
  }
  FILE* fp = fdopen(tfd, "wb");
  if (!fp) {
    HRESULT hr = errnoToStg(errno);
    close(tfd);
    unlink(temp.c_str());
    unclaim();
    return hr;
  }
  GsfOutput* sink = gsf_output_stdio_new_FILE(temp.c_str(), fp, TRUE);
  GsfOutfile* root = sink ? gsf_outfile_msole_new(sink) : nullptr;
  if (!root) {
    if (sink) g_object_unref(sink);
    fclose(fp);
    unlink(temp.c_str());
    unclaim();
    return STG_E_INSUFFICIENTMEMORY;
  }
  auto file = std::make_shared<Docfile>(path, temp, fp, sink, root);
  *storage = new DocStorage(file, file->root(), grfMode);
  return S_OK;
}

}  // namespace msgfile
}  // namespace tmapi

// The module's entry point (runtime/modules.h): StgCreateDocfile of the
// subsystem comes here once the path is checked.
extern "C" HRESULT tolvane_cfb_create(const char* path, DWORD grfMode, IStorage** storage) {
  return tmapi::msgfile::writeDocfile(path, grfMode, storage);
}
