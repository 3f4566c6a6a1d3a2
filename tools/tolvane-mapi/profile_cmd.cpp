// tolvane-mapi profile create|set|list|delete
#include "commands.h"

#include <tolvane/profiles.h>

#include <mapicode.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

namespace {

// Exit codes follow sysexits: 64 usage, 65 bad data, 66 no such store,
// 73 cannot create, 74 I/O error.
const int kUsageError = 64;
const int kDataError = 65;
const int kNoInput = 66;
const int kCannotCreate = 73;
const int kIoError = 74;

int create(const std::vector<std::string>& args) {
  mapiprofile::Profile profile;
  bool haveName = false;
  bool existing = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--address" || a == "--display-name" || a == "--store") && i + 1 < args.size()) {
      (a == "--address" ? profile.address : a == "--store" ? profile.storePath : profile.displayName) = args[++i];
    } else if (a == "--existing") {
      existing = true;
    } else if (a.rfind("--", 0) == 0) {
      toolError("unknown or incomplete option '" + a + "'");
      return kUsageError;
    } else if (!haveName) {
      profile.name = a;
      haveName = true;
    } else {
      toolError("unexpected argument '" + a + "'");
      return kUsageError;
    }
  }
  if (!haveName) {
    toolError("profile create needs a NAME");
    return kUsageError;
  }
  std::string why;
  if (!mapiprofile::validName(profile.name, why)) {
    toolError("invalid profile name '" + profile.name + "': " + why);
    return kDataError;
  }
  std::string error;
  if (existing) {
    if (FAILED(mapiprofile::attach(profile, error))) {
      toolError(error);
      return kCannotCreate;
    }
    std::cout << "Created profile '" << profile.name << "' for the existing message store "
              << mapiprofile::shownStore(profile) << "\n";
    return 0;
  }
  if (FAILED(mapiprofile::create(profile, error))) {
    toolError(error);
    return kCannotCreate;
  }
  std::cout << "Created profile '" << profile.name << "' with its message store " << mapiprofile::shownStore(profile)
            << "\n";
  return 0;
}

// A duration: a number with s, m, h or d (no unit: seconds). False when
// it is not one, or not from 1 second to about 136 years.
bool parseDuration(const std::string& text, unsigned& seconds) {
  size_t digits = text.find_first_not_of("0123456789");
  if (digits == 0 || text.empty()) return false;
  std::string number = text.substr(0, digits), unit = digits == std::string::npos ? "" : text.substr(digits);
  if (number.size() > 10) return false;
  unsigned long long n = std::stoull(number);
  unsigned long long factor = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
  if (factor == 0 || n == 0 || n * factor > 0xFFFFFFFFULL) return false;
  seconds = static_cast<unsigned>(n * factor);
  return true;
}

// The password from a file (or standard input for "-"): its first line.
bool readSecret(const std::string& file, std::string& secret, std::string& error) {
  std::string text;
  if (file == "-") {
    std::getline(std::cin, text);
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      error = "cannot read the password file " + file + ": " + strerror(errno);
      return false;
    }
    std::getline(in, text);
  }
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  if (text.empty()) {
    error = "the password file " + file + " holds no password";
    return false;
  }
  secret = text;
  return true;
}

