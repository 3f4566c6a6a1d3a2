// Delivered mail read back through the library's own message objects (what
// the Java natives call): subject, addresses in display form, reply-to
// through the address book, priority, bodies, content parts with their
// attachment bytes, attached messages and the non-delivery report text.
#include "inbox_fixture.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"

#include "deliver.h"

#include <tolvane/directory.h>
#include <tolvane/mapitest.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string examplePath(const std::string& name) { return std::string(TOLVANE_EXAMPLES_MAIL) + "/" + name; }

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class MimeNativesTest : public testutil::InboxTest {
 protected:
  // Delivers the samples in this order and opens the Inbox.
  void deliverAll(const std::vector<std::string>& names) {
    {
      mapimime::MailDelivery delivery;
      std::string error;
      ASSERT_EQ(delivery.open("alice", error), S_OK) << error;
      for (const auto& n : names) {
        mapimime::DeliveryResult r = delivery.deliverFile(examplePath(n));
        ASSERT_TRUE(r.ok()) << n << ": " << r.error;
      }
    }
    openInbox();
    ASSERT_EQ(m_folder->getMessageCount(), names.size());
  }

  // Delivers a message given as text.
  void deliverText(const std::string& text) {
    std::string path = m_tempDir + "/message.eml";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    mapimime::MailDelivery delivery;
    std::string error;
    ASSERT_EQ(delivery.open("alice", error), S_OK) << error;
    mapimime::DeliveryResult r = delivery.deliverFile(path);
    ASSERT_TRUE(r.ok()) << r.error;
  }

  CMapiMultipart* parts(CMapiMessage* m) {
    CMapiContent* content = m->getContent();
    return content ? content->m_pMultipart : nullptr;
  }
};

}  // namespace

