#include "fuzz_support.h"

#include "mimereader.h"

#include <tolvane/profiles.h>

#include <glib.h>
#include <sanitizer/lsan_interface.h>

#include <mapicode.h>

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzzsupport {

void failed(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n==%d== FUZZ CHECK FAILED at %s:%d\n  expected: %s\n  %s\n", static_cast<int>(getpid()),
               file, line, what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

namespace {

std::string g_scratch;
pid_t g_owner = 0;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeScratch() {
  // A child of a forking test must not remove its parent's folder.
  if (!g_scratch.empty() && getpid() == g_owner) nftw(g_scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& scratchDir() {
  if (!g_scratch.empty()) return g_scratch;
  std::string base;
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/tolvane-fuzz-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror(("mkdtemp " + pattern).c_str());
    std::abort();
  }
  g_scratch = buf.data();
  g_owner = getpid();
  std::atexit(removeScratch);
  return g_scratch;
}

void makeHome(const std::string& name) {
  std::string home = scratchDir() + "/home";
  setenv("TOLVANE_MAPI_HOME", home.c_str(), 1);
  setenv("TOLVANE_MAPI_SPOOLER", "off", 1);
  unsetenv("TOLVANE_MAPI_LOGS");
  mapiprofile::Profile profile;
  profile.name = name;
  profile.address = name + "@example.org";
  profile.displayName = "Fuzz " + name;
  std::string error;
  HRESULT hr = mapiprofile::create(profile, error);
  if (FAILED(hr)) {
    std::fprintf(stderr, "cannot create the profile %s in %s: %s\n", name.c_str(), home.c_str(), error.c_str());
    std::abort();
  }
}

namespace {

const char* const* g_knownOpen = nullptr;
unsigned g_known = 0;
bool g_lastWasKnown = false;

void onGLibMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  std::string text = std::string(domain ? domain : "") + ": " + (message ? message : "");
  bool known = false;
  for (const char* const* k = g_knownOpen; k && *k; ++k)
    if (text.find(*k) != std::string::npos) known = true;
  if (!known && g_lastWasKnown && text.find("g_object_unref: assertion") != std::string::npos) known = true;
  g_lastWasKnown = known;
  if (known) {
    ++g_known;
    return;
  }
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
    failed(__FILE__, __LINE__, "no GLib critical or warning", text);
}

}  // namespace

void failOnGLibCriticals(const char* const* knownOpen) {
  g_knownOpen = knownOpen;
  g_log_set_default_handler(onGLibMessage, nullptr);
}

unsigned knownCriticals() { return g_known; }

void initMime() {
  __lsan_disable();
  mapimime::initMime();
  __lsan_enable();
}

bool validUtf8(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string excerpt(const std::string& bytes, size_t max) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > max) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

}  // namespace fuzzsupport