// profile set NAME [--store LOCATION] [--transport T] [--address SMTP] [--display-name TEXT]
//   [--starttls required|opportunistic] [--smtp-user USER --smtp-password-file FILE]
//   [--no-smtp-auth] [--retry-after DURATION] [--queue-lifetime DURATION]
//   [--smtp-timeout DURATION] [--smtp-reply-timeout DURATION]
// The setting is stored whether or not a server can be reached now. The
// password goes only into the profile file (the owner's only); it is never
// printed.
int set(const std::vector<std::string>& args) {
  std::string name, transport, address, displayName, starttls, user, passwordFile, store;
  bool haveTransport = false, haveAddress = false, haveDisplayName = false, noAuth = false;
  unsigned retryAfter = 0, lifetime = 0, smtpTimeout = 0, replyTimeout = 0;
  bool changes = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool hasValue = i + 1 < args.size();
    if (a == "--transport" && hasValue) {
      transport = args[++i];
      haveTransport = true;
    } else if (a == "--address" && hasValue) {
      address = args[++i];
      haveAddress = true;
    } else if (a == "--display-name" && hasValue) {
      displayName = args[++i];
      haveDisplayName = true;
    } else if (a == "--store" && hasValue) {
      store = args[++i];
      if (store.empty()) {
        toolError("--store needs a store location");
        return kUsageError;
      }
    } else if (a == "--starttls" && hasValue) {
      starttls = args[++i];
      if (starttls != "required" && starttls != "opportunistic") {
        toolError("--starttls takes required or opportunistic, not '" + starttls + "'");
        return kUsageError;
      }
    } else if (a == "--smtp-user" && hasValue) {
      user = args[++i];
      if (user.empty() || user.find_first_of("\r\n") != std::string::npos) {
        toolError("--smtp-user needs a user name on one line");
        return kUsageError;
      }
    } else if (a == "--smtp-password-file" && hasValue) {
      passwordFile = args[++i];
    } else if (a == "--no-smtp-auth") {
      noAuth = true;
    } else if ((a == "--retry-after" || a == "--queue-lifetime" || a == "--smtp-timeout" ||
                a == "--smtp-reply-timeout") &&
               hasValue) {
      unsigned& target = a == "--retry-after"      ? retryAfter
                         : a == "--queue-lifetime" ? lifetime
                         : a == "--smtp-timeout"   ? smtpTimeout
                                                   : replyTimeout;
      if (!parseDuration(args[++i], target)) {
        toolError(a + " takes a duration such as 90s, 5m, 2h or 5d, not '" + args[i] + "'");
        return kUsageError;
      }
    } else if (a.rfind("--", 0) == 0) {
      toolError("unknown or incomplete option '" + a + "'");
      return kUsageError;
    } else if (name.empty()) {
      name = a;
      continue;
    } else {
      toolError("unexpected argument '" + a + "'");
      return kUsageError;
    }
    changes = true;
  }
  if (name.empty()) {
    toolError("profile set needs a NAME");
    return kUsageError;
  }
  if (!changes) {
    toolError("profile set needs what to change: --transport, --address, --display-name, --starttls, "
              "--smtp-user with --smtp-password-file, --no-smtp-auth, --retry-after, --queue-lifetime, --smtp-timeout, "
              "--smtp-reply-timeout or --store");
    return kUsageError;
  }
  if (user.empty() != passwordFile.empty()) {
    toolError("--smtp-user and --smtp-password-file go together");
    return kUsageError;
  }
  if (noAuth && !user.empty()) {
    toolError("--no-smtp-auth and --smtp-user exclude each other");
    return kUsageError;
  }
  mapiprofile::Transport parsed;
  std::string why;
  if (haveTransport && !mapiprofile::parseTransport(transport, parsed, why)) {
    toolError("invalid transport '" + transport + "': " + why);
    return kDataError;
  }
  std::string password;
  if (!passwordFile.empty() && !readSecret(passwordFile, password, why)) {
    toolError(why);
    return kDataError;
  }
  mapiprofile::Profile profile;
  std::string error;
  if (FAILED(mapiprofile::load(name, profile, error))) {
    toolError(error);
    return kDataError;
  }
  // Credentials belong to the server they were given for: a transport that
  // names another server forgets the password unless it is given again.
  bool forgotPassword = false;
  if (haveTransport && user.empty() && !profile.smtpPassword.empty()) {
    mapiprofile::Transport before;
    std::string ignored;
    bool same = mapiprofile::parseTransport(profile.transport, before, ignored) && before.kind == parsed.kind &&
                before.host == parsed.host && before.port == parsed.port;
    if (!same) {
      profile.smtpPassword.clear();
      forgotPassword = true;
    }
  }
  // The store: the profile's own, moved (its identity is checked).
  if (!store.empty()) {
    HRESULT moved = mapiprofile::setStore(profile, store, error);
    if (FAILED(moved)) {
      toolError(error);
      return moved == MAPI_E_INVALID_PARAMETER ? kDataError : moved == MAPI_E_NOT_FOUND ? kNoInput : kIoError;
    }
  }
  if (haveTransport) profile.transport = transport;
  if (haveAddress) profile.address = address;
  if (haveDisplayName) profile.displayName = displayName;
  if (!starttls.empty()) profile.starttls = starttls;
  if (!user.empty()) {
    profile.smtpUser = user;
    profile.smtpPassword = password;
  }
  if (noAuth) {
    profile.smtpUser.clear();
    profile.smtpPassword.clear();
  }
  if (retryAfter) profile.retryAfterSeconds = retryAfter;
  if (lifetime) profile.queueLifetimeSeconds = lifetime;
  if (smtpTimeout) profile.smtpTimeoutSeconds = smtpTimeout;
  if (replyTimeout) profile.smtpReplyTimeoutSeconds = replyTimeout;
  HRESULT hr = mapiprofile::write(profile, error);
  if (FAILED(hr)) {
    toolError(error);
    return hr == MAPI_E_INVALID_PARAMETER ? kDataError : kIoError;
  }
  std::cout << "Changed profile '" << name << "'";
  if (!store.empty()) std::cout << ": message store " << mapiprofile::shownStore(profile);
  if (haveTransport) std::cout << (store.empty() ? ": " : ", ") << "transport " << transport;
  if (!starttls.empty()) std::cout << (haveTransport || !store.empty() ? ", " : ": ") << "STARTTLS " << starttls;
  if (!user.empty()) std::cout << ", SMTP user " << user << " (password stored)";
  if (noAuth) std::cout << ", no SMTP authentication";
  if (forgotPassword)
    std::cout << "; the SMTP password of the former server was forgotten: give it again with --smtp-user and "
                 "--smtp-password-file";
  std::cout << "\n";
  return 0;
}

