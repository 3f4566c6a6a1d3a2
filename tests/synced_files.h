// Counts the syncs of a test program: every fdatasync of the program comes
// here first (the executable's definition comes before the C library's, for
// the libraries it loads too), and the path of each synced file is recorded,
// so a test can tell what reached the disk when. Include it in one source
// file of a program.
#ifndef TOLVANE_TESTS_SYNCED_FILES_H
#define TOLVANE_TESTS_SYNCED_FILES_H

#include <cstdio>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace syncedfiles {

inline std::mutex& mu() {
  static std::mutex m;
  return m;
}
inline std::vector<std::string>& synced() {
  static std::vector<std::string> v;
  return v;
}

// The files synced since the last call, in order.
inline std::vector<std::string> take() {
  std::lock_guard<std::mutex> lock(mu());
  std::vector<std::string> out;
  out.swap(synced());
  return out;
}

}  // namespace syncedfiles

extern "C" int fdatasync(int fd) {
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  {
    std::lock_guard<std::mutex> lock(syncedfiles::mu());
    syncedfiles::synced().push_back(n > 0 ? std::string(path, static_cast<size_t>(n)) : "?");
  }
  return static_cast<int>(syscall(SYS_fdatasync, fd));
}

#endif
