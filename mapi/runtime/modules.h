// Parts of the subsystem that need large libraries which most processes
// never use live in modules of their own, loaded on first use: the compound
// file writer of .msg files (libtolvane-mapi-cfb.so, on libgsf and through it
// libxml2 and ICU) and the SMTP transport (libtolvane-mapi-smtp.so, on
// libESMTP and OpenSSL). A process that only delivers mail (`tolvane-mapi
// deliver`, started once per message by a mail server) then loads neither,
// and starts in about half the time.
//
// A module is looked for in the folder of this library (where the build and
// `make install` put it), then by the dynamic linker's search path; when
// TOLVANE_MAPI_MODULE_DIR is set, in that folder only (an installation that
// keeps the modules apart).
#ifndef TOLVANE_MAPI_MODULES_H
#define TOLVANE_MAPI_MODULES_H

#include <string>

namespace tmapi {

// The address of `symbol` (an extern "C" function) in the module `name`
// ("cfb", "smtp"), which is loaded once and stays loaded. Null when the
// module or the symbol cannot be found; error then says why.
void* moduleSymbol(const char* name, const char* symbol, std::string& error);

// moduleSymbol, cast to the function type the caller knows it has.
template <class Function>
Function* moduleFunction(const char* name, const char* symbol, std::string& error) {
  return reinterpret_cast<Function*>(moduleSymbol(name, symbol, error));
}

}  // namespace tmapi

#endif
