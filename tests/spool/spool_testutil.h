// Helpers of the sending tests: a logged-on mailbox of a profile that
// composes messages through the MAPI interfaces (CreateMessage in the
// Outbox, SetProps, ModifyRecipients, attachments, SaveChanges) and submits
// them, and reads folders back.
#ifndef TOLVANE_TESTS_SPOOL_TESTUTIL_H
#define TOLVANE_TESTS_SPOOL_TESTUTIL_H

#include <mapidefs.h>
#include <mapix.h>

#include <string>
#include <vector>

namespace spooltest {

// A new empty folder under the test scratch area.
std::string tempDir(const std::string& tag);
void removeTree(const std::string& path);
std::string readFile(const std::string& path);

struct Recipient {
  ULONG type = MAPI_TO;
  std::string name;
  std::string address;  // "" with noAddress: the row has no address at all
  bool noAddress = false;
};

struct FileAttachment {
  std::string name;
  std::string data;
};

struct Draft {
  std::string subject;
  std::string body;
  std::vector<Recipient> recipients;
  std::vector<FileAttachment> files;
  bool sentMailEntryId = true;  // PR_SENTMAIL_ENTRYID: Sent Items
  bool deleteAfterSubmit = false;
  // An HTML body beside the plain one: PR_HTML, UTF-8 (PR_INTERNET_CPID
  // 65001), as Outlook keeps it. None when empty.
  std::string html;
};

// What a test reads of a stored message.
struct Stored {
  std::string entryId;
  std::string subject;
  std::string messageClass;
  std::string body;
  std::string messageId;  // PR_INTERNET_MESSAGE_ID
  LONG flags = -1;        // PR_MESSAGE_FLAGS
  bool hasSubmitFlags = false;
  std::string displayTo, displayCc, displayBcc;
};

class Mailbox {
 public:
  Mailbox() = default;
  ~Mailbox();
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // Starts MAPI and logs on to the profile (a session of its own).
  HRESULT open(const std::string& profile, std::string& error);
  void close();  // logs off

  LPMAPISESSION session() const { return m_session; }
  LPMDB store() const { return m_store; }

  // A new message in the Outbox with the draft's values, recipients and
  // attachments, saved with KEEP_OPEN_READWRITE. The caller releases it.
  HRESULT compose(const Draft& draft, LPMESSAGE* message, std::string& error, bool save = true);
  // compose, then SubmitMessage.
  HRESULT submit(const Draft& draft, std::string& error);

  // The messages of a folder ("Inbox", "Outbox", "Sent Items"), in order.
  std::vector<Stored> messages(const std::string& folder);
  // Opens a stored message (released by the caller).
  LPMESSAGE open(const std::string& entryId);

 private:
  bool m_initialized = false;
  LPMAPISESSION m_session = nullptr;
  LPMDB m_store = nullptr;
};

// Reads of single values; "" or -1 when missing.
std::string stringProp(LPMAPIPROP obj, ULONG tag);
LONG longProp(LPMAPIPROP obj, ULONG tag);
int64_t unixTimeProp(LPMAPIPROP obj, ULONG tag);
// A value read whole through IStream.
std::string streamProp(LPMAPIPROP obj, ULONG tag);
std::string lastErrorText(LPMAPIPROP obj, HRESULT hr);

// The rows of a recipient table: the named columns, strings as text,
// times as seconds since 1970, missing ones as "<missing>".
std::vector<std::vector<std::string>> recipientRows(LPMESSAGE message, const std::vector<ULONG>& columns);

}  // namespace spooltest

#endif
