// spool_submit PROFILE --subject TEXT [--body TEXT] [--to|--cc|--bcc ADDRESS]...
//
// Composes a message in the profile's Outbox through the MAPI interfaces,
// with Sent Items as its sent-mail folder, and submits it: what a mail
// client does, for the command test. Exit 0 when SubmitMessage succeeded.
#include "spool_testutil.h"

#include <mapicode.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: spool_submit PROFILE --subject TEXT [--body TEXT] [--to|--cc|--bcc ADDRESS]...\n");
    return 64;
  }
  spooltest::Draft draft;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string option = argv[i], value = argv[i + 1];
    if (option == "--subject") draft.subject = value;
    else if (option == "--body") draft.body = value;
    else if (option == "--to") draft.recipients.push_back({MAPI_TO, value, value});
    else if (option == "--cc") draft.recipients.push_back({MAPI_CC, value, value});
    else if (option == "--bcc") draft.recipients.push_back({MAPI_BCC, value, value});
    else {
      fprintf(stderr, "spool_submit: unknown option %s\n", option.c_str());
      return 64;
    }
  }
  spooltest::Mailbox box;
  std::string error;
  HRESULT hr = box.open(argv[1], error);
  if (SUCCEEDED(hr)) hr = box.submit(draft, error);
  if (FAILED(hr)) {
    fprintf(stderr, "spool_submit: %s (0x%08X)\n", error.c_str(), static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