TEST_F(MimeNativesTest, PlainMessage) {
  deliverAll({"plain.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  EXPECT_EQ(m->getSubject(), "Quarterly figures");
  EXPECT_EQ(m->getID(), "<20260303091500.1234@mail.example.org>");
  EXPECT_EQ(m->getPriority(), "1");
  CStringList from, to, cc, bcc, replyTo;
  m->getFrom(from);
  m->getTo(to);
  m->getCC(cc);
  m->getBCC(bcc);
  m->getReplyTo(replyTo);
  EXPECT_EQ(from, CStringList({"\"Anna Berg\" <anna.berg@example.org>"}));
  EXPECT_EQ(to, CStringList({"\"Alice Example\" <alice@example.com>", "\"bob@example.com\" <bob@example.com>"}));
  EXPECT_EQ(cc, CStringList({"\"Carol, Accounts\" <carol@example.net>"}));
  EXPECT_TRUE(bcc.empty());
  // The one-off entry of Reply-To, resolved through the address book.
  EXPECT_EQ(replyTo, CStringList({"OFFICE@EXAMPLE.ORG"}));
  EXPECT_NE(m->getText().find("the quarterly figures are ready"), std::string::npos);
  EXPECT_EQ(m->getHTML(), "");
  // 2026-03-03 08:15:00 UTC as an automation date.
  EXPECT_NEAR(m->getSentDate(), 46084.34375, 1e-6);
}

TEST_F(MimeNativesTest, HtmlWithInlineImagePartsAndBytes) {
  deliverAll({"html-inline-image.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  CMapiMultipart* mp = parts(m.get());
  ASSERT_TRUE(mp);
  ASSERT_EQ(mp->getCount(), 3);
  EXPECT_EQ(mp->getPart(0)->getContentType(), "text/html");
  EXPECT_NE(mp->getPart(0)->getHtml().find("Caf\xC3\xA9 prices inside!"), std::string::npos);
  EXPECT_EQ(mp->getPart(1)->getContentType(), "text/plain");
  CMapiBodyPart* image = mp->getPart(2);
  EXPECT_EQ(image->getFileName(), "logo.png");
  EXPECT_EQ(image->getContentType(), "image/png");
  EXPECT_EQ(image->getContentId(), "logo.1234@shop.example");
  std::string out = m_tempDir + "/logo.png";
  image->writeToFile(out);
  EXPECT_EQ(slurp(out), slurp(examplePath("parts/logo.png")));
}

TEST_F(MimeNativesTest, AttachmentsWrittenToFilesMatchTheirSources) {
  deliverAll({"attachments.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  EXPECT_EQ(m->getPriority(), "5");
  CMapiMultipart* mp = parts(m.get());
  ASSERT_TRUE(mp);
  ASSERT_EQ(mp->getCount(), 3);
  EXPECT_EQ(mp->getPart(0)->getText(), "Please find the report and the data attached.\n");
  EXPECT_EQ(mp->getPart(1)->getFileName(), "report.csv");
  EXPECT_EQ(mp->getPart(2)->getFileName(), "M\xC3\xA4rz Daten \xC3\xBC" "bersicht.bin");
  mp->getPart(1)->writeToFile(m_tempDir + "/report.csv");
  mp->getPart(2)->writeToFile(m_tempDir + "/data.bin");
  EXPECT_EQ(slurp(m_tempDir + "/report.csv"), slurp(examplePath("parts/report.csv")));
  EXPECT_EQ(slurp(m_tempDir + "/data.bin"), slurp(examplePath("parts/data.bin")));
}

TEST_F(MimeNativesTest, AttachedMessagePart) {
  deliverAll({"attached-message.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  CMapiMultipart* mp = parts(m.get());
  ASSERT_TRUE(mp);
  ASSERT_EQ(mp->getCount(), 2);
  EXPECT_EQ(mp->getPart(1)->m_nType, 5);
  EXPECT_EQ(mp->getPart(1)->getFileName(), "Travel plans.msg");
  EXPECT_EQ(mp->getPart(1)->getContentType(), "message/rfc822");
}

TEST_F(MimeNativesTest, NonDeliveryReportText) {
  deliverAll({"ndr.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  CMapiMultipart* mp = parts(m.get());
  ASSERT_TRUE(mp);
  ASSERT_GE(mp->getCount(), 1);
  std::string text = mp->getPart(0)->getText();
  EXPECT_EQ(text.rfind("Your message did not reach some or all of the intended recipients.\n\n\t"
                       "Subject:   Lunch on Tuesday?\n\tSent:   ",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("\n\n The following recipient(s) could not be reached:\n\n\tnobody@example.invalid  on  "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n\t550 5.1.1 <nobody@example.invalid>: Recipient address rejected: User unknown\n\t5.1.1\n"),
            std::string::npos)
      << text;
}

TEST_F(MimeNativesTest, NonAsciiSubject) {
  deliverAll({"non-ascii-subjects.eml"});
  std::unique_ptr<CMapiMessage> m(fetch(1));
  EXPECT_EQ(m->getSubject(),
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D und Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln");
  CStringList from;
  m->getFrom(from);
  EXPECT_EQ(from, CStringList({"\"J\xC3\xBCrgen M\xC3\xBCller\" <juergen@example.de>"}));
}

TEST_F(MimeNativesTest, AddressesWithoutDomainReadBackAsGiven) {
  deliverText("From: foo\nTo: XX\nCc: Team <team>\nSubject: no domains\n\nbody\n");
  openInbox();
  std::unique_ptr<CMapiMessage> m(fetch(1));
  CStringList from, to, cc;
  m->getFrom(from);
  m->getTo(to);
  m->getCC(cc);
  EXPECT_EQ(from, CStringList({"\"foo\" <foo>"}));
  EXPECT_EQ(to, CStringList({"\"XX\" <XX>"}));
  EXPECT_EQ(cc, CStringList({"\"Team\" <team>"}));
}

// A sender from outside cannot pose as a directory entry: an address that
// came with Internet mail reads back as it was written and is never looked
// up in the address book.
TEST_F(MimeNativesTest, DirectoryNamesFromOutsideAreNeverResolved) {
  const std::string dn = "/o=corp/ou=x/cn=Recipients/cn=boss";
  mapidirectory::Entry boss;
  boss.displayName = "The Boss";
  boss.smtpAddress = "boss@corp.example";
  boss.distinguishedName = dn;
  std::string error;
  ASSERT_EQ(mapidirectory::add(boss, error), S_OK) << error;
  // What the reading code does with such an address when the store holds it
  // bare (as a MAPI client would for a directory entry): the directory's
  // address. That is the spoof.
  mapifixture::MessageDef internal;
  internal.props = {mapifixture::Value::String(PR_SENDER_NAME_A, "Boss"),
                    mapifixture::Value::String(PR_SENDER_EMAIL_ADDRESS_A, dn)};
  add(internal);

  deliverText("From: Boss <" + dn + ">\nTo: " + dn + ", Boss <SMTP:boss>\nCc: <smtp:boss@corp.example>\n"
              "Subject: urgent transfer\n\nPlease pay the invoice today.\n");
  openInbox();
  ASSERT_EQ(m_folder->getMessageCount(), 2u);
  std::unique_ptr<CMapiMessage> control(fetch(1));
  CStringList controlFrom;
  control->getFrom(controlFrom);
  ASSERT_EQ(controlFrom, CStringList({"\"Boss\" <boss@corp.example>"}));

  std::unique_ptr<CMapiMessage> m(fetch(2));
  mapitest::clearJournal();
  mapitest::startJournal();
  CStringList from, to, cc;
  m->getFrom(from);
  m->getTo(to);
  m->getCC(cc);
  mapitest::stopJournal();
  EXPECT_EQ(from, CStringList({"\"Boss\" <" + dn + ">"}));
  EXPECT_EQ(to, CStringList({"\"" + dn + "\" <" + dn + ">", "\"Boss\" <SMTP:boss>"}));
  EXPECT_EQ(cc, CStringList({"\"smtp:boss@corp.example\" <smtp:boss@corp.example>"}));
  EXPECT_EQ(mapitest::journalCount("IAddrBook::OpenEntry"), 0u);
  EXPECT_EQ(mapitest::journalCount("IAddrBook::ResolveName"), 0u);
}
