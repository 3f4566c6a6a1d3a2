// A non-delivery report made by the spooler, read through the library's own
// message objects (what the Java natives call): the report text shown in
// place of its body names the original subject, its time and the recipient
// that could not be reached with the reason.
#include "inbox_fixture.h"
#include "spool_testutil.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"

#include <tolvane/spool.h>

#include <mapicode.h>

#include <gtest/gtest.h>

namespace {

class SpoolNativesTest : public testutil::InboxTest {};

TEST_F(SpoolNativesTest, TheReportOfAnUnreachableRecipientReadsAsAReport) {
  mapitest::setBackgroundSpooler(false);
  makeProfile("bob");
  {
    spooltest::Mailbox box;
    std::string error;
    ASSERT_EQ(box.open("alice", error), S_OK) << error;
    spooltest::Draft draft;
    draft.subject = "Lunch on Friday";
    draft.body = "Noon?";
    draft.recipients = {{MAPI_TO, "Bob", "bob@example.org"}, {MAPI_TO, "Nobody", "nobody"}};
    ASSERT_EQ(box.submit(draft, error), S_OK) << error;
    mapispool::RunResult result;
    ASSERT_EQ(mapispool::run("alice", mapispool::RunOptions(), result, error), S_OK) << error;
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_EQ(result.lines[0].reports, 1u);
  }
  openInbox();
  ASSERT_EQ(m_folder->getMessageCount(), 1u);
  std::unique_ptr<CMapiMessage> m(fetch(1));
  EXPECT_EQ(m->getSubject(), "Undeliverable: Lunch on Friday");
  CMapiContent* content = m->getContent();
  ASSERT_TRUE(content && content->m_pMultipart);
  ASSERT_GE(content->m_pMultipart->getCount(), 1);
  std::string text = content->m_pMultipart->getPart(0)->getText();
  EXPECT_EQ(text.rfind("Your message did not reach some or all of the intended recipients.\n\n\t"
                       "Subject:   Lunch on Friday\n\tSent:   ",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("\n\n The following recipient(s) could not be reached:\n\n\tnobody  on  "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n\tThe recipient's address \"nobody\" has no domain and is not in the address book\n\t5.1.3\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("bob@example.org"), std::string::npos) << text;
}

}  // namespace
