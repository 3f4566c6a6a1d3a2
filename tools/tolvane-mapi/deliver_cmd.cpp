// tolvane-mapi deliver PROFILE [--folder PATH] [FILE...]
//
// The delivery agent a mail server calls: each RFC 5322 message (each FILE,
// or standard input) becomes one new message in the profile's Inbox (or
// the folder), stored in one transaction. Exit codes follow sysexits, as
// mail servers expect: 0 every message is stored; 64 usage; 65 an input is
// not a message; 67 no such profile, or no such folder; 73 the profile's
// message store does not exist; 74 an input or the store cannot be read or
// written; 75 the store is busy or something ran short (descriptors,
// memory, disk): try again later; 78 the home of the profiles is not safe
// to use (another user's, or writable by others).
//
// Each file is stored or not on its own: a file that fails is named on
// standard error with the reason, and the exit code is that of the first
// file not stored. With one message (what a mail server passes) nothing is
// stored unless the exit code is 0; with several, a last line lists the
// files not stored, so that exactly those can be tried again. Several files
// are stored in batches of one transaction (MailDelivery::deliverFiles):
// one sync per batch, and a batch the store fails is stored again file by
// file. Several files end with a summary line on standard error (messages
// stored, refused, the time taken), and while they are stored a progress
// line is drawn there when it is a terminal.
#include "commands.h"

#include "progress.h"
#include "service.h"

#include <deliver.h>

#include <mapicode.h>

#include <iostream>

namespace {

const int kUsageError = 64;
const int kDataError = 65;
const int kNoUser = 67;
const int kCannotCreate = 73;
const int kIoError = 74;
const int kTempFail = 75;
const int kConfigError = 78;

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

  // The home and the profile are looked at first: logging on tells only
  // that it failed, and a mail server must hear what lasts from what passes.
  std::string error;
  HRESULT checked = checkProfile(profile, error);
  if (checked == MAPI_E_NO_ACCESS) {
    toolError("deliver: " + error);
    return kConfigError;
  }
  if (checked == MAPI_E_NOT_FOUND) {
    toolError("deliver: " + error);
    return kCannotCreate;
  }

  mapimime::MailDelivery delivery;
  HRESULT hr = delivery.open(profile, error);
  if (FAILED(hr)) {
    toolError("deliver: " + error);
    // Not found here: the store or its receive folder is missing, which
    // trying again does not mend.
    return hr == MAPI_E_NOT_FOUND ? kCannotCreate : exitCodeOf(hr);
  }
  if (!folder.empty()) {
    hr = delivery.openFolder(folder, error);
    if (FAILED(hr)) {
      toolError("deliver: " + error);
      return hr == MAPI_E_NOT_FOUND ? kNoUser : exitCodeOf(hr);
    }
  }
  int status = 0;
  std::vector<std::string> notStored;
  ProgressLine line("deliver", "messages");
  std::vector<mapimime::DeliveryResult> results;
  if (files.size() > 1)
    results = delivery.deliverFiles(files, [&](size_t done) { line.update(done, files.size()); });
  else
    results = delivery.deliverFiles(files);
  line.clear();
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string& file = files[k];
    const mapimime::DeliveryResult& r = results[k];
    if (r.ok()) continue;
    std::string name = file == "-" ? std::string("standard input") : file;
    int code = exitCodeOf(r);
    toolError("deliver: " + name + ": " + r.error);
    notStored.push_back(name + " (" + std::to_string(code) + ")");
    // The first failure decides the exit code; the other files are still
    // delivered.
    if (status == 0) status = code;
  }
  if (files.size() > 1 && !notStored.empty()) {
    std::string list;
    for (const auto& n : notStored) list += (list.empty() ? "" : ", ") + n;
    toolError("deliver: " + std::to_string(notStored.size()) + " of " + std::to_string(files.size()) +
              " messages not stored: " + list);
  }
  if (files.size() > 1)
    service::logLine("deliver", std::to_string(files.size() - notStored.size()) + " messages stored, " +
                                    std::to_string(notStored.size()) + " refused in " + durationText(line.seconds()));
  return status;
}
