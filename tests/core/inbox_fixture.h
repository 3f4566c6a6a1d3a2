// A logged-on store with its Inbox, and messages added to the store with
// exactly the properties a test names.
#ifndef TOLVANE_TESTS_INBOX_FIXTURE_H
#define TOLVANE_TESTS_INBOX_FIXTURE_H

#include "testutil.h"

#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/mapiexception.h"

#include <tolvane/mapifixture.h>

#include <memory>
#include <string>

namespace testutil {

class InboxTest : public MapiTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores a message in alice's Inbox; returns its entry identifier.
  std::string add(const mapifixture::MessageDef& def);
  // A message with this subject (and an unread flag) only.
  std::string addSubject(const std::string& subject);
  // Stores def as the only message of the Inbox and fetches it.
  CMapiMessage* only(const mapifixture::MessageDef& def);
  static mapifixture::MessageDef withProps(std::vector<mapifixture::Value> props);
  // Logs on, finds and opens the Inbox (the folder is m_folder).
  void openInbox();
  // The message at a 1-based position, fetched through the folder.
  CMapiMessage* fetch(ULONG position);
  // Number of messages in alice's Inbox, counted through a fresh logon.
  ULONG storedCount();
  // The text a failing call throws, "" when it does not throw.
  template <class F>
  static std::string thrown(F f) {
    try {
      f();
    } catch (CMapiException& e) {
      return e.m_strMessage;
    }
    return "";
  }

  std::string m_tempDir;
  std::unique_ptr<CMapiStore> m_store;
  std::unique_ptr<CMapiFolder> m_folder;
};

}  // namespace testutil

#endif
