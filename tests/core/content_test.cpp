// The multipart view of received messages, the report text of non-delivery
// reports, and parts written to files.
#include "inbox_fixture.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "platform/platform.h"

#include <mapicode.h>
#include <mapitags.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;
using testutil::InboxTest;

const ULONG kBodyHtml = PROP_TAG(PT_STRING8, 0x1013);
const ULONG kContentId = PROP_TAG(PT_STRING8, 0x3712);

class ContentTest : public InboxTest {
 protected:
  static std::vector<CMapiBodyPart*> parts(CMapiMessage* m) { return m->getContent()->m_pMultipart->m_parts; }
  static Attachment attachment(std::vector<Value> props, std::string data = "") {
    Attachment a;
    a.props = std::move(props);
    if (!data.empty()) a.props.push_back(Value::Binary(PR_ATTACH_DATA_BIN, std::move(data)));
    return a;
  }
  std::string path(const std::string& name) { return m_tempDir + "/" + name; }
};

TEST_F(ContentTest, BodiesComeHtmlFirstAndEmptyBodiesAddNothing) {
  add(withProps({Value::String(PR_BODY_A, "text only")}));
  add(withProps({Value::String(PR_BODY_A, "text"), Value::String(kBodyHtml, "<p>html</p>")}));
  add(withProps({Value::String(PR_BODY_A, ""), Value::String(PR_SUBJECT_A, "nothing")}));
  openInbox();

  auto p = parts(fetch(1));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0]->m_nType, PART_TEXT_BODY);
  EXPECT_EQ(p[0]->m_nSource, SOURCE_MESSAGE_PROPERTY);
  EXPECT_EQ(p[0]->getContentType(), "text/plain");
  EXPECT_EQ(p[0]->getDisposition(), "");
  EXPECT_EQ(p[0]->getText(), "text only");
  EXPECT_EQ(p[0]->m_ulSize, 0u);

  p = parts(fetch(2));
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0]->getContentType(), "text/html");
  EXPECT_EQ(p[0]->getHtml(), "<p>html</p>");
  EXPECT_EQ(p[1]->getText(), "text");

  CMapiMessage* empty = fetch(3);
  EXPECT_FALSE(empty->getContent()->isMultipart());
  EXPECT_TRUE(parts(empty).empty());
}

TEST_F(ContentTest, ContentIsComputedOnceAndDiscardedWithTheDeleteFlag) {
  CMapiMessage* m = only(withProps({Value::String(PR_BODY_A, "x")}));
  CMapiContent* first = m->getContent();
  EXPECT_EQ(m->getContent(), first);
  std::string text = log();
  size_t in = text.find("CMapiMessage::getContent->In\n");
  ASSERT_NE(in, std::string::npos);
  EXPECT_EQ(text.find("CMapiMessage::getContent->In\n", in + 1), std::string::npos);
  m->setDeleteFlag(false);
  EXPECT_EQ(m->m_pContent, nullptr);
  EXPECT_TRUE(m->getContent()->isMultipart());
}

TEST_F(ContentTest, LargePlainBodyIsReadThroughItsStream) {
  mapitest::setSizeLimit(1000);
  std::string body(300000, 'z');
  body += "end";
  CMapiMessage* m = only(withProps({Value::String(PR_BODY_A, body), Value::String(kBodyHtml, std::string(2000, 'h'))}));
  auto p = parts(m);
  ASSERT_EQ(p.size(), 1u) << "the HTML body is never read as a stream";
  EXPECT_EQ(p[0]->getText(), body);
}

TEST_F(ContentTest, HasAttachWithAnEmptyTableIsMultipartWithoutParts) {
  CMapiMessage* m = only(withProps({Value::Bool(PR_HASATTACH, false)}));
  CMapiContent* content = m->getContent();
  EXPECT_TRUE(content->isMultipart());
  EXPECT_TRUE(parts(m).empty());
  EXPECT_FALSE(content->m_bHasAttachments);
}

