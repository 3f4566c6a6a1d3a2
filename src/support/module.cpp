// The module's load and unload. Loading starts nothing of MAPI (initMapi
// does); unloading ends MAPI once when this module started it. MAPI counts
// its starts and ends: an end without a start of ours would take MAPI away
// from another user in the same process.
#include "session/mapisession.h"

#include <mapix.h>

namespace {

class CMapiApp {
 public:
  CMapiApp() = default;
  ~CMapiApp() { ExitInstance(); }
  CMapiApp(const CMapiApp&) = delete;
  CMapiApp& operator=(const CMapiApp&) = delete;

  int ExitInstance() {
    if (g_bMapiInitialized) MAPIUninitialize();
    return 0;
  }
};

// Destroyed when the library is unloaded (process detach on Windows).
CMapiApp theApp;

}  // namespace
