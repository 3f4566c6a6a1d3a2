#include "runtime/modules.h"

#include <dlfcn.h>

#include <cstdlib>

#include <map>
#include <mutex>

namespace tmapi {

namespace {

std::mutex g_mu;
std::map<std::string, void*> g_loaded;  // by module name; never unloaded

// The folder of the file this code was loaded from, with a trailing slash;
// "" when it cannot be told.
std::string ownFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&moduleSymbol), &info) == 0 || !info.dli_fname) return "";
  std::string file = info.dli_fname;
  size_t slash = file.rfind('/');
  return slash == std::string::npos ? "" : file.substr(0, slash + 1);
}

}  // namespace

void* moduleSymbol(const char* name, const char* symbol, std::string& error) {
  std::lock_guard<std::mutex> lock(g_mu);
  void*& handle = g_loaded[name];
  if (!handle) {
    std::string file = std::string("libtolvane-mapi-") + name + ".so";
    const char* chosen = getenv("TOLVANE_MAPI_MODULE_DIR");
    std::string folder = chosen && *chosen ? std::string(chosen) + "/" : ownFolder();
    // RTLD_NOW: a module that cannot be bound fails here, not half-way
    // through a call.
    if (!folder.empty()) handle = dlopen((folder + file).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && !(chosen && *chosen)) handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      error = "the module " + file + " cannot be loaded: " + (why ? why : "not found");
      return nullptr;
    }
  }
  dlerror();
  void* address = dlsym(handle, symbol);
  if (!address) {
    const char* why = dlerror();
    error = std::string("the module libtolvane-mapi-") + name + ".so has no " + symbol + (why ? std::string(": ") + why : "");
  }
  return address;
}

}  // namespace tmapi