TEST_F(ContentTest, AttachmentPartsFollowTheirMethodAndNames) {
  MessageDef def;
  def.props = {Value::String(PR_BODY_A, "body")};
  def.attachments = {
      attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), Value::String(PR_ATTACH_LONG_FILENAME_A, "long.pdf"),
                  Value::String(PR_ATTACH_FILENAME_A, "short.pdf"), Value::String(PR_ATTACH_MIME_TAG_A, "application/pdf"),
                  Value::String(kContentId, "cid-1")},
                 std::string(1234, 'p')),
      attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE)}, "no names"),
      attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), Value::String(PR_ATTACH_FILENAME_A, "SHORT.TXT")},
                 "short only"),
      attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), Value::String(PR_ATTACH_LONG_FILENAME_A, ""),
                  Value::String(PR_ATTACH_FILENAME_A, "never.txt")},
                 "empty long name"),
      attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_OLE), Value::String(PR_ATTACH_LONG_FILENAME_A, "ole.bin")}, "x"),
      attachment({Value::Long(PR_ATTACH_METHOD, 6), Value::String(PR_ATTACH_LONG_FILENAME_A, "six.bin")}, "x"),
  };
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  Attachment embedded = Attachment::message("Forwarded", inner);
  embedded.props.push_back(Value::String(PR_ATTACH_MIME_TAG_A, "application/x-other"));
  def.attachments.push_back(embedded);

  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0]->m_nType, PART_TEXT_BODY);
  EXPECT_EQ(p[1]->m_nType, PART_ATTACHMENT);
  EXPECT_EQ(p[1]->m_nSource, SOURCE_ATTACHMENT);
  EXPECT_EQ(p[1]->getFileName(), "long.pdf");
  EXPECT_EQ(p[1]->getContentType(), "application/pdf");
  EXPECT_EQ(p[1]->getDisposition(), "attachment");
  EXPECT_EQ(p[1]->getContentId(), "cid-1");
  // PR_ATTACH_SIZE counts the whole attachment object: its data and its
  // other properties.
  EXPECT_GE(p[1]->m_ulSize, 1234u);
  EXPECT_LT(p[1]->m_ulSize, 1234u + 1024u);
  EXPECT_EQ(p[2]->getFileName(), "SHORT.TXT");
  EXPECT_EQ(p[2]->getContentType(), "application/binary");
  EXPECT_GE(p[2]->m_ulSize, 10u);
  EXPECT_LT(p[2]->m_ulSize, p[1]->m_ulSize);
  EXPECT_EQ(p[3]->m_nType, PART_ATTACHED_MESSAGE);
  EXPECT_EQ(p[3]->getFileName(), "Forwarded.msg");
  EXPECT_EQ(p[3]->getContentType(), "message/rfc822");
  EXPECT_EQ(p[3]->m_ulAttachNum, p[3]->m_ulPropTag);
  EXPECT_THROW(p[0]->m_pMultipart->getPart(4), std::out_of_range);
  EXPECT_THROW(p[0]->m_pMultipart->getPart(-1), std::out_of_range);
}

TEST_F(ContentTest, UnreadablePropertyListFailsTheContent) {
  CMapiMessage* m = only(withProps({Value::String(PR_BODY_A, "x")}));
  mapitest::addFault("IMessage::GetPropList", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->getContent(); }),
            "CMapiContent::calculateMultipart: m_lpMessage->GetPropListIMessage::GetPropList failed: injected fault "
            "0x80004005");
  EXPECT_FALSE(m->m_pContent->m_bCalculated);
  EXPECT_TRUE(m->getContent()->isMultipart()) << "a later call computes again";
}

// 2000-01-01 12:00:00 UTC, as the report shows it.
const int64_t kNoon2000 = 946728000;
const char* const kNoon2000Text = "1/1/2000 12:00:00 PM";

Recipient reportRecipient(const std::string& address, bool withInfo) {
  Recipient r = Recipient::make(MAPI_TO, address, address);
  r.props.push_back(Value::UnixTime(PR_REPORT_TIME, kNoon2000));
  r.props.push_back(Value::String(PR_REPORT_TEXT_A, "550 no such user"));
  if (withInfo) r.props.push_back(Value::String(PR_SUPPLEMENTARY_INFO_A, "5.1.1"));
  return r;
}

MessageDef report(std::vector<Recipient> recipients, std::string subject = "Hello") {
  MessageDef def;
  def.props = {Value::String(PR_MESSAGE_CLASS_A, "REPORT.IPM.Note.NDR"), Value::String(PR_BODY_A, "stored body"),
               Value::String(PR_ORIGINAL_SUBJECT_A, subject), Value::UnixTime(PR_ORIGINAL_SUBMIT_TIME, kNoon2000)};
  def.recipients = std::move(recipients);
  return def;
}

