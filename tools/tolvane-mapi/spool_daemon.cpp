// tolvane-mapi spool daemon
//
// One long-running process that sends the mail of every profile of the
// home: what a program queued before it exited, and what waits for its next
// attempt. Each profile has a thread of its own (a slow server of one
// profile holds up no other), and that thread runs the spooler exactly as
// `spool run` does (mapispool::run): leases, retries and their pauses, the
// queue lifetime and the reports are the spooler's own. Beside other
// daemons, `spool run` and the background spoolers of running programs, no
// message is sent twice: every spooler takes a message under a lease first.
//
// What makes a profile's thread look at its queue:
//   - a write to the store's log: SubmitMessage commits to the store's
//     SQLite files, and a commit writes STORE.db-wal (inotify on the
//     store's folder);
//   - the queue's earliest next attempt, or the end of a lease another
//     spooler holds (a timer);
//   - five minutes without either (inotify sees only the writes of this
//     machine).
// A look only reads the queue's state; the spooler runs when a message is
// due, so a server that keeps failing is tried at the pauses the spooler
// sets and no faster.
//
// Profiles created, changed or removed while it runs are picked up (inotify
// on the home and its profiles/ folder); SIGHUP reads the profile list
// again. SIGTERM or SIGINT stops it within moments: the spooler is asked to
// stop, a program or connection in hand is stopped and its message stays
// queued for its next attempt.
//
// Logs go to standard error (journald keeps them), one line per pass that
// sent or deferred something, texts escaped as `spool run` prints them:
//   tolvane-mapi: spool daemon: PROFILE: 1 sent, 1 queued; sent 12 "SUBJECT"; queued 13 "SUBJECT" (REASON)
// and a line when it starts, stops, serves another set of profiles, or
// cannot read a queue or the profile list.
//
// Exit codes (sysexits): 0 stopped by SIGTERM or SIGINT; 64 usage; 71 the
// home cannot be watched (no inotify instance, no pipe); 78 the home does
// not exist or is not safe to use.
#include "commands.h"
#include "service.h"

#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapicode.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const int kUsageError = 64;
const int kOsError = 71;
const int kConfigError = 78;

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A look at every queue, and at the profile list, when nothing else woke it.
const int64_t kRecheckMs = 5 * 60 * 1000;
// After a failed look at a queue, or a pass that took nothing though a
// message was due (the store was busy, another spooler was quicker): the
// least pause before the next try, doubling up to a minute.
const int64_t kFirstPauseMs = 1000;
const int64_t kLongestPauseMs = 60 * 1000;
// Writes to a store come in bursts (a delivery, a client saving a draft):
// the looks they cause are at least this far apart.
const int64_t kLookGapMs = 100;
// A timer set for a next attempt fires this much after it (the spooler
// compares in milliseconds: a moment earlier would find nothing due).
const int64_t kTimerSlackMs = 10;
// Messages named per log line; the rest are counted.
const size_t kLoggedMessages = 20;

int64_t wallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// One line in one write, so that the lines of the threads do not mix.
void logLine(const std::string& text) { service::logLine("spool daemon", text); }

