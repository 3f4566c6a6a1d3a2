#include "store/engines.h"

#include "runtime/modules.h"
#include "store/pglocation.h"
#include "store/sqlite_store.h"

#include <mapicode.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tmapi {

namespace {

bool sqliteClaims(const std::string&) { return true; }

HRESULT sqliteOpen(const std::string& location, StoreDb** db, std::string& error) {
  SqliteStoreDb* opened = nullptr;
  HRESULT hr = SqliteStoreDb::open(location, &opened, error);
  *db = opened;
  return hr;
}

HRESULT sqliteDestroy(const std::string& path, std::string& error) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = strerror(errno);
    return MAPI_E_NO_ACCESS;
  }
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  // The files of the store's large values.
  std::string values = path + ".values";
  if (DIR* dir = opendir(values.c_str())) {
    while (struct dirent* e = readdir(dir))
      if (e->d_name[0] != '.') unlink((values + "/" + e->d_name).c_str());
    closedir(dir);
    rmdir(values.c_str());
  }
  return S_OK;
}

std::string sqliteShown(const std::string& path) { return path; }

HRESULT sqliteDestroyCopy(const std::string& path, std::string& error) {
  StoreDb* db = nullptr;
  HRESULT hr = SqliteStoreDb::openCopy(path, &db, error);
  if (hr == MAPI_E_NOT_FOUND) return S_OK;  // no copy there: nothing to remove
  if (FAILED(hr)) return hr;
  delete db;
  return sqliteDestroy(path, error);
}

// The PostgreSQL engine proper is in its module; it is loaded by the first
// store of the engine that is created, opened or removed.
const StoreEngine* pgModule(std::string& error) {
  std::string why;
  auto* entry = moduleFunction<PgEngineEntry>("pg", TOLVANE_PG_ENGINE_SYMBOL, why);
  if (!entry) {
    error = "The PostgreSQL store engine is not available: " + why;
    return nullptr;
  }
  return entry();
}

HRESULT pgCreate(const std::string& location, const std::string& displayName, MAPIUID& uid, std::string& error) {
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->create(location, displayName, uid, error) : MAPI_E_NO_SUPPORT;
}

HRESULT pgOpen(const std::string& location, StoreDb** db, std::string& error) {
  *db = nullptr;
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->open(location, db, error) : MAPI_E_NO_SUPPORT;
}

HRESULT pgDestroy(const std::string& location, std::string& error) {
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->destroy(location, error) : MAPI_E_NO_SUPPORT;
}

HRESULT pgCreateCopy(const std::string& location, const StoreIdentity& identity, std::string& error) {
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->createCopy(location, identity, error) : MAPI_E_NO_SUPPORT;
}

HRESULT pgOpenCopy(const std::string& location, StoreDb** db, std::string& error) {
  *db = nullptr;
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->openCopy(location, db, error) : MAPI_E_NO_SUPPORT;
}

HRESULT pgDestroyCopy(const std::string& location, std::string& error) {
  const StoreEngine* pg = pgModule(error);
  return pg ? pg->destroyCopy(location, error) : MAPI_E_NO_SUPPORT;
}

// In the order they are asked; SQLite, which takes any path, last.
const StoreEngine kEngines[] = {
    {"postgresql", isPgLocation, pgCreate, pgOpen, pgDestroy, maskedPgLocation, pgCreateCopy, pgOpenCopy,
     pgDestroyCopy},
    {"sqlite", sqliteClaims, SqliteStoreDb::create, sqliteOpen, sqliteDestroy, sqliteShown, SqliteStoreDb::createCopy,
     SqliteStoreDb::openCopy, sqliteDestroyCopy},
};

}  // namespace

const StoreEngine& storeEngineFor(const std::string& location) {
  for (const StoreEngine& e : kEngines)
    if (e.claims(location)) return e;
  return kEngines[sizeof kEngines / sizeof kEngines[0] - 1];
}

}  // namespace tmapi