TEST_F(ContentTest, ReportTextForEveryShapeOfRecipientTable) {
  const std::string intro = std::string("Your message did not reach some or all of the intended recipients.\n\n\t") +
                            "Subject:   Hello\n\tSent:   " + kNoon2000Text;
  const std::string heading = "\n\n The following recipient(s) could not be reached:\n";
  const std::string block = std::string("\n\tgone@example.com  on  ") + kNoon2000Text + "\n\t550 no such user\n\t5.1.1\n";
  const std::string see = "For more details, please see attached Non Delivery Report Message";
  const std::string shortClosing = "\n" + see + " in Advanced Options Tab, Under Tab, Attachment Alternatives";
  const std::string longClosing = "\n\n" + see + " in Advanced Options Tab, Under Tab, Attachment Alternatives.";

  add(report({reportRecipient("gone@example.com", true)}));
  add(report({reportRecipient("gone@example.com", false)}));
  add(report({}));
  add(report({reportRecipient("gone@example.com", true), reportRecipient("x@example.com", false)}));
  add(report({reportRecipient("x@example.com", false), reportRecipient("gone@example.com", true)}));
  add(report({}, ""));
  openInbox();
  const std::string expected[] = {
      intro + heading + block,
      intro + shortClosing,
      intro + longClosing,
      intro + shortClosing,
      intro + block,
      std::string("Your message did not reach some or all of the intended recipients.\n\n\t\n\tSent:   ") +
          kNoon2000Text + longClosing,
  };
  for (ULONG i = 0; i < 6; ++i) {
    auto p = parts(fetch(i + 1));
    ASSERT_EQ(p.size(), 1u) << i;
    EXPECT_EQ(p[0]->m_ulPropTag, PR_BODY_A);
    EXPECT_EQ(p[0]->getText(), expected[i]) << "report " << i + 1;
  }
}

TEST_F(ContentTest, OnlyTheExactReportClassGetsAReportText) {
  MessageDef def = report({});
  def.props[0] = Value::String(PR_MESSAGE_CLASS_A, "report.ipm.note.ndr");
  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0]->getText(), "stored body");
}

TEST_F(ContentTest, ReportRecipientTableFailureFailsTheContent) {
  CMapiMessage* m = only(report({reportRecipient("gone@example.com", true)}));
  mapitest::addFault("IMessage::GetRecipientTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->getContent(); }),
            "CMapiContent::getReportData GetRecipientTable failed IMessage::GetRecipientTable failed: injected fault "
            "0x80004005");
  EXPECT_TRUE(m->m_pContent->m_pMultipart->m_parts.empty());
}

TEST_F(ContentTest, AttachmentWrittenByteForByteOnceAndDeletedWithTheContent) {
  std::string data;
  for (uint32_t i = 0; i < 3 * 1024 * 1024 + 17; ++i) data += static_cast<char>((i * 7919u) >> 3);
  MessageDef def;
  def.attachments = {Attachment::file("data.bin", data), Attachment::file("empty.bin", "")};
  CMapiMessage* m = only(def);
  auto p = parts(m);
  ASSERT_EQ(p.size(), 2u);
  p[0]->writeToFile(path("out.bin"));
  EXPECT_EQ(testutil::readFile(path("out.bin")), data);
  p[0]->writeToFile(path("second.bin"));
  EXPECT_FALSE(platform::fileExists(path("second.bin"))) << "a part is written once";
  p[1]->writeToFile(path("empty.bin"));
  EXPECT_TRUE(platform::fileExists(path("empty.bin")));
  EXPECT_EQ(testutil::readFile(path("empty.bin")), "");
  m->setDeleteFlag(false);
  EXPECT_FALSE(platform::fileExists(path("out.bin")));
  EXPECT_FALSE(platform::fileExists(path("empty.bin")));
}

TEST_F(ContentTest, MissingDirectoryIsReportedAndAnotherPathCanBeTried) {
  MessageDef def;
  def.attachments = {Attachment::file("a.txt", "alpha")};
  auto p = parts(only(def));
  EXPECT_EQ(thrown([&] { p[0]->writeToFile(path("missing/a.txt")); }), "Unable to write part to file");
  p[0]->writeToFile(path("a.txt"));
  EXPECT_EQ(testutil::readFile(path("a.txt")), "alpha");
}

