// The structured-storage entry points of the subsystem. Writing the compound
// file takes libgsf, so the writer is a module (storage.cpp, built as
// libtolvane-mapi-cfb.so) that the first StgCreateDocfile loads.
#include "msgfile/storage.h"

#include "msgfile/spool.h"
#include "runtime/modules.h"
#include "runtime/text.h"
#include "runtime/testctl_internal.h"

#include <mapiutil.h>

#include <atomic>
#include <cstdio>

namespace tmapi {
namespace msgfile {

namespace {

std::atomic<size_t> g_memoryLimit{Spool::kDefaultMemLimit};

}  // namespace

std::string flagsText(DWORD v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void setStreamMemoryLimit(size_t bytes) { g_memoryLimit.store(bytes ? bytes : Spool::kDefaultMemLimit); }

size_t streamMemoryLimit() { return g_memoryLimit.load(); }

HRESULT createDocfile(const std::string& path, DWORD grfMode, IStorage** storage) {
  *storage = nullptr;
  using Create = HRESULT(const char*, DWORD, IStorage**);
  std::string error;
  Create* create = moduleFunction<Create>("cfb", "tolvane_cfb_create", error);
  if (!create) return STG_E_UNIMPLEMENTEDFUNCTION;
  return create(path.c_str(), grfMode, storage);
}

}  // namespace msgfile
}  // namespace tmapi

using tmapi::wideToUtf8;

extern "C" HRESULT STDAPICALLTYPE StgCreateDocfile(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved,
                                                   IStorage** ppstgOpen) {
  if (ppstgOpen) *ppstgOpen = nullptr;
  TM_CALL("StgCreateDocfile", "name=" + wideToUtf8(pwcsName) + " mode=" + tmapi::msgfile::flagsText(grfMode));
  if (!ppstgOpen) return STG_E_INVALIDPOINTER;
  if (reserved) return STG_E_INVALIDPARAMETER;
  if (!pwcsName) return STG_E_INVALIDNAME;
  return tmapi::msgfile::createDocfile(wideToUtf8(pwcsName), grfMode, ppstgOpen);
}

extern "C" HRESULT STDAPICALLTYPE WriteClassStg(IStorage* pStg, REFCLSID rclsid) {
  TM_CALL("WriteClassStg", "");
  if (!pStg) return E_INVALIDARG;
  return pStg->SetClass(rclsid);
}

extern "C" HRESULT STDAPICALLTYPE ReadClassStg(IStorage* pStg, CLSID* pclsid) {
  TM_CALL("ReadClassStg", "");
  if (!pStg || !pclsid) return E_INVALIDARG;
  STATSTG st;
  HRESULT hr = pStg->Stat(&st, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  *pclsid = st.clsid;
  return S_OK;
}
