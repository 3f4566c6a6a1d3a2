// A message of the store exported as .msg opens in an independent reader
// (@kenjiuno/msgreader, run with node) with its content intact.
#include "inbox_fixture.h"

#include "../required_tool.h"

#include <mapitags.h>

#include <cstdio>
#include <map>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

// PATH -> JSON value, as read.js --flat prints them; empty when the reader
// cannot run.
std::map<std::string, std::string> readWithIndependentReader(const std::string& msgPath, std::string& why) {
  std::map<std::string, std::string> values;
  std::string src = TOLVANE_SOURCE_DIR;
  // The set-up of the test command installs the reader; a test never does.
  why = requiredtool::msgReaderMissing(src);
  if (!why.empty()) {
    requiredtool::reportMissing(why);
    return values;
  }
  FILE* p = popen(("node '" + src + "/tests/msgreader/read.js' --flat '" + msgPath + "'").c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run node";
    why = "cannot run node";
    return values;
  }
  char line[65536];
  while (fgets(line, sizeof line, p)) {
    std::string l(line);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    size_t tab = l.find('\t');
    if (tab != std::string::npos) values[l.substr(0, tab)] = l.substr(tab + 1);
  }
  // The reader ran and failed: a finding, not a reason to skip.
  if (pclose(p) != 0) ADD_FAILURE() << "the independent reader failed on " << msgPath;
  return values;
}

class ExportReaderTest : public testutil::InboxTest {};

TEST_F(ExportReaderTest, ExportedMessageReadsBackWithoutItsPlainBody) {
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "Earlier message")};
  inner.attachments = {Attachment::file("inner.txt", "inner data")};
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "Grüße zum Jahresende"),
               Value::String(PR_SENDER_NAME_A, "Sam Sender"),
               Value::String(PR_SENDER_EMAIL_ADDRESS_A, "sam@example.com"),
               Value::String(PR_SENDER_ADDRTYPE_A, "SMTP"),
               Value::String(PR_BODY_A, "plain body that must not be exported"),
               Value::String(PROP_TAG(PT_STRING8, 0x1013), "<p>HTML body</p>")};
  def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_CC, "Cid", "cid@example.com")};
  std::string data(300000, 'd');
  def.attachments = {Attachment::file("report.bin", data), Attachment::message("Earlier", inner)};
  CMapiMessage* m = only(def);
  std::string path = m->SaveToMSG();

  std::string why;
  auto v = readWithIndependentReader(path, why);
  if (!why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(v["subject"], "\"Grüße zum Jahresende\"");
  EXPECT_EQ(v["senderName"], "\"Sam Sender\"");
  EXPECT_EQ(v["senderEmail"], "\"sam@example.com\"");
  EXPECT_EQ(v["body"], "null") << "the plain body is left out of the file";
  EXPECT_EQ(v["html"], "\"<p>HTML body</p>\"");
  EXPECT_EQ(v["recipients.0.name"], "\"Ann\"");
  EXPECT_EQ(v["recipients.0.email"], "\"ann@example.com\"");
  EXPECT_EQ(v["recipients.1.name"], "\"Cid\"");
  EXPECT_EQ(v["attachments.0.fileName"], "\"report.bin\"");
  EXPECT_EQ(v["attachments.0.size"], std::to_string(data.size()));
  EXPECT_EQ(v["attachments.1.embedded.subject"], "\"Earlier message\"");
  EXPECT_EQ(v["attachments.1.embedded.attachments.0.fileName"], "\"inner.txt\"");
  if (HasFailure()) {
    for (const auto& kv : v) std::fprintf(stderr, "%s\t%s\n", kv.first.c_str(), kv.second.c_str());
  }
}

}  // namespace
