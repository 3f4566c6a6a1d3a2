// The store engines: the table from which the runtime picks the engine of a
// store by its location, as the profile names it. A file path is SQLite's,
// the embedded default; a PostgreSQL connection string or URI
// ("postgresql://...", "host=... dbname=...", "service=...") is
// PostgreSQL's, whose engine lives in a module of its own
// (libtolvane-mapi-pg.so, on libpq), loaded on first use.
#ifndef TOLVANE_MAPI_ENGINES_H
#define TOLVANE_MAPI_ENGINES_H

#include "store/storedb.h"

#include <string>

namespace tmapi {

struct StoreEngine {
  const char* name;  // "sqlite", "postgresql"
  // Whether the location names a store of this engine.
  bool (*claims)(const std::string& location);
  HRESULT (*create)(const std::string& location, const std::string& displayName, MAPIUID& uid, std::string& error);
  HRESULT (*open)(const std::string& location, StoreDb** db, std::string& error);
  // Removes the store and everything it holds (a profile purged, or its
  // creation undone). A store that is not there is no failure; error says
  // why another failed, in a few words.
  HRESULT (*destroy)(const std::string& location, std::string& error);
  // The location as lists, logs and error texts may show it: without any
  // secret it holds.
  std::string (*shown)(const std::string& location);
  // Copies of stores (store/storecopy.h), kept apart from the store at
  // their location until StoreDb::finishCopy. createCopy makes an empty
  // one (no objects) with the identity given; MAPI_E_COLLISION when an
  // unfinished copy is there already, or when the engine makes the copy in
  // the place of a store there (SQLite) and that store is not bare (the
  // others refuse it at finishCopy). openCopy opens
  // the unfinished copy at location (MAPI_E_NOT_FOUND when there is none;
  // what a process killed while it made one left, which holds nothing, is
  // removed then); destroyCopy removes it (none there is no failure).
  HRESULT (*createCopy)(const std::string& location, const StoreIdentity& identity, std::string& error);
  HRESULT (*openCopy)(const std::string& location, StoreDb** db, std::string& error);
  HRESULT (*destroyCopy)(const std::string& location, std::string& error);
};

// The engine of a location: the first of the table that claims it, else
// SQLite's (a path).
const StoreEngine& storeEngineFor(const std::string& location);

// What the PostgreSQL module gives: its engine (claims and shown are the
// core library's, below, so that profiles are handled without the module).
using PgEngineEntry = const StoreEngine* ();
#define TOLVANE_PG_ENGINE_SYMBOL "tolvane_mapi_pg_engine"

}  // namespace tmapi

#endif
