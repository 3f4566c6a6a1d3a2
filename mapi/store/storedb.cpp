// What every store engine shares: the choice of engine, the count of the
// values tables read, lease times and the MAPI results of file errors.
#include "store/storedb.h"

#include "store/engines.h"

#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapitags.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <time.h>

namespace tmapi {

namespace {
std::atomic<uint64_t> g_rowValueBytes{0};
}  // namespace

HRESULT StoreDb::create(const std::string& location, const std::string& displayName, MAPIUID& uid,
                        std::string& error) {
  return storeEngineFor(location).create(location, displayName, uid, error);
}

HRESULT StoreDb::open(const std::string& location, StoreDb** db, std::string& error) {
  *db = nullptr;
  return storeEngineFor(location).open(location, db, error);
}

uint64_t StoreDb::rowValueBytes() { return g_rowValueBytes.load(std::memory_order_relaxed); }

void StoreDb::countRowValueBytes(uint64_t n) { g_rowValueBytes.fetch_add(n, std::memory_order_relaxed); }

HRESULT StoreDb::plannedCommitFault() {
  if (!g_testControlsActive.load(std::memory_order_relaxed)) return S_OK;
  HRESULT planned = testCall("StoreDb::commit", "");
  return FAILED(planned) ? fail(planned, faultText("StoreDb::commit", planned)) : S_OK;
}

HRESULT StoreDb::renewLeases(const std::vector<int64_t>& queueIds, const std::string& owner, const LeaseTime& now,
                             int64_t leaseMs, std::vector<bool>& held) {
  held.assign(queueIds.size(), false);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  for (size_t k = 0; k < queueIds.size(); ++k) {
    bool h = false;
    hr = extendLease(queueIds[k], owner, now, leaseMs, h);
    if (FAILED(hr)) return rollback(), hr;
    held[k] = h;
  }
  return commit();
}

HRESULT StoreDb::markUnsubmitted(ObjectId message) {
  PropRow cur;
  HRESULT hr = getProps(message, {PR_MESSAGE_FLAGS}, 0, cur);
  if (FAILED(hr)) return hr;
  LONG flags = !cur.empty() && PROP_TYPE(cur[0].tag) == PT_LONG ? static_cast<LONG>(cur[0].i) : 0;
  return setProps(message, {Prop::Long(PR_MESSAGE_FLAGS, (flags & ~static_cast<LONG>(MSGFLAG_SUBMIT)) |
                                                             static_cast<LONG>(MSGFLAG_UNSENT)),
                            Prop::Long(PR_SUBMIT_FLAGS, 0)});
}

StoreDb::LeaseTime StoreDb::LeaseTime::now() {
  using namespace std::chrono;
  LeaseTime t;
  t.wall = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
#ifdef CLOCK_BOOTTIME
  // The boot's id tells a lease of this boot from one of an earlier boot
  // (whose boot clock counted from another start). Never destroyed: a
  // spooler thread may still ask while the process exits.
  static const std::string& boot = *[] {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    auto* id = new std::string;
    std::getline(in, *id);
    return id;
  }();
  struct timespec ts;
  if (!boot.empty() && clock_gettime(CLOCK_BOOTTIME, &ts) == 0) {
    t.boot = boot;
    t.sinceBoot = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
#endif
  return t;
}

HRESULT fileErrorResult(int err) {
  switch (err) {
    case ENOSPC:
    case EDQUOT:
      return MAPI_E_NOT_ENOUGH_DISK;
    case EMFILE:
    case ENFILE:
      return MAPI_E_NOT_ENOUGH_RESOURCES;
    case ENOMEM:
      return MAPI_E_NOT_ENOUGH_MEMORY;
    default:
      return MAPI_E_DISK_ERROR;
  }
}

}  // namespace tmapi
