// spool_submit PROFILE --subject TEXT [--body TEXT] [--html TEXT]
//              [--to|--cc|--bcc RECIPIENT]... [--attach FILE]...
//
// Composes a message in the profile's Outbox through the MAPI interfaces,
// with Sent Items as its sent-mail folder, and submits it: what a mail
// client does, for the command test. A RECIPIENT is an address, or
// "Display Name <address>" for a display name of its own (else the address
// is the name). --html adds an HTML body (PR_HTML, UTF-8) beside the plain
// one; --attach adds FILE's bytes as an attachment under FILE's base name.
// Exit 0 when SubmitMessage succeeded.
#include "spool_testutil.h"

#include <mapicode.h>

#include <cstdio>
#include <string>

namespace {

spooltest::Recipient recipient(ULONG type, const std::string& value) {
  // "Name <address>": the name before the last '<', trimmed.
  size_t open = value.rfind('<');
  if (open != std::string::npos && value.size() > open + 2 && value.back() == '>') {
    std::string name = value.substr(0, open);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    std::string address = value.substr(open + 1, value.size() - open - 2);
    if (!name.empty()) return {type, name, address};
  }
  return {type, value, value};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr,
            "usage: spool_submit PROFILE --subject TEXT [--body TEXT] [--html TEXT] [--to|--cc|--bcc RECIPIENT]... "
            "[--attach FILE]...\n");
    return 64;
  }
  spooltest::Draft draft;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string option = argv[i], value = argv[i + 1];
    if (option == "--subject") draft.subject = value;
    else if (option == "--body") draft.body = value;
    else if (option == "--html") draft.html = value;
    else if (option == "--to") draft.recipients.push_back(recipient(MAPI_TO, value));
    else if (option == "--cc") draft.recipients.push_back(recipient(MAPI_CC, value));
    else if (option == "--bcc") draft.recipients.push_back(recipient(MAPI_BCC, value));
    else if (option == "--attach") {
      FILE* f = fopen(value.c_str(), "rb");
      if (!f) {
        fprintf(stderr, "spool_submit: cannot read %s\n", value.c_str());
        return 66;
      }
      std::string data;
      char buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
      bool bad = ferror(f) != 0;
      fclose(f);
      if (bad) {
        fprintf(stderr, "spool_submit: cannot read %s\n", value.c_str());
        return 66;
      }
      size_t slash = value.rfind('/');
      draft.files.push_back({slash == std::string::npos ? value : value.substr(slash + 1), data});
    } else {
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
