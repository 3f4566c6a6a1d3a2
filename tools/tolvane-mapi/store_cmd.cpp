// tolvane-mapi store copy FROM TO
//
// Copies a message store to another place, of the same engine or the other
// (a store file, a mailbox in PostgreSQL), with everything it holds and
// its identity, so that its profile reads the copy once it names it
// (profile set NAME --store TO). See tolvane/storecopy.h for what is
// copied, how a copy run again goes on, and when a target is refused.
//
// Exit codes (sysexits): 0 the copy is made and checked; 64 usage; 66 the
// source does not exist; 73 the target holds a store of its own (nothing
// was written); 75 busy (a lock held past the wait, a spooler sending from
// the source, a lost connection): try again; 74 anything else. A copy that
// failed after it began is left unfinished, and the same command goes on
// with it.
#include "commands.h"

#include "progress.h"
#include "service.h"

#include <tolvane/storecopy.h>

#include <mapicode.h>

namespace {

const int kUsageError = 64;
const int kNoInput = 66;
const int kCannotCreate = 73;
const int kIoError = 74;
const int kTempFail = 75;

int exitCodeOf(HRESULT hr) {
  switch (hr) {
    case MAPI_E_NOT_FOUND:
      return kNoInput;
    case MAPI_E_COLLISION:
      return kCannotCreate;
    case MAPI_E_BUSY:
    case MAPI_E_NETWORK_ERROR:
    case MAPI_E_NOT_ENOUGH_MEMORY:
    case MAPI_E_NOT_ENOUGH_RESOURCES:
      return kTempFail;
    default:
      return kIoError;
  }
}

int copy(const std::vector<std::string>& args) {
  std::vector<std::string> places;
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-') {
      toolError("store copy: unknown option '" + a + "'");
      return kUsageError;
    }
    places.push_back(a);
  }
  if (places.size() != 2) {
    toolError("store copy needs FROM and TO: two store locations");
    return kUsageError;
  }
  ProgressLine line("store copy", "messages");
  mapistore::CopyResult result;
  std::string error;
  HRESULT hr = mapistore::copyStore(
      places[0], places[1], [&](const mapistore::CopyProgress& p) { line.update(p.messages, p.messagesTotal); },
      result, error);
  line.clear();
  if (FAILED(hr)) {
    toolError("store copy: " + error);
    return exitCodeOf(hr);
  }
  std::string kept = result.messages > result.copied
                         ? " (" + std::to_string(result.messages - result.copied) + " there from an earlier run)"
                         : "";
  service::logLine("store copy", mapistore::shownLocation(places[0]) + " to " + mapistore::shownLocation(places[1]) +
                                     ": " + std::to_string(result.messages) + " messages" + kept + ", " +
                                     std::to_string(result.bytes) + " bytes in " + durationText(line.seconds()));
  return 0;
}

}  // namespace

int storeCommand(const std::vector<std::string>& args) {
  if (args.empty()) {
    toolError("store needs a subcommand: copy");
    return kUsageError;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "copy") return copy(rest);
  toolError("unknown store subcommand '" + args[0] + "'");
  return kUsageError;
}