std::string plural(size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

// The log line of a pass; empty when it neither sent nor deferred anything.
std::string passLine(const std::string& profile, const mapispool::RunResult& result) {
  size_t sent = 0, queued = 0, skipped = 0;
  std::string items;
  size_t listed = 0;
  for (const auto& line : result.lines) {
    std::string item;
    switch (line.outcome) {
      case mapispool::RunLine::kSent:
        ++sent;
        item = "sent " + std::to_string(line.id) + " \"" + printableField(line.subject) + "\"";
        if (line.reports)
          item += " (" + plural(line.reports, "recipient") +
                  " could not be reached: a non-delivery report is in the Inbox)";
        break;
      case mapispool::RunLine::kDeferred:
        ++queued;
        item = "queued " + std::to_string(line.id) + " \"" + printableField(line.subject) + "\" (" +
               printableField(line.detail) + ")";
        break;
      case mapispool::RunLine::kTakenOver:
        ++skipped;
        continue;
    }
    if (listed < kLoggedMessages) {
      items += "; " + item;
      ++listed;
    }
  }
  if (sent + queued == 0) return "";
  std::string counts;
  if (sent) counts += std::to_string(sent) + " sent";
  if (queued) counts += (counts.empty() ? "" : ", ") + std::to_string(queued) + " queued";
  if (skipped) counts += ", " + std::to_string(skipped) + " skipped (another spooler has taken it over)";
  if (sent + queued > listed) items += "; and " + std::to_string(sent + queued - listed) + " more";
  return printableField(profile) + ": " + counts + items;
}

// The thread of one profile: looks at the queue when woken, when its timer
// says a message is due, and now and then; runs the spooler when a message
// is due.
class Worker {
 public:
  explicit Worker(std::string profile) : m_profile(std::move(profile)) {
    m_thread = std::thread([this] { loop(); });
  }
  ~Worker() {
    requestStop();
    join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Something was written to the profile's store.
  void wake() {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_wake = true;
    }
    m_cv.notify_all();
  }

  // Ends the thread after the pass in hand, which is asked to stop.
  void requestStop() {
    m_stopping.store(true);
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_stop = true;
    }
    m_cv.notify_all();
  }

  void join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  // Asked by the spooler between messages and by its transports (from any
  // thread) while they work.
  bool stopping() const { return m_stopping.load() || service::stopRequested.load(); }

  // Waits until a look at the queue is due; false when the thread is to end.
  bool waitForLook(Clock::time_point lastLook, bool haveTimer, Clock::time_point timer, Clock::time_point recheck) {
    std::unique_lock<std::mutex> lock(m_mu);
    while (true) {
      if (m_stop || service::stopRequested.load()) return false;
      Clock::time_point now = Clock::now();
      Clock::time_point woken = lastLook + Ms(kLookGapMs);
      if ((m_wake && now >= woken) || (haveTimer && now >= timer) || now >= recheck) break;
      Clock::time_point until = recheck;
      if (haveTimer) until = std::min(until, timer);
      if (m_wake) until = std::min(until, woken);
      m_cv.wait_until(lock, until);
    }
    m_wake = false;
    return true;
  }

  // A look at the queue or a pass failed: said once per distinct reason.
  void trouble(HRESULT hr, const std::string& error) {
    // A profile removed meanwhile: the main loop ends this thread.
    if (hr == MAPI_E_LOGON_FAILED) return;
    if (error == m_lastTrouble) return;
    m_lastTrouble = error;
    logLine(printableField(m_profile) + ": " + printableField(error));
  }

  void loop() {
    Clock::time_point lastLook = Clock::now() - Ms(kLookGapMs);
    Clock::time_point recheck = Clock::now();  // the first look at once
    Clock::time_point timer, notBefore = Clock::now();
    bool haveTimer = false;
    int64_t pauseMs = 0;  // 0: no trouble lately
    auto nextPause = [&pauseMs] {
      pauseMs = pauseMs ? std::min(pauseMs * 2, kLongestPauseMs) : kFirstPauseMs;
      return Ms(pauseMs);
    };
    while (waitForLook(lastLook, haveTimer, timer, recheck)) {
      lastLook = Clock::now();
      recheck = lastLook + Ms(kRecheckMs);
      haveTimer = false;
      uint64_t count = 0;
      int64_t earliest = 0;
      std::string error;
      HRESULT hr = mapispool::queueState(m_profile, count, earliest, error);
      if (FAILED(hr)) {
        trouble(hr, error);
        haveTimer = true;
        timer = Clock::now() + nextPause();
        continue;
      }
      m_lastTrouble.clear();
      if (count == 0) {
        pauseMs = 0;
        continue;  // until something is written to the store
      }
      int64_t wait = earliest - wallMs();
      if (wait > 0) {
        haveTimer = true;
        timer = Clock::now() + Ms(std::min(wait, kRecheckMs) + kTimerSlackMs);
        continue;
      }
      if (Clock::now() < notBefore) {
        haveTimer = true;
        timer = notBefore;
        continue;
      }
      // A message is due: the spooler's pass over the queue.
      mapispool::RunOptions options;
      options.stop = [this] { return stopping(); };
      mapispool::RunResult result;
      hr = mapispool::run(m_profile, options, result, error);
      std::string line = passLine(m_profile, result);
      if (!line.empty()) logLine(line);
      if (stopping()) break;
      if (FAILED(hr)) {
        trouble(hr, error);
        notBefore = Clock::now() + nextPause();
      } else if (result.lines.empty()) {
        // Due, yet nothing was taken: not again at once.
        notBefore = Clock::now() + nextPause();
      } else {
        pauseMs = 0;
      }
      // What the pass left: the next attempt, a message queued meanwhile.
      haveTimer = true;
      timer = Clock::now();
    }
  }

  const std::string m_profile;
  std::mutex m_mu;
  std::condition_variable m_cv;
  bool m_wake = true;
  bool m_stop = false;
  std::atomic<bool> m_stopping{false};
  std::string m_lastTrouble;  // used by the thread only
  std::thread m_thread;       // last: started once the rest is ready
};

