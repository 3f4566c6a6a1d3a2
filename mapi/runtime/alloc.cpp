// MAPI memory: MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, and the
// process-wide IMalloc of MAPIGetDefaultMalloc.
//
// Every block carries a header in front of the caller's bytes. A root block
// (MAPIAllocateBuffer) heads a chain of the blocks allocated on it with
// MAPIAllocateMore; freeing the root frees the whole chain. Roots are also
// kept in a registry, so that MAPIFreeBuffer can tell a root from a child
// block, a freed block or a stray pointer without reading memory that may
// not belong to it: such frees fail with MAPI_E_INVALID_PARAMETER instead of
// corrupting the heap.
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiutil.h>
#include <mapix.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

namespace {

constexpr uint64_t kRootMagic = 0x544D415049524F4Full;  // "TMAPIROO"
constexpr uint64_t kMoreMagic = 0x544D4150494D4F52ull;  // "TMAPIMOR"
constexpr uint64_t kDeadMagic = 0x544D41504944454Full;  // "TMAPIDEO"

// 32 bytes, so the caller's bytes keep malloc's 16-byte alignment.
struct alignas(16) BlockHeader {
  uint64_t magic;
  std::atomic<BlockHeader*> next;  // root: first child; child: next sibling
  size_t size;
  uint64_t reserved;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "the header keeps the alignment of malloc");

inline BlockHeader* headerOf(void* p) { return static_cast<BlockHeader*>(p) - 1; }
inline void* bytesOf(BlockHeader* h) { return h + 1; }

// The live roots. Never destroyed: buffers may be freed by static destructors.
struct Registry {
  std::mutex mu;
  std::unordered_set<const void*> roots;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

bool isRoot(const void* p) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.roots.count(p) != 0;
}

BlockHeader* newBlock(ULONG cbSize, uint64_t magic) {
  void* raw = malloc(sizeof(BlockHeader) + static_cast<size_t>(cbSize));
  if (!raw) return nullptr;
  BlockHeader* h = new (raw) BlockHeader;
  h->magic = magic;
  h->next.store(nullptr, std::memory_order_relaxed);
  h->size = cbSize;
  h->reserved = 0;
  return h;
}

void freeBlock(BlockHeader* h) {
  h->magic = kDeadMagic;
  h->~BlockHeader();
  free(h);
}

std::string sizeDetail(ULONG cb) { return "cb=" + std::to_string(cb); }

}  // namespace

extern "C" SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  TM_CALL("MAPIAllocateBuffer", sizeDetail(cbSize));
  BlockHeader* h = newBlock(cbSize, kRootMagic);
  if (!h) return MAPI_E_NOT_ENOUGH_MEMORY;
  void* p = bytesOf(h);
  try {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.roots.insert(p);
  } catch (...) {
    freeBlock(h);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  tmapi::countBuffer(1);
  *lppBuffer = p;
  return S_OK;
}

extern "C" SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  TM_CALL("MAPIAllocateMore", sizeDetail(cbSize));
  // The parent has to be a live root: a child of a child would outlive the
  // chain it is linked into.
  if (!lpObject || !isRoot(lpObject)) return MAPI_E_INVALID_PARAMETER;
  BlockHeader* root = headerOf(lpObject);
  if (root->magic != kRootMagic) return MAPI_E_INVALID_PARAMETER;
  BlockHeader* h = newBlock(cbSize, kMoreMagic);
  if (!h) return MAPI_E_NOT_ENOUGH_MEMORY;
  // Link at the head of the root's chain; allocations on one root from
  // several threads stay consistent.
  BlockHeader* first = root->next.load(std::memory_order_relaxed);
  do {
    h->next.store(first, std::memory_order_relaxed);
  } while (!root->next.compare_exchange_weak(first, h, std::memory_order_release, std::memory_order_relaxed));
  *lppBuffer = bytesOf(h);
  return S_OK;
}

extern "C" ULONG WINAPI MAPIFreeBuffer(LPVOID lpBuffer) {
  if (!lpBuffer) return S_OK;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.roots.erase(lpBuffer) == 0) {
      // A child block, a block freed already, or not ours at all.
      return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
    }
  }
  BlockHeader* root = headerOf(lpBuffer);
  if (root->magic != kRootMagic) {
    // Registered but the header was overwritten: something wrote in front
    // of the buffer. Leak it rather than hand a broken block to free().
    fprintf(stderr, "tolvane-mapi: MAPIFreeBuffer: the header of buffer %p is damaged\n", lpBuffer);
    tmapi::countBuffer(-1);
    return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  }
  BlockHeader* child = root->next.load(std::memory_order_acquire);
  while (child) {
    BlockHeader* next = child->next.load(std::memory_order_relaxed);
    freeBlock(child);
    child = next;
  }
  freeBlock(root);
  tmapi::countBuffer(-1);
  return S_OK;
}

namespace {

// The process-wide IMalloc: malloc and free with a size word in front, so
// that GetSize can answer. It lives as long as the process and is not counted
// as a live MAPI object.
class DefaultMalloc : public IMalloc {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    if (riid == IID_IUnknown || riid == IID_IMalloc) {
      *ppv = static_cast<IMalloc*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  void* STDMETHODCALLTYPE Alloc(SIZE_T cb) override {
    auto* p = static_cast<Prefix*>(malloc(sizeof(Prefix) + cb));
    if (!p) return nullptr;
    p->size = cb;
    return p + 1;
  }
  void* STDMETHODCALLTYPE Realloc(void* pv, SIZE_T cb) override {
    if (!pv) return Alloc(cb);
    if (cb == 0) {
      Free(pv);
      return nullptr;
    }
    auto* p = static_cast<Prefix*>(realloc(static_cast<Prefix*>(pv) - 1, sizeof(Prefix) + cb));
    if (!p) return nullptr;
    p->size = cb;
    return p + 1;
  }
  void STDMETHODCALLTYPE Free(void* pv) override {
    if (pv) free(static_cast<Prefix*>(pv) - 1);
  }
  SIZE_T STDMETHODCALLTYPE GetSize(void* pv) override {
    return pv ? static_cast<Prefix*>(pv)[-1].size : static_cast<SIZE_T>(-1);
  }
  int STDMETHODCALLTYPE DidAlloc(void*) override { return -1; }  // cannot tell
  void STDMETHODCALLTYPE HeapMinimize() override {}

 private:
  struct alignas(16) Prefix {
    SIZE_T size;
  };
};

}  // namespace

extern "C" LPMALLOC STDAPICALLTYPE MAPIGetDefaultMalloc(void) {
  static DefaultMalloc* instance = new DefaultMalloc;
  return instance;
}