TEST_F(ContentTest, AttachmentByReferenceFailsEveryTimeAndLeavesNoFile) {
  MessageDef def;
  def.attachments = {attachment({Value::Long(PR_ATTACH_METHOD, ATTACH_BY_REFERENCE),
                                 Value::String(PR_ATTACH_LONG_FILENAME_A, "remote.doc")})};
  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(thrown([&] { p[0]->writeToFile(path("remote.doc")); }), "Unable to write part to file");
  EXPECT_FALSE(platform::fileExists(path("remote.doc"))) << "the file the write made goes with the failure";
  EXPECT_EQ(thrown([&] { p[0]->writeToFile(path("again.doc")); }), "Unable to write part to file")
      << "a failed part is not taken for written";
  EXPECT_TRUE(p[0]->m_strFilePath.empty());
}

TEST_F(ContentTest, AttachedMessageThatFailedIsWrittenWhenTriedAgain) {
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  MessageDef def;
  def.attachments = {Attachment::message("Original", inner)};
  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 1u);
  ASSERT_EQ(p[0]->m_nType, PART_ATTACHED_MESSAGE);
  EXPECT_EQ(thrown([&] { p[0]->writeToFile(path("missing/Original.msg")); }), "Unable to write part to file");
  EXPECT_TRUE(p[0]->m_strFilePath.empty());
  p[0]->writeToFile(path("Original.msg"));
  std::string msg = testutil::readFile(path("Original.msg"));
  ASSERT_GE(msg.size(), 8u) << "the second call wrote the file";
  EXPECT_EQ(msg.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
  EXPECT_EQ(p[0]->m_strFilePath, path("Original.msg"));
}

TEST_F(ContentTest, AttachedMessageWhoseWriteFailsTakesAwayTheFileItMade) {
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  MessageDef def;
  def.attachments = {Attachment::message("Original", inner)};
  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 1u);
  mapitest::addFault("IStorage::Commit", 1, E_FAIL);
  EXPECT_EQ(thrown([&] { p[0]->writeToFile(path("full.msg")); }), "Unable to write part to file");
  EXPECT_FALSE(platform::fileExists(path("full.msg")));
  p[0]->writeToFile(path("full.msg"));
  EXPECT_TRUE(platform::fileExists(path("full.msg")));
}

// Every kind of part: the HTML body, an attachment's data, an attached message.
class PartFileTest : public ContentTest {
 protected:
  std::vector<CMapiBodyPart*> everyKind() {
    MessageDef inner;
    inner.props = {Value::String(PR_SUBJECT_A, "inner")};
    MessageDef def = withProps({Value::String(kBodyHtml, "<p>secret</p>")});
    def.attachments = {Attachment::file("data.bin", "secret data"), Attachment::message("Original", inner)};
    auto p = parts(only(def));
    EXPECT_EQ(p.size(), 3u);
    return p;
  }
  static mode_t mode(const std::string& file) {
    struct stat st;
    return lstat(file.c_str(), &st) == 0 ? st.st_mode : 0;
  }
};

TEST_F(PartFileTest, NewPartFilesAreTheOwnersAlone) {
  mode_t oldMask = umask(022);
  auto p = everyKind();
  for (size_t i = 0; i < p.size(); ++i) {
    std::string file = path("part" + std::to_string(i));
    p[i]->writeToFile(file);
    EXPECT_EQ(mode(file) & 07777, 0600u) << "part " << i;
  }
  umask(oldMask);
}

TEST_F(PartFileTest, LinkAtThePathIsRefusedNotFollowed) {
  auto p = everyKind();
  testutil::writeFile(path("victim"), "keep me");
  ASSERT_EQ(symlink(path("victim").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(symlink(path("planted").c_str(), path("dangling").c_str()), 0);
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(thrown([&] { p[i]->writeToFile(path("link")); }), "Unable to write part to file") << "part " << i;
    EXPECT_EQ(thrown([&] { p[i]->writeToFile(path("dangling")); }), "Unable to write part to file") << "part " << i;
    EXPECT_EQ(testutil::readFile(path("victim")), "keep me") << "part " << i;
    EXPECT_FALSE(platform::fileExists(path("planted"))) << "part " << i;
    EXPECT_TRUE(S_ISLNK(mode(path("link")))) << "part " << i;
    EXPECT_TRUE(S_ISLNK(mode(path("dangling")))) << "part " << i;
    // The part is still unwritten: a good path works.
    std::string good = path("good" + std::to_string(i));
    p[i]->writeToFile(good);
    EXPECT_TRUE(platform::fileExists(good)) << "part " << i;
  }
}

TEST_F(PartFileTest, FifoOrDirectoryAtThePathIsRefusedWithoutWaiting) {
  auto p = everyKind();
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(thrown([&] { p[i]->writeToFile(path("fifo")); }), "Unable to write part to file") << "part " << i;
    EXPECT_EQ(thrown([&] { p[i]->writeToFile(path("dir")); }), "Unable to write part to file") << "part " << i;
    EXPECT_TRUE(S_ISFIFO(mode(path("fifo")))) << "part " << i;
    EXPECT_TRUE(S_ISDIR(mode(path("dir")))) << "part " << i;
  }
}

