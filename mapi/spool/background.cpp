// The background spoolers of the process (background.h).
#include "spool/background.h"

#include "spool/spooler.h"

#include <tolvane/mapitest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tmapi {

namespace {

thread_local bool t_spooling = false;

// -1: not yet known (TOLVANE_MAPI_SPOOLER is read at first use).
std::atomic<int> g_enabled{-1};

bool enabled() {
  int v = g_enabled.load(std::memory_order_relaxed);
  if (v < 0) {
    const char* env = getenv("TOLVANE_MAPI_SPOOLER");
    v = (env && (strcmp(env, "off") == 0 || strcmp(env, "0") == 0 || strcmp(env, "no") == 0)) ? 0 : 1;
    int expected = -1;
    g_enabled.compare_exchange_strong(expected, v);
    v = g_enabled.load(std::memory_order_relaxed);
  }
  return v != 0;
}

// How often a waiting spooler looks at its queue even when nothing wakes
// it (other processes queue messages too).
const int64_t kLongestWaitMs = 60 * 1000;

struct Background {
  mapiprofile::Profile profile;
  int sessions = 0;
  std::thread thread;
  std::mutex mu;
  std::condition_variable cv;
  bool wake = false;
  bool stop = false;
};

void spoolLoop(std::shared_ptr<Background> bg) {
  SpoolingScope scope;
  Spooler spooler(bg->profile);
  auto stopped = [&bg] {
    std::lock_guard<std::mutex> lock(bg->mu);
    return bg->stop;
  };
  while (true) {
    {
      std::lock_guard<std::mutex> lock(bg->mu);
      if (bg->stop) break;
      bg->wake = false;
    }
    mapispool::RunResult result;
    std::string error;
    HRESULT hr = spooler.runPass(false, stopped, result, error);
    // Until the next message can be taken: at least a moment (not to spin
    // on a store that fails), at most a minute.
    int64_t wait = kLongestWaitMs;
    uint64_t count = 0;
    int64_t earliest = 0;
    if (SUCCEEDED(hr) && SUCCEEDED(spooler.queueState(count, earliest, error)) && count > 0)
      wait = std::max<int64_t>(0, std::min(kLongestWaitMs, earliest - nowMs()));
    if (FAILED(hr)) wait = 1000;
    wait = std::max<int64_t>(wait, 50);
    std::unique_lock<std::mutex> lock(bg->mu);
    bg->cv.wait_for(lock, std::chrono::milliseconds(wait), [&bg] { return bg->wake || bg->stop; });
  }
}

void stopAndJoin(const std::shared_ptr<Background>& bg) {
  {
    std::lock_guard<std::mutex> lock(bg->mu);
    bg->stop = true;
  }
  bg->cv.notify_all();
  if (!bg->thread.joinable()) return;
  if (bg->thread.get_id() == std::this_thread::get_id()) bg->thread.detach();
  else bg->thread.join();
}

class Registry {
 public:
  bool started(const mapiprofile::Profile& profile) {
    std::lock_guard<std::mutex> lock(m_mu);
    std::shared_ptr<Background>& bg = m_byStore[profile.storePath];
    if (!bg) {
      bg = std::make_shared<Background>();
      bg->profile = profile;
    }
    ++bg->sessions;
    return true;
  }

  void ended(const std::string& storePath) {
    std::shared_ptr<Background> bg;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      auto it = m_byStore.find(storePath);
      if (it == m_byStore.end()) return;
      if (--it->second->sessions > 0) return;
      bg = it->second;
      m_byStore.erase(it);
    }
    stopAndJoin(bg);  // outside the registry's lock: the thread may finish a message first
  }

  void submitted(const std::string& storePath) {
    std::shared_ptr<Background> bg;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      auto it = m_byStore.find(storePath);
      if (it == m_byStore.end()) return;  // no session of this process: `spool run` sends it
      bg = it->second;
      if (!bg->thread.joinable()) {
        if (!enabled()) return;
        bg->thread = std::thread(spoolLoop, bg);
      }
    }
    {
      std::lock_guard<std::mutex> lock(bg->mu);
      bg->wake = true;
    }
    bg->cv.notify_all();
  }

  // At unload: no spooler thread runs on into a library that is gone.
  void stopAll() {
    std::map<std::string, std::shared_ptr<Background>> all;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      all.swap(m_byStore);
    }
    for (auto& e : all) stopAndJoin(e.second);
  }

 private:
  std::mutex m_mu;
  std::map<std::string, std::shared_ptr<Background>> m_byStore;
};

// Never destroyed (sessions may end in other static destructors); its
// threads are stopped when the library is unloaded.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

struct StopAtUnload {
  ~StopAtUnload() { registry().stopAll(); }
} g_stopAtUnload;

}  // namespace

SpoolingScope::SpoolingScope() : m_outer(t_spooling) { t_spooling = true; }
SpoolingScope::~SpoolingScope() { t_spooling = m_outer; }

bool spoolSessionStarted(const mapiprofile::Profile& profile) {
  if (t_spooling) return false;
  return registry().started(profile);
}

void spoolSessionEnded(const std::string& storePath) { registry().ended(storePath); }

void notifySubmitted(const std::string& storePath) {
  if (t_spooling) return;
  registry().submitted(storePath);
}

}  // namespace tmapi

namespace mapitest {

void setBackgroundSpooler(bool on) { tmapi::g_enabled.store(on ? 1 : 0, std::memory_order_relaxed); }

bool backgroundSpooler() { return tmapi::enabled(); }

}  // namespace mapitest
