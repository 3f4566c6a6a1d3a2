// The module's load and unload. Loading starts nothing of MAPI (initMapi
// does); unloading ends MAPI once, whether or not it was ever started.
#include <mapix.h>

namespace {

class CMapiApp {
 public:
  CMapiApp() = default;
  ~CMapiApp() { ExitInstance(); }
  CMapiApp(const CMapiApp&) = delete;
  CMapiApp& operator=(const CMapiApp&) = delete;

  int ExitInstance() {
    MAPIUninitialize();
    return 0;
  }
};

// Destroyed when the library is unloaded (process detach on Windows).
CMapiApp theApp;

}  // namespace