// The absolute path with symbolic links resolved (SQLite names a store's
// log after the resolved path), or the path itself when it cannot be.
std::string resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out = real;
  free(real);
  return out;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The changes that matter in the home itself (its profiles/ and stores/
// folders appearing or going, its mode), in profiles/ (profile files
// written, renamed into place, removed) and in a store's folder (writes to
// a store's log).
const uint32_t kListEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_ATTRIB |
                             IN_DELETE_SELF | IN_MOVE_SELF;
const uint32_t kStoreEvents = IN_MODIFY;

class Daemon {
 public:
  Daemon(std::string home, int inotifyFd, int signalFd)
      : m_home(std::move(home)), m_inotify(inotifyFd), m_signals(signalFd) {}

  int run() {
    reread(true);
    while (!service::stopRequested.load()) {
      pollfd fds[2] = {{m_signals, POLLIN, 0}, {m_inotify, POLLIN, 0}};
      int ready = poll(fds, 2, static_cast<int>(kRecheckMs));
      if (ready < 0 && errno != EINTR) {
        logLine(std::string("cannot wait for changes: ") + strerror(errno));
        stopAll();
        return kOsError;
      }
      char drain[64];
      while (read(m_signals, drain, sizeof drain) > 0) {
      }
      if (service::stopRequested.load()) break;
      bool again = ready == 0, lookAll = false;
      if (service::rereadRequested.exchange(false)) {
        logLine("reading the profiles again (SIGHUP)");
        again = lookAll = true;
      }
      if (ready > 0 && (fds[1].revents & POLLIN)) readEvents(again, lookAll);
      if (again) reread(lookAll);
    }
    logLine("stopping");
    stopAll();
    logLine("stopped");
    return 0;
  }

 private:
  // Adds (or changes) the watches of `wanted`; with `exact`, also removes
  // the watches of folders no longer wanted.
  void setWatches(const std::map<std::string, uint32_t>& wanted, bool exact) {
    for (const auto& w : wanted) {
      auto it = m_wdOf.find(w.first);
      if (it != m_wdOf.end() && m_maskOf[it->second] == w.second) continue;
      int wd = inotify_add_watch(m_inotify, w.first.c_str(), w.second | IN_ONLYDIR);
      if (wd < 0) {
        if (errno != ENOENT) logLine("cannot watch " + printableField(w.first) + ": " + strerror(errno));
        continue;
      }
      m_wdOf[w.first] = wd;
      m_dirOf[wd] = w.first;
      m_maskOf[wd] = w.second;
    }
    if (!exact) return;
    for (auto it = m_wdOf.begin(); it != m_wdOf.end();) {
      if (wanted.count(it->first)) {
        ++it;
        continue;
      }
      inotify_rm_watch(m_inotify, it->second);
      m_dirOf.erase(it->second);
      m_maskOf.erase(it->second);
      it = m_wdOf.erase(it);
    }
  }

  // Reads the profile list: threads for new profiles, none for removed
  // ones, the watches to match. lookAll: every thread looks at its queue.
  void reread(bool lookAll) {
    std::map<std::string, uint32_t> wanted;
    wanted[m_home] = kListEvents;
    std::string profilesDir = m_home + "/profiles";
    if (isDirectory(profilesDir)) wanted[profilesDir] |= kListEvents;
    // Watched before the list is read: a profile written meanwhile is seen.
    setWatches(wanted, false);

    std::vector<mapiprofile::Profile> profiles;
    std::string error;
    HRESULT hr = mapiprofile::list(profiles, error);
    if (FAILED(hr)) {
      // A home that is not safe to use sends nothing (its profiles could
      // be someone else's) until it is put right.
      if (error != m_listTrouble) logLine("cannot read the profiles: " + printableField(error));
      m_listTrouble = error;
      profiles.clear();
    } else {
      m_listTrouble.clear();
    }

    std::map<std::string, std::string> logOf;  // profile -> its store's log
    m_logs.clear();
    for (const auto& p : profiles) {
      // A mailbox in a database has no file to watch: its timers serve it.
      if (!mapiprofile::storeIsFile(p)) continue;
      auto where = splitPath(resolved(p.storePath));
      wanted[where.first] |= kStoreEvents;
      logOf[p.name] = where.first + "/" + where.second + "-wal";
    }
    // The stores' folders are watched before their threads first look.
    setWatches(wanted, true);
    for (const auto& l : logOf) {
      auto where = splitPath(l.second);
      auto wd = m_wdOf.find(where.first);
      if (wd != m_wdOf.end()) m_logs[{wd->second, where.second}].push_back(l.first);
    }

    // Threads of profiles gone (or moved to another store) end; all are
    // asked at once, then waited for.
    std::vector<std::unique_ptr<Worker>> ending;
    for (auto it = m_workers.begin(); it != m_workers.end();) {
      auto now = logOf.find(it->first);
      auto before = m_logOf.find(it->first);
      if (now != logOf.end() && before != m_logOf.end() && now->second == before->second) {
        ++it;
        continue;
      }
      it->second->requestStop();
      ending.push_back(std::move(it->second));
      it = m_workers.erase(it);
    }
    ending.clear();
    for (const auto& l : logOf) {
      auto w = m_workers.find(l.first);
      if (w == m_workers.end()) m_workers[l.first].reset(new Worker(l.first));
      else if (lookAll) w->second->wake();
    }
    bool changed = m_logOf != logOf;
    m_logOf = logOf;
    if (changed || m_first) {
      std::string names;
      for (const auto& l : logOf) names += (names.empty() ? ": " : ", ") + printableField(l.first);
      logLine(std::string(m_first ? "serving " : "now serving ") + plural(logOf.size(), "profile") + " of " +
              printableField(m_home) + names);
    }
    m_first = false;
  }

  // Reads the pending events: wakes the threads whose store was written;
  // `again` when the profile list is to be read again.
  void readEvents(bool& again, bool& lookAll) {
    alignas(struct inotify_event) char buf[64 * 1024];
    while (true) {
      ssize_t n = read(m_inotify, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (char* p = buf; p < buf + n;) {
        const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(p);
        p += sizeof(struct inotify_event) + ev->len;
        std::string name = ev->len ? std::string(ev->name) : std::string();
        if (ev->mask & IN_Q_OVERFLOW) {
          // Events were lost: every queue is looked at.
          again = lookAll = true;
          continue;
        }
        if (ev->mask & IN_IGNORED) {
          // The folder went: its watch is gone.
          auto dir = m_dirOf.find(ev->wd);
          if (dir != m_dirOf.end()) {
            m_wdOf.erase(dir->second);
            m_maskOf.erase(ev->wd);
            m_dirOf.erase(dir);
          }
          again = true;
          continue;
        }
        auto dir = m_dirOf.find(ev->wd);
        if (dir == m_dirOf.end()) continue;
        if (ev->mask & kStoreEvents) {
          auto log = m_logs.find({ev->wd, name});
          if (log != m_logs.end())
            for (const auto& profile : log->second) {
              auto w = m_workers.find(profile);
              if (w != m_workers.end()) w->second->wake();
            }
        }
        if (!(ev->mask & kListEvents)) continue;
        if (dir->second == m_home && (name.empty() || name == "profiles" || name == "stores")) again = true;
        if (dir->second == m_home + "/profiles" && (name.empty() || endsWith(name, ".profile"))) again = true;
      }
    }
  }

  void stopAll() {
    for (auto& w : m_workers) w.second->requestStop();
    m_workers.clear();  // each waits for its thread
  }

  const std::string m_home;
  const int m_inotify;
  const int m_signals;
  bool m_first = true;
  std::string m_listTrouble;
  std::map<std::string, std::unique_ptr<Worker>> m_workers;  // by profile
  std::map<std::string, std::string> m_logOf;                // profile -> its store's log
  std::map<std::string, int> m_wdOf;                         // folder -> watch
  std::map<int, std::string> m_dirOf;                        // watch -> folder
  std::map<int, uint32_t> m_maskOf;                          // watch -> events
  std::map<std::pair<int, std::string>, std::vector<std::string>> m_logs;  // (watch, log file) -> profiles
};

}  // namespace

int spoolDaemon(const std::vector<std::string>& args) {
  if (!args.empty()) {
    toolError("spool daemon: unexpected argument '" + args[0] + "'");
    return kUsageError;
  }
  std::string home = mapiprofile::homeDir();
  if (!isDirectory(home)) {
    toolError("spool daemon: the home folder " + home + " does not exist (TOLVANE_MAPI_HOME)");
    return kConfigError;
  }
  std::string error;
  if (FAILED(mapiprofile::checkHome(error))) {
    toolError("spool daemon: " + error);
    return kConfigError;
  }
  int wakeFd = -1;
  if (!service::catchSignals(wakeFd)) {
    toolError(std::string("spool daemon: cannot make a pipe: ") + strerror(errno));
    return kOsError;
  }
  int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd < 0) {
    toolError(std::string("spool daemon: cannot watch the home: ") + strerror(errno));
    return kOsError;
  }

  int code;
  {
    Daemon daemon(resolved(home), inotifyFd, wakeFd);
    code = daemon.run();
  }
  close(inotifyFd);
  return code;
}
