// tolvane-mapi deliver PROFILE [--folder PATH] [FILE...]
//
// The delivery agent a mail server calls: each RFC 5322 message (each FILE,
// or standard input) becomes one new message in the profile's Inbox, stored
// in one transaction. Exit codes follow sysexits, as mail servers expect:
// 0 every message is stored; 64 usage; 65 an input is not a message;
// 67 no such profile; 74 an input or the store cannot be read or written;
// 75 the store is busy or failed for a passing reason (try again later).
#include "commands.h"

#include <deliver.h>

#include <mapicode.h>

#include <iostream>

namespace {

const int kUsageError = 64;
const int kDataError = 65;
const int kNoUser = 67;
const int kIoError = 74;
const int kTempFail = 75;

int exitCodeOf(HRESULT hr) {
  switch (hr) {
    case MAPI_E_LOGON_FAILED:
      return kNoUser;
    case MAPI_E_DISK_ERROR:
    case MAPI_E_CORRUPT_STORE:
    case MAPI_E_CORRUPT_DATA:
    case MAPI_E_NO_ACCESS:
      return kIoError;
    default:
      // Busy, out of memory or disk, or anything unforeseen: the message is
      // not stored, and the mail server keeps it and tries again.
      return kTempFail;
  }
}

int exitCodeOf(const mapimime::DeliveryResult& r) {
  switch (r.failure) {
    case mapimime::DeliveryFailure::kNone:
      return 0;
    case mapimime::DeliveryFailure::kNotAMessage:
      return kDataError;
    case mapimime::DeliveryFailure::kInput:
      return kIoError;
    case mapimime::DeliveryFailure::kStore:
      return exitCodeOf(r.hr);
  }
  return kTempFail;
}

}  // namespace

int deliverCommand(const std::vector<std::string>& args) {
  std::string profile, folder;
  std::vector<std::string> files;
  bool haveProfile = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--folder" && i + 1 < args.size()) {
      folder = args[++i];
    } else if (a.size() > 1 && a.rfind("-", 0) == 0 && a != "-") {
      toolError("deliver: unknown or incomplete option '" + a + "'");
      return kUsageError;
    } else if (!haveProfile) {
      profile = a;
      haveProfile = true;
    } else {
      files.push_back(a);
    }
  }
  if (!haveProfile) {
    toolError("deliver needs a PROFILE");
    return kUsageError;
  }
  if (files.empty()) files.push_back("-");

  mapimime::MailDelivery delivery;
  std::string error;
  HRESULT hr = delivery.open(profile, error);
  if (SUCCEEDED(hr) && !folder.empty()) hr = delivery.openFolder(folder, error);
  if (FAILED(hr)) {
    toolError("deliver: " + error);
    return exitCodeOf(hr);
  }
  int status = 0;
  for (const auto& file : files) {
    mapimime::DeliveryResult r = delivery.deliverFile(file);
    if (r.ok()) continue;
    toolError("deliver: " + (file == "-" ? std::string("standard input") : file) + ": " + r.error);
    // The first failure decides the exit code; the other files are still
    // delivered.
    if (status == 0) status = exitCodeOf(r);
  }
  return status;
}