int list() {
  std::vector<mapiprofile::Profile> profiles;
  std::string error;
  if (FAILED(mapiprofile::list(profiles, error))) {
    toolError(error);
    return kIoError;
  }
  for (const auto& p : profiles) {
    std::cout << p.name << "\t" << (p.displayName.empty() ? "-" : p.displayName) << "\t"
              << (p.address.empty() ? "-" : p.address) << "\t" << mapiprofile::shownStore(p) << "\n";
  }
  return 0;
}

int remove(const std::vector<std::string>& args) {
  std::string name;
  bool purge = false;
  for (const auto& a : args) {
    if (a == "--purge") {
      purge = true;
    } else if (a.rfind("--", 0) == 0 || !name.empty()) {
      toolError("unexpected argument '" + a + "'");
      return kUsageError;
    } else {
      name = a;
    }
  }
  if (name.empty()) {
    toolError("profile delete needs a NAME");
    return kUsageError;
  }
  std::string error;
  HRESULT hr = mapiprofile::remove(name, purge, error);
  if (FAILED(hr)) {
    toolError(error);
    return hr == MAPI_E_NOT_FOUND ? kDataError : kIoError;
  }
  std::cout << "Deleted profile '" << name << "'" << (purge ? " and its message store" : "") << "\n";
  return 0;
}

}  // namespace

int profileCommand(const std::vector<std::string>& args) {
  if (args.empty()) {
    toolError("profile needs a subcommand: create, set, list or delete");
    return kUsageError;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "create") return create(rest);
  if (args[0] == "set") return set(rest);
  if (args[0] == "list") return list();
  if (args[0] == "delete") return remove(rest);
  toolError("unknown profile subcommand '" + args[0] + "'");
  return kUsageError;
}
