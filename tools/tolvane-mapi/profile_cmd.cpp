// tolvane-mapi profile create|set|list|delete
#include "commands.h"

#include <tolvane/profiles.h>

#include <mapicode.h>

#include <iostream>

namespace {

// Exit codes follow sysexits: 64 usage, 65 bad data, 73 cannot create,
// 74 I/O error.
const int kUsageError = 64;
const int kDataError = 65;
const int kCannotCreate = 73;
const int kIoError = 74;

int create(const std::vector<std::string>& args) {
  mapiprofile::Profile profile;
  bool haveName = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--address" || a == "--display-name") && i + 1 < args.size()) {
      (a == "--address" ? profile.address : profile.displayName) = args[++i];
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
  if (FAILED(mapiprofile::create(profile, error))) {
    toolError(error);
    return kCannotCreate;
  }
  std::cout << "Created profile '" << profile.name << "' with its message store " << profile.storePath << "\n";
  return 0;
}

// profile set NAME [--transport T] [--address SMTP] [--display-name TEXT]
int set(const std::vector<std::string>& args) {
  std::string name, transport, address, displayName;
  bool haveTransport = false, haveAddress = false, haveDisplayName = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--transport" && i + 1 < args.size()) {
      transport = args[++i];
      haveTransport = true;
    } else if (a == "--address" && i + 1 < args.size()) {
      address = args[++i];
      haveAddress = true;
    } else if (a == "--display-name" && i + 1 < args.size()) {
      displayName = args[++i];
      haveDisplayName = true;
    } else if (a.rfind("--", 0) == 0) {
      toolError("unknown or incomplete option '" + a + "'");
      return kUsageError;
    } else if (name.empty()) {
      name = a;
    } else {
      toolError("unexpected argument '" + a + "'");
      return kUsageError;
    }
  }
  if (name.empty()) {
    toolError("profile set needs a NAME");
    return kUsageError;
  }
  if (!haveTransport && !haveAddress && !haveDisplayName) {
    toolError("profile set needs what to change: --transport, --address or --display-name");
    return kUsageError;
  }
  mapiprofile::Transport parsed;
  std::string why;
  if (haveTransport && !mapiprofile::parseTransport(transport, parsed, why)) {
    toolError("invalid transport '" + transport + "': " + why);
    return kDataError;
  }
  mapiprofile::Profile profile;
  std::string error;
  if (FAILED(mapiprofile::load(name, profile, error))) {
    toolError(error);
    return kDataError;
  }
  if (haveTransport) profile.transport = transport;
  if (haveAddress) profile.address = address;
  if (haveDisplayName) profile.displayName = displayName;
  HRESULT hr = mapiprofile::write(profile, error);
  if (FAILED(hr)) {
    toolError(error);
    return hr == MAPI_E_INVALID_PARAMETER ? kDataError : kIoError;
  }
  std::cout << "Changed profile '" << name << "'";
  if (haveTransport) {
    std::cout << ": transport " << transport;
    if (parsed.kind != mapiprofile::Transport::kLocal)
      std::cout << " (not supported by this version yet: submitted mail stays queued until a version that has it runs)";
  }
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
              << (p.address.empty() ? "-" : p.address) << "\t" << p.storePath << "\n";
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
