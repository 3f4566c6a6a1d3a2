// tolvane-mapi directory add|list|remove
#include "commands.h"

#include <tolvane/directory.h>

#include <mapicode.h>

#include <iostream>

namespace {

// Exit codes follow sysexits: 64 usage, 65 bad data, 73 cannot create,
// 74 I/O error.
const int kUsageError = 64;
const int kDataError = 65;
const int kCannotCreate = 73;
const int kIoError = 74;

int exitCodeFor(HRESULT hr) {
  if (hr == MAPI_E_INVALID_PARAMETER || hr == MAPI_E_COLLISION || hr == MAPI_E_NOT_FOUND) return kDataError;
  if (hr == MAPI_E_NO_ACCESS) return kCannotCreate;
  return kIoError;
}

std::string describe(const mapidirectory::Entry& e) {
  std::string text = e.displayName;
  if (!e.smtpAddress.empty()) text += " <" + e.smtpAddress + ">";
  return text;
}

int add(const std::vector<std::string>& args) {
  mapidirectory::Entry entry;
  bool haveName = false, haveSmtp = false, haveDn = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool known = a == "--display-name" || a == "--smtp" || a == "--dn" || a == "--proxy";
    if (!known) {
      toolError(a.rfind("--", 0) == 0 ? "unknown option '" + a + "'" : "unexpected argument '" + a + "'");
      return kUsageError;
    }
    if (i + 1 >= args.size()) {
      toolError("the option " + a + " needs a value");
      return kUsageError;
    }
    const std::string& value = args[++i];
    if (a == "--proxy") {
      entry.proxies.push_back(value);
      continue;
    }
    bool& seen = a == "--display-name" ? haveName : a == "--smtp" ? haveSmtp : haveDn;
    if (seen) {
      toolError("the option " + a + " is given twice");
      return kUsageError;
    }
    seen = true;
    (a == "--display-name" ? entry.displayName : a == "--smtp" ? entry.smtpAddress : entry.distinguishedName) = value;
  }
  if (!haveName) {
    toolError("directory add needs --display-name");
    return kUsageError;
  }
  std::string why;
  if (!mapidirectory::validEntry(entry, why)) {
    toolError("invalid directory entry: " + why);
    return kDataError;
  }
  std::string error;
  HRESULT hr = mapidirectory::add(entry, error);
  if (FAILED(hr)) {
    toolError(error);
    return exitCodeFor(hr);
  }
  std::cout << "Added directory entry " << entry.id << ": " << describe(entry) << "\n";
  return 0;
}

int list(const std::vector<std::string>& args) {
  if (!args.empty()) {
    toolError("unexpected argument '" + args[0] + "'");
    return kUsageError;
  }
  std::vector<mapidirectory::Entry> entries;
  std::string error;
  HRESULT hr = mapidirectory::list(entries, error);
  if (FAILED(hr)) {
    toolError(error);
    return kIoError;
  }
  // One line per entry: id, display name, SMTP address, distinguished name
  // ("-" when absent), then the further proxy addresses, tab-separated.
  for (const auto& e : entries) {
    std::cout << e.id << "\t" << e.displayName << "\t" << (e.smtpAddress.empty() ? "-" : e.smtpAddress) << "\t"
              << (e.distinguishedName.empty() ? "-" : e.distinguishedName);
    for (const auto& p : e.proxies) std::cout << "\t" << p;
    std::cout << "\n";
  }
  return 0;
}

int remove(const std::vector<std::string>& args) {
  if (args.empty()) {
    toolError("directory remove needs an entry id or SMTP address");
    return kUsageError;
  }
  if (args.size() > 1) {
    toolError("unexpected argument '" + args[1] + "'");
    return kUsageError;
  }
  mapidirectory::Entry removed;
  std::string error;
  HRESULT hr = mapidirectory::remove(args[0], removed, error);
  if (FAILED(hr)) {
    toolError(error);
    return exitCodeFor(hr);
  }
  std::cout << "Removed directory entry " << removed.id << ": " << describe(removed) << "\n";
  return 0;
}

}  // namespace

int directoryCommand(const std::vector<std::string>& args) {
  if (args.empty()) {
    toolError("directory needs a subcommand: add, list or remove");
    return kUsageError;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "add") return add(rest);
  if (args[0] == "list") return list(rest);
  if (args[0] == "remove") return remove(rest);
  toolError("unknown directory subcommand '" + args[0] + "'");
  return kUsageError;
}