TEST_F(PartFileTest, RegularFileOfTheUserIsReplacedWhole) {
  auto p = everyKind();
  std::string longer(5000, 'o');
  for (size_t i = 0; i < p.size(); ++i) {
    std::string file = path("existing" + std::to_string(i));
    testutil::writeFile(file, longer);
    p[i]->writeToFile(file);
    EXPECT_TRUE(S_ISREG(mode(file))) << "part " << i;
  }
  EXPECT_EQ(testutil::readFile(path("existing0")), "<p>secret</p>");
  EXPECT_EQ(testutil::readFile(path("existing1")), "secret data");
  EXPECT_EQ(testutil::readFile(path("existing2")).substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
}

TEST_F(PartFileTest, FileOfAnotherUserIsRefused) {
  // Only the superuser can give a file away; everyone else cannot even open
  // another user's private file for writing.
  if (geteuid() != 0) return;
  auto p = everyKind();
  for (size_t i = 0; i < p.size(); ++i) {
    std::string file = path("theirs" + std::to_string(i));
    testutil::writeFile(file, "theirs");
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_EQ(thrown([&] { p[i]->writeToFile(file); }), "Unable to write part to file") << "part " << i;
    EXPECT_EQ(testutil::readFile(file), "theirs") << "part " << i;
  }
}

TEST_F(ContentTest, AttachmentSizesComeFromOneReadOfTheAttachmentTable) {
  // Each part's size once came from a read of the whole table of its own,
  // and each attachment was opened for its names: quadratic in the number of
  // attachments. 10,000 attachments now take a fraction of a second.
  const int count = 1000;
  MessageDef def;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "a%04d", i);  // names of one length: sizes differ by the data alone
    def.attachments.push_back(Attachment::file(name, std::string(i, 'x')));
  }
  add(def);
  openInbox();
  CMapiMessage* m = fetch(1);
  mapitest::startJournal();
  auto started = std::chrono::steady_clock::now();
  auto p = parts(m);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[   INFO   ] the parts of %d attachments in %.3f s\n", count, seconds);
  EXPECT_EQ(mapitest::journalCount("IMessage::GetAttachmentTable"), 1u);
  EXPECT_LE(mapitest::journalCount("IMAPITable::QueryRows"), 2u);
  EXPECT_EQ(mapitest::journalCount("IMessage::OpenAttach"), 0u) << "the table row has all a part shows";
  ASSERT_EQ(p.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    // PR_ATTACH_SIZE counts the data and the other properties.
    EXPECT_GE(p[i]->m_ulSize, static_cast<ULONG>(i)) << i;
    EXPECT_LT(p[i]->m_ulSize, static_cast<ULONG>(i + 1024)) << i;
    if (i > 0) {
      EXPECT_EQ(p[i]->m_ulSize - p[i - 1]->m_ulSize, 1u) << i;
    }
  }
}

TEST_F(ContentTest, BodyPartsWriteTheStoredTextAndAttachedMessagesAMsgFile) {
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  MessageDef def = report({});
  def.props.push_back(Value::String(kBodyHtml, "<i>stored html</i>"));
  def.attachments = {Attachment::message("Original", inner)};
  auto p = parts(only(def));
  ASSERT_EQ(p.size(), 3u);
  p[0]->writeToFile(path("report.txt"));
  EXPECT_EQ(testutil::readFile(path("report.txt")), "stored body") << "a report part writes the stored body";
  p[1]->writeToFile(path("body.html"));
  EXPECT_EQ(testutil::readFile(path("body.html")), "<i>stored html</i>");
  p[2]->writeToFile(path("Original.msg"));
  std::string msg = testutil::readFile(path("Original.msg"));
  ASSERT_GE(msg.size(), 8u);
  EXPECT_EQ(msg.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
}

}  // namespace
