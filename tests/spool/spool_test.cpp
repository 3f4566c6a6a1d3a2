// Sending: SubmitMessage and the queue, the spooler with the local
// transport between profiles of one home, the outgoing folder, sent items,
// non-delivery reports, failures in the middle of spooling, a process
// killed after SubmitMessage, concurrent spoolers, and stores of older
// formats. Every test has its own home with the profiles alice, bob, carol
// and dave (all @example.com); the background spooler is off unless a test
// turns it on, so that tests look at the queue and run the spooler
// themselves.
#include "spool_testutil.h"

#include "store/storedb.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using spooltest::Draft;
using spooltest::Mailbox;
using spooltest::Recipient;
using spooltest::Stored;

namespace {

const ULONG kInternetMessageIdA = PROP_TAG(PT_STRING8, 0x1035);

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_home = spooltest::tempDir("spool-home");
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::reset();
    mapitest::setBackgroundSpooler(false);
    makeProfile("alice", "alice@example.com", "Alice Example");
    makeProfile("bob", "bob@example.com", "Bob Builder");
    makeProfile("carol", "carol@example.com", "Carol Jones");
    makeProfile("dave", "Dave@Example.com", "Dave Hidden");
    m_objects = mapitest::liveObjects();
    m_buffers = mapitest::liveBuffers();
    std::string error;
    ASSERT_EQ(m_alice.open("alice", error), S_OK) << error;
  }

  void TearDown() override {
    m_alice.close();
    mapitest::reset();
    mapitest::setBackgroundSpooler(false);
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    spooltest::removeTree(m_home);
  }

  void makeProfile(const std::string& name, const std::string& address, const std::string& display) {
    mapiprofile::Profile p;
    p.name = name;
    p.address = address;
    p.displayName = display;
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
  }

  static Draft draft(const std::string& subject, std::vector<Recipient> recipients) {
    Draft d;
    d.subject = subject;
    d.body = "Hello,\nthe plan for " + subject + " is attached.\n";
    d.recipients = std::move(recipients);
    return d;
  }

  void submit(const Draft& d) {
    std::string error;
    ASSERT_EQ(m_alice.submit(d, error), S_OK) << error;
  }

  mapispool::RunResult run(bool flush = false) {
    mapispool::RunResult result;
    std::string error;
    mapispool::RunOptions options;
    options.flush = flush;
    EXPECT_EQ(mapispool::run("alice", options, result, error), S_OK) << error;
    return result;
  }

  std::vector<mapispool::QueuedMessage> queue(const std::string& profile = "alice") {
    std::vector<mapispool::QueuedMessage> q;
    std::string error;
    EXPECT_EQ(mapispool::listQueue(profile, q, error), S_OK) << error;
    return q;
  }

  // The messages of a folder of another profile.
  std::vector<Stored> folderOf(const std::string& profile, const std::string& folder) {
    Mailbox box;
    std::string error;
    EXPECT_EQ(box.open(profile, error), S_OK) << error;
    return box.messages(folder);
  }

  static size_t countSubject(const std::vector<Stored>& messages, const std::string& subject) {
    return static_cast<size_t>(
        std::count_if(messages.begin(), messages.end(), [&](const Stored& s) { return s.subject == subject; }));
  }

  std::string m_home;
  Mailbox m_alice;
  long m_objects = 0;
  long m_buffers = 0;
};

const Recipient kBob{MAPI_TO, "Bob Builder", "bob@example.com"};
const Recipient kCarol{MAPI_CC, "Carol Jones", "carol@example.com"};

// ---- SubmitMessage and the queue

TEST_F(SpoolTest, SubmitMessageMarksTheMessageSubmittedAndQueuesIt) {
  LPMESSAGE msg = nullptr;
  std::string error;
  ASSERT_EQ(m_alice.compose(draft("Budget", {kBob}), &msg, error), S_OK) << error;
  time_t before = time(nullptr);
  ASSERT_EQ(msg->SubmitMessage(0), S_OK) << spooltest::lastErrorText(msg, E_FAIL);
  // Nothing but Release is allowed on a submitted message.
  SPropValue v;
  v.ulPropTag = PR_SUBJECT_A;
  v.Value.lpszA = const_cast<LPSTR>("changed");
  EXPECT_EQ(msg->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
  msg->Release();

  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].subject, "Budget");
  EXPECT_EQ(outbox[0].flags & (MSGFLAG_SUBMIT | MSGFLAG_UNSENT), static_cast<LONG>(MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
  LPMESSAGE stored = m_alice.open(outbox[0].entryId);
  EXPECT_EQ(spooltest::longProp(stored, PR_SUBMIT_FLAGS), 0);
  int64_t submitted = spooltest::unixTimeProp(stored, PR_CLIENT_SUBMIT_TIME);
  EXPECT_GE(submitted, before);
  EXPECT_LE(submitted, time(nullptr));
  stored->Release();

  auto q = queue();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].subject, "Budget");
  EXPECT_EQ(q[0].entryId, outbox[0].entryId);
  EXPECT_EQ(q[0].state, mapispool::State::kQueued);
  EXPECT_EQ(q[0].attempts, 0u);
  EXPECT_EQ(q[0].lastError, "");
  EXPECT_EQ(q[0].recipients, 1u);
  EXPECT_EQ(q[0].recipientsDone, 0u);
  EXPECT_GE(q[0].queuedAt, before);
  EXPECT_EQ(q[0].nextAttempt, q[0].queuedAt);
}

TEST_F(SpoolTest, SubmitMessageSavesPendingChangesWithTheSubmission) {
  LPMESSAGE msg = nullptr;
  std::string error;
  ASSERT_EQ(m_alice.compose(draft("Never saved", {kBob}), &msg, error, false), S_OK) << error;
  ASSERT_EQ(msg->SubmitMessage(0), S_OK) << spooltest::lastErrorText(msg, E_FAIL);
  msg->Release();
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].subject, "Never saved");
  EXPECT_EQ(outbox[0].displayTo, "Bob Builder");
  ASSERT_EQ(queue().size(), 1u);
}

TEST_F(SpoolTest, SubmitMessageWithoutRecipientsFailsAndQueuesNothing) {
  LPMESSAGE msg = nullptr;
  std::string error;
  ASSERT_EQ(m_alice.compose(draft("Nobody", {}), &msg, error), S_OK) << error;
  EXPECT_EQ(msg->SubmitMessage(0), MAPI_E_NO_RECIPIENTS);
  EXPECT_EQ(MAPI_E_NO_RECIPIENTS, static_cast<HRESULT>(0x80040607));
  EXPECT_EQ(spooltest::lastErrorText(msg, MAPI_E_NO_RECIPIENTS),
            "IMessage::SubmitMessage: the message has no recipients; add at least one with ModifyRecipients before "
            "submitting it");
  msg->Release();
  EXPECT_TRUE(queue().empty());
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].flags & MSGFLAG_SUBMIT, 0);
}

TEST_F(SpoolTest, AFailedSubmitMessageQueuesNothing) {
  LPMESSAGE msg = nullptr;
  std::string error;
  ASSERT_EQ(m_alice.compose(draft("Faulty", {kBob}), &msg, error), S_OK) << error;
  mapitest::addFault("IMessage::SubmitMessage", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(msg->SubmitMessage(0), MAPI_E_CALL_FAILED);
  EXPECT_TRUE(queue().empty());

  // The commit of the submission fails, as on a full disk: neither the
  // queue row nor the submitted state remain.
  mapitest::addFault("StoreDb::commit", 1, MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(msg->SubmitMessage(0), MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(spooltest::lastErrorText(msg, MAPI_E_NOT_ENOUGH_DISK),
            "IMessage::SubmitMessage: nothing was submitted: StoreDb::commit failed: injected fault 0x8004010D");
  EXPECT_TRUE(queue().empty());
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].flags & MSGFLAG_SUBMIT, 0);

  // The object still works: the next SubmitMessage goes through.
  ASSERT_EQ(msg->SubmitMessage(0), S_OK) << spooltest::lastErrorText(msg, E_FAIL);
  msg->Release();
  EXPECT_EQ(queue().size(), 1u);
}

TEST_F(SpoolTest, ResubmittingAQueuedMessageIsRefused) {
  submit(draft("Twice", {kBob}));
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  LPMESSAGE again = m_alice.open(outbox[0].entryId);
  EXPECT_EQ(again->SubmitMessage(0), MAPI_E_NO_ACCESS);
  EXPECT_EQ(spooltest::lastErrorText(again, MAPI_E_NO_ACCESS),
            "IMessage::SubmitMessage: the message has already been submitted and waits in the submission queue");
  again->Release();
  EXPECT_EQ(queue().size(), 1u);
}

// ---- the local transport

TEST_F(SpoolTest, MessageReachesTheOtherProfilesAndIsFiledInSentItems) {
  Draft d = draft("Site visit", {kBob, kCarol, {MAPI_BCC, "Dave Hidden", "dave@example.com"}});
  std::string attachment = "line one\nline two\n";
  for (int k = 0; k < 2000; ++k) attachment += static_cast<char>(k * 7);
  d.files.push_back({"plan.bin", attachment});
  submit(d);
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent) << result.lines[0].detail;
  EXPECT_EQ(result.lines[0].subject, "Site visit");
  EXPECT_EQ(result.lines[0].reports, 0u);
  EXPECT_TRUE(queue().empty());

  // Each recipient, the blind one too, has the message with its body and
  // attachment; no copy names the blind recipient.
  std::string messageId;
  for (const char* profile : {"bob", "carol", "dave"}) {
    Mailbox box;
    std::string error;
    ASSERT_EQ(box.open(profile, error), S_OK) << error;
    std::vector<Stored> inbox = box.messages("Inbox");
    ASSERT_EQ(inbox.size(), 1u) << profile;
    EXPECT_EQ(inbox[0].subject, "Site visit");
    EXPECT_NE(inbox[0].body.find("the plan for Site visit is attached."), std::string::npos) << inbox[0].body;
    EXPECT_EQ(inbox[0].displayTo, "Bob Builder");
    EXPECT_EQ(inbox[0].displayCc, "Carol Jones");
    EXPECT_EQ(inbox[0].displayBcc, "");
    EXPECT_EQ(inbox[0].flags & MSGFLAG_READ, 0) << "delivered unread";
    EXPECT_FALSE(inbox[0].messageId.empty());
    if (messageId.empty()) messageId = inbox[0].messageId;
    EXPECT_EQ(inbox[0].messageId, messageId) << "one Message-ID for every copy";
    LPMESSAGE m = box.open(inbox[0].entryId);
    auto rows = spooltest::recipientRows(m, {PR_EMAIL_ADDRESS_A});
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"bob@example.com"}, {"carol@example.com"}}));
    EXPECT_EQ(spooltest::stringProp(m, PR_SENDER_EMAIL_ADDRESS_A), "alice@example.com");
    LPATTACH att = nullptr;
    ASSERT_EQ(m->OpenAttach(0, nullptr, 0, &att), S_OK);
    EXPECT_EQ(spooltest::stringProp(att, PR_ATTACH_LONG_FILENAME_A), "plan.bin");
    EXPECT_EQ(spooltest::streamProp(att, PR_ATTACH_DATA_BIN), attachment);
    att->Release();
    m->Release();
  }

  // The sent message: in Sent Items, read, neither submitted nor unsent,
  // with the Message-ID that was sent.
  EXPECT_TRUE(m_alice.messages("Outbox").empty());
  std::vector<Stored> sent = m_alice.messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].subject, "Site visit");
  EXPECT_EQ(sent[0].flags & (MSGFLAG_READ | MSGFLAG_SUBMIT | MSGFLAG_UNSENT), static_cast<LONG>(MSGFLAG_READ));
  EXPECT_FALSE(sent[0].hasSubmitFlags);
  EXPECT_EQ(sent[0].messageId, messageId);
  EXPECT_EQ(sent[0].displayBcc, "Dave Hidden");
  LPMESSAGE m = m_alice.open(sent[0].entryId);
  EXPECT_EQ(spooltest::stringProp(m, PR_SENDER_EMAIL_ADDRESS_A), "alice@example.com");
  m->Release();
  EXPECT_TRUE(m_alice.messages("Inbox").empty()) << "no report: everyone was reached";
}

TEST_F(SpoolTest, AddressesOfProfilesMatchWhateverTheirCase) {
  // Dave's profile has "Dave@Example.com"; Alice writes to herself too.
  submit(draft("Shouting", {{MAPI_TO, "Bob", "BOB@EXAMPLE.COM"}, {MAPI_TO, "Dave", "dave@example.COM"},
                            {MAPI_CC, "Me", "Alice@example.com"}}));
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].reports, 0u);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Shouting"), 1u);
  EXPECT_EQ(countSubject(folderOf("dave", "Inbox"), "Shouting"), 1u);
  EXPECT_EQ(countSubject(m_alice.messages("Inbox"), "Shouting"), 1u);
  EXPECT_EQ(countSubject(m_alice.messages("Sent Items"), "Shouting"), 1u);
}

TEST_F(SpoolTest, DeleteAfterSubmitLeavesNoCopy) {
  Draft d = draft("Ephemeral", {kBob});
  d.deleteAfterSubmit = true;
  submit(d);
  run();
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Ephemeral"), 1u);
  EXPECT_TRUE(m_alice.messages("Outbox").empty());
  EXPECT_TRUE(m_alice.messages("Sent Items").empty());
}

TEST_F(SpoolTest, WithoutASentMailFolderTheMessageStaysWhereItIs) {
  Draft d = draft("Stays", {kBob});
  d.sentMailEntryId = false;
  submit(d);
  run();
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].flags & (MSGFLAG_READ | MSGFLAG_SUBMIT | MSGFLAG_UNSENT), static_cast<LONG>(MSGFLAG_READ));
  EXPECT_TRUE(m_alice.messages("Sent Items").empty());
  EXPECT_TRUE(queue().empty());
}

// ---- non-delivery reports

TEST_F(SpoolTest, AnUnreachableRecipientGetsAReportWhileTheOthersGetTheMessage) {
  // An address in the profiles' domain that no profile has goes out like any
  // other (the domain may be shared with the world); one without a domain
  // that the address book does not know is reported.
  submit(draft("Offsite", {kBob, {MAPI_CC, "Nobody", "nobody"}, kCarol, {MAPI_TO, "Dan", "dan@example.com"}}));
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent);
  EXPECT_EQ(result.lines[0].reports, 1u);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Offsite"), 1u);
  EXPECT_EQ(countSubject(folderOf("carol", "Inbox"), "Offsite"), 1u);
  std::vector<mapispool::OutgoingMessage> out;
  std::string error;
  ASSERT_EQ(mapispool::listOutgoing("alice", out, error), S_OK) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].recipients, std::vector<std::string>{"dan@example.com"});
  std::vector<Stored> sent = m_alice.messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);

  std::vector<Stored> inbox = m_alice.messages("Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox[0].messageClass, "REPORT.IPM.Note.NDR");
  EXPECT_EQ(inbox[0].subject, "Undeliverable: Offsite");
  EXPECT_EQ(inbox[0].flags & MSGFLAG_READ, 0);
  LPMESSAGE report = m_alice.open(inbox[0].entryId);
  EXPECT_EQ(spooltest::stringProp(report, PR_ORIGINAL_SUBJECT_A), "Offsite");
  LPMESSAGE original = m_alice.open(sent[0].entryId);
  int64_t submitted = spooltest::unixTimeProp(original, PR_CLIENT_SUBMIT_TIME);
  original->Release();
  EXPECT_GT(submitted, 0);
  EXPECT_EQ(spooltest::unixTimeProp(report, PR_ORIGINAL_SUBMIT_TIME), submitted);
  EXPECT_EQ(spooltest::stringProp(report, PR_SENDER_EMAIL_ADDRESS_A), "MAILER-DAEMON@example.com");
  // One row, for the recipient that failed, with the report columns.
  auto rows = spooltest::recipientRows(
      report, {PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME_A, PR_REPORT_TEXT_A, PR_SUPPLEMENTARY_INFO_A, PR_REPORT_TIME});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "nobody");
  EXPECT_EQ(rows[0][1], "Nobody");
  EXPECT_EQ(rows[0][2], "The recipient's address \"nobody\" has no domain and is not in the address book");
  EXPECT_EQ(rows[0][3], "5.1.3");
  EXPECT_GE(std::stoll(rows[0][4]), submitted);
  EXPECT_NE(inbox[0].body.find("\tnobody  on  "), std::string::npos) << inbox[0].body;
  // The original, attached as a message.
  LPATTACH att = nullptr;
  ASSERT_EQ(report->OpenAttach(0, nullptr, 0, &att), S_OK);
  EXPECT_EQ(spooltest::longProp(att, PR_ATTACH_METHOD), ATTACH_EMBEDDED_MSG);
  LPMESSAGE inner = nullptr;
  ASSERT_EQ(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, reinterpret_cast<LPUNKNOWN*>(&inner)), S_OK);
  EXPECT_EQ(spooltest::stringProp(inner, PR_SUBJECT_A), "Offsite");
  EXPECT_EQ(spooltest::recipientRows(inner, {PR_EMAIL_ADDRESS_A}).size(), 4u);
  EXPECT_EQ(spooltest::longProp(inner, PR_MESSAGE_FLAGS) & (MSGFLAG_SUBMIT | MSGFLAG_UNSENT), 0);
  inner->Release();
  att->Release();
  report->Release();
}

TEST_F(SpoolTest, RecipientsWithoutAUsableAddressGetAReport) {
  submit(draft("Half addressed", {kBob, {MAPI_TO, "Carl", "carl"}, {MAPI_CC, "Just A Name", "", true}}));
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].reports, 2u);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Half addressed"), 1u);
  std::vector<Stored> inbox = m_alice.messages("Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  LPMESSAGE report = m_alice.open(inbox[0].entryId);
  auto rows = spooltest::recipientRows(report, {PR_EMAIL_ADDRESS_A, PR_SUPPLEMENTARY_INFO_A, PR_REPORT_TEXT_A});
  report->Release();
  ASSERT_EQ(rows.size(), 2u);
  // The address as it was written, and the writer's reason.
  EXPECT_EQ(rows[0], (std::vector<std::string>{
                         "carl", "5.1.3", "The recipient's address \"carl\" has no domain and is not in the address book"}));
  // No address at all: the name stands in for it.
  EXPECT_EQ(rows[1], (std::vector<std::string>{"Just A Name", "5.1.3", "The recipient \"Just A Name\" has no address"}));
}

// ---- the outgoing folder

TEST_F(SpoolTest, OutsideAddressesGoToTheOutgoingFolderWithTheirEnvelope) {
  submit(draft("Partners", {kBob, {MAPI_TO, "Pat Partner", "pat@partner.example.org"},
                            {MAPI_BCC, "Quiet Auditor", "audit@elsewhere.example.net"}}));
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent) << result.lines[0].detail;
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Partners"), 1u);

  std::string dir = mapispool::outgoingDir("alice");
  EXPECT_EQ(dir, m_home + "/outgoing/alice");
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((m_home + "/outgoing").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::vector<mapispool::OutgoingMessage> out;
  std::string error;
  ASSERT_EQ(mapispool::listOutgoing("alice", out, error), S_OK) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].sender, "alice@example.com");
  EXPECT_EQ(out[0].recipients, (std::vector<std::string>{"pat@partner.example.org", "audit@elsewhere.example.net"}));
  ASSERT_EQ(stat(out[0].path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), out[0].size);
  ASSERT_EQ(stat(out[0].envelopePath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The message as it would be sent: its headers name the visible
  // recipients, never the envelope's blind one.
  std::string eml = spooltest::readFile(out[0].path);
  EXPECT_NE(eml.find("Subject: Partners"), std::string::npos) << eml.substr(0, 800);
  EXPECT_NE(eml.find("pat@partner.example.org"), std::string::npos);
  EXPECT_EQ(eml.find("audit@elsewhere.example.net"), std::string::npos);
  EXPECT_EQ(eml.find("Quiet Auditor"), std::string::npos);
  std::vector<Stored> sent = m_alice.messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(eml.find("Message-ID: " + sent[0].messageId), std::string::npos);
  EXPECT_EQ(out[0].messageId, sent[0].messageId);
  std::string envelope = spooltest::readFile(out[0].envelopePath);
  EXPECT_EQ(envelope.rfind("Sender: alice@example.com\nRecipient: pat@partner.example.org\n"
                           "Recipient: audit@elsewhere.example.net\nMessage-ID: " + sent[0].messageId + "\nWritten: ",
                           0),
            0u)
      << envelope;
  // Nothing half-written is left behind.
  DIR* d = opendir(dir.c_str());
  ASSERT_TRUE(d);
  std::set<std::string> names;
  while (struct dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  closedir(d);
  EXPECT_EQ(names.size(), 2u);
  for (const auto& n : names) EXPECT_NE(n[0], '.') << n;
}

// ---- failures during spooling

TEST_F(SpoolTest, AStoreFailureKeepsTheMessageQueuedAndTheRetrySendsOnlyToTheRest) {
  submit(draft("Retry me", {kBob, kCarol}));
  // Bob's delivery is the first SaveChanges of the run, Carol's the second.
  mapitest::addFault("IMessage::SaveChanges", 2, MAPI_E_NOT_ENOUGH_DISK);
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kDeferred);
  const std::string why =
      "Delivery to the profile 'carol' failed: Cannot save the message: IMessage::SaveChanges failed: injected fault "
      "0x8004010D (0x8004010D)";
  EXPECT_EQ(result.lines[0].detail, why);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Retry me"), 1u);
  EXPECT_EQ(countSubject(folderOf("carol", "Inbox"), "Retry me"), 0u);

  auto q = queue();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].state, mapispool::State::kRetrying);
  EXPECT_EQ(q[0].attempts, 1u);
  EXPECT_EQ(q[0].lastError, why);
  EXPECT_EQ(q[0].recipientsDone, 1u);
  EXPECT_GE(q[0].nextAttempt - time(nullptr), 55);
  EXPECT_LE(q[0].nextAttempt - time(nullptr), 61);
  // Still in the Outbox, submitted, and with the Message-ID it was sent
  // with, for the next attempt.
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_NE(outbox[0].flags & MSGFLAG_SUBMIT, 0);
  std::string bobsId = folderOf("bob", "Inbox")[0].messageId;
  EXPECT_EQ(outbox[0].messageId, bobsId);

  // Not due yet: a run leaves it alone.
  EXPECT_TRUE(run().lines.empty());
  // The next attempt reaches Carol alone, with the same Message-ID.
  result = run(true);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent) << result.lines[0].detail;
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Retry me"), 1u);
  std::vector<Stored> carol = folderOf("carol", "Inbox");
  ASSERT_EQ(countSubject(carol, "Retry me"), 1u);
  EXPECT_EQ(carol[0].messageId, bobsId);
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(m_alice.messages("Sent Items").size(), 1u);
  EXPECT_TRUE(m_alice.messages("Inbox").empty());
}

TEST_F(SpoolTest, AFailureOfAnyCommitOfARunLosesNothingAndReportsOnce) {
  // Each round submits a message for Bob, Carol, an unknown address and an
  // outside one, makes the nth commit of the run fail (claiming it,
  // storing its Message-ID, recording progress, the deliveries, filing it
  // with its report), then runs again without a fault.
  unsigned duplicates = 0;
  unsigned rounds = 0;
  for (unsigned nth = 1; nth < 40; ++nth) {
    std::string subject = "Round " + std::to_string(nth);
    submit(draft(subject, {kBob, kCarol, {MAPI_TO, "Nobody", "nobody"},
                           {MAPI_TO, "Pat", "pat@partner.example.org"}}));
    mapitest::clearJournal();
    mapitest::startJournal();
    mapitest::addFault("StoreDb::commit", nth, MAPI_E_DISK_ERROR);
    mapispool::RunResult first;
    std::string error;
    HRESULT hr = mapispool::run("alice", mapispool::RunOptions(), first, error);
    size_t commits = mapitest::journalCount("StoreDb::commit");
    mapitest::clearFaults();
    mapitest::stopJournal();
    if (commits < nth) {
      // The run had fewer commits: every one has been failed once.
      EXPECT_EQ(hr, S_OK);
      ASSERT_EQ(first.lines.size(), 1u);
      EXPECT_EQ(first.lines[0].outcome, mapispool::RunLine::kSent);
      break;
    }
    ++rounds;
    if (SUCCEEDED(hr)) {
      ASSERT_EQ(first.lines.size(), 1u) << subject;
      EXPECT_EQ(first.lines[0].outcome, mapispool::RunLine::kDeferred) << subject;
    } else {
      EXPECT_EQ(error, "Cannot take a message from the submission queue: StoreDb::commit failed: injected fault 0x80040116")
          << subject;
    }
    mapispool::RunResult second = run(true);
    ASSERT_EQ(second.lines.size(), 1u) << subject;
    EXPECT_EQ(second.lines[0].outcome, mapispool::RunLine::kSent) << subject << ": " << second.lines[0].detail;
    EXPECT_TRUE(queue().empty()) << subject;
    for (const char* profile : {"bob", "carol"}) {
      size_t n = countSubject(folderOf(profile, "Inbox"), subject);
      EXPECT_GE(n, 1u) << subject << " never reached " << profile;
      EXPECT_LE(n, 2u) << subject << " reached " << profile << " " << n << " times";
      if (n == 2) ++duplicates;
    }
    EXPECT_EQ(countSubject(m_alice.messages("Sent Items"), subject), 1u) << subject;
    // A second attempt writes the outgoing pair under the same name.
    std::vector<mapispool::OutgoingMessage> out;
    ASSERT_EQ(mapispool::listOutgoing("alice", out, error), S_OK) << error;
    EXPECT_EQ(out.size(), rounds) << subject;
    EXPECT_EQ(countSubject(m_alice.messages("Inbox"), "Undeliverable: " + subject), 1u) << subject;
  }
  EXPECT_GE(rounds, 9u);
  EXPECT_TRUE(m_alice.messages("Outbox").empty());
  // A second delivery happens only when the record of a delivery fails
  // right after it: once for each of the two recipients.
  EXPECT_EQ(duplicates, 2u);
}

TEST_F(SpoolTest, RecipientsStillFailingAfterFiveDaysGetAReport) {
  submit(draft("Stale", {kBob, kCarol}));
  // Queued six days ago.
  sqlite3* db = nullptr;
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  ASSERT_EQ(sqlite3_open(alice.storePath.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE submit_queue SET queued_at = queued_at - 6 * 86400 * 1000", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  mapitest::addFault("IMessage::SaveChanges", 2, MAPI_E_BUSY);
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent);
  EXPECT_EQ(result.lines[0].reports, 1u);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Stale"), 1u);
  EXPECT_EQ(countSubject(folderOf("carol", "Inbox"), "Stale"), 0u);
  std::vector<Stored> inbox = m_alice.messages("Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  LPMESSAGE report = m_alice.open(inbox[0].entryId);
  auto rows = spooltest::recipientRows(report, {PR_EMAIL_ADDRESS_A, PR_SUPPLEMENTARY_INFO_A, PR_REPORT_TEXT_A});
  report->Release();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{
                         "carol@example.com", "4.4.7",
                         "The message could not be delivered for 5 days: Delivery to the profile 'carol' failed: "
                         "Cannot save the message: IMessage::SaveChanges failed: injected fault 0x8004010B (0x8004010B)"}));
}

TEST_F(SpoolTest, AnSmtpServerThatCannotBeReachedKeepsTheMessageQueuedWithLongerPauses) {
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  alice.transport = "smtps://127.0.0.1:1";  // nothing listens on port 1
  ASSERT_EQ(mapiprofile::write(alice, error), S_OK) << error;
  submit(draft("Over the wire", {kBob}));
  const std::string why =
      "No mail could be sent through 127.0.0.1:1: no connection to 127.0.0.1:1: Connection refused";
  int64_t pauses[] = {60, 120, 240};
  for (int k = 0; k < 3; ++k) {
    mapispool::RunResult result = run(true);
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kDeferred);
    EXPECT_EQ(result.lines[0].detail, why);
    auto q = queue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].attempts, static_cast<unsigned>(k + 1));
    EXPECT_EQ(q[0].lastError, why);
    EXPECT_NEAR(static_cast<double>(q[0].nextAttempt - time(nullptr)), static_cast<double>(pauses[k]), 3.0);
  }
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Over the wire"), 0u);
  alice.transport = "local";
  ASSERT_EQ(mapiprofile::write(alice, error), S_OK) << error;
  mapispool::RunResult result = run(true);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Over the wire"), 1u);
}

TEST_F(SpoolTest, AnOutgoingFolderThatCannotBeWrittenKeepsTheMessageQueued) {
  std::string dir = mapispool::outgoingDir("alice");
  ASSERT_EQ(mkdir((m_home + "/outgoing").c_str(), 0700), 0);
  FILE* f = fopen(dir.c_str(), "w");  // a file where the folder belongs
  ASSERT_TRUE(f);
  fclose(f);
  submit(draft("Abroad", {kBob, {MAPI_TO, "Pat", "pat@partner.example.org"}}));
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kDeferred);
  EXPECT_EQ(result.lines[0].detail,
            "The message could not be put into the outgoing folder: The path " + dir + " is not a folder");
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Abroad"), 1u);
  auto q = queue();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].recipientsDone, 1u);
  ASSERT_EQ(unlink(dir.c_str()), 0);
  result = run(true);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent) << result.lines[0].detail;
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Abroad"), 1u);
  std::vector<mapispool::OutgoingMessage> out;
  std::string error;
  ASSERT_EQ(mapispool::listOutgoing("alice", out, error), S_OK) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].recipients, std::vector<std::string>{"pat@partner.example.org"});
}

// ---- crashes and concurrent spoolers

TEST_F(SpoolTest, ASubmittedMessageSurvivesAProcessKilledRightAfterSubmitMessage) {
  m_alice.close();
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Mailbox box;
    std::string error;
    if (FAILED(box.open("alice", error)) || FAILED(box.submit(draft("Last words", {kBob}), error))) _exit(1);
    raise(SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  std::string error;
  ASSERT_EQ(m_alice.open("alice", error), S_OK) << error;
  ASSERT_EQ(queue().size(), 1u);
  mapispool::RunResult result = run();
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent);
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Last words"), 1u);
}

TEST_F(SpoolTest, TwoSpoolRunsAtOnceSendEveryMessageOnce) {
  const int kMessages = 24;
  for (int k = 0; k < kMessages; ++k) submit(draft("Batch " + std::to_string(k), {kBob}));
  std::string out1 = m_home + "/run1.txt", out2 = m_home + "/run2.txt";
  std::string tool = TOLVANE_MAPI_TOOL;
  std::string command = "'" + tool + "' spool run alice > '" + out1 + "' 2>&1 & '" + tool + "' spool run alice > '" +
                        out2 + "' 2>&1 & wait";
  ASSERT_EQ(system(command.c_str()), 0);
  std::map<std::string, int> sentBy;
  int lines = 0;
  for (const std::string& out : {out1, out2}) {
    std::string text = spooltest::readFile(out);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      std::string line = text.substr(pos, eol - pos);
      pos = eol == std::string::npos ? text.size() : eol + 1;
      ++lines;
      EXPECT_EQ(line.rfind("sent\t", 0), 0u) << line;
      sentBy[line.substr(line.find('\t') + 1)]++;
    }
  }
  EXPECT_EQ(lines, kMessages);
  EXPECT_EQ(sentBy.size(), static_cast<size_t>(kMessages));
  std::vector<Stored> inbox = folderOf("bob", "Inbox");
  EXPECT_EQ(inbox.size(), static_cast<size_t>(kMessages));
  std::set<std::string> subjects;
  for (const auto& m : inbox) subjects.insert(m.subject);
  EXPECT_EQ(subjects.size(), static_cast<size_t>(kMessages));
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(m_alice.messages("Sent Items").size(), static_cast<size_t>(kMessages));
}

// ---- the background spooler

TEST_F(SpoolTest, TheSessionsSpoolerSendsInTheBackground) {
  mapitest::setBackgroundSpooler(true);
  Mailbox box;
  std::string error;
  ASSERT_EQ(box.open("alice", error), S_OK) << error;
  Draft d = draft("In the background", {kBob});
  ASSERT_EQ(box.submit(d, error), S_OK) << error;
  ASSERT_EQ(mapispool::waitForEmptyQueue("alice", 20000, error), S_OK) << error;
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "In the background"), 1u);
  // Woken again by the next submission.
  ASSERT_EQ(box.submit(draft("Once more", {kCarol}), error), S_OK) << error;
  ASSERT_EQ(mapispool::waitForEmptyQueue("alice", 20000, error), S_OK) << error;
  EXPECT_EQ(countSubject(folderOf("carol", "Inbox"), "Once more"), 1u);
  box.close();  // stops and joins the spooler
  EXPECT_EQ(m_alice.messages("Sent Items").size(), 2u);
}

TEST_F(SpoolTest, LogoffStopsTheBackgroundSpoolerPromptlyWhateverTheServerDoes) {
  // A server that takes the connection and never says a word.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(listener, 4));
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  alice.transport = "smtp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  ASSERT_EQ(mapiprofile::write(alice, error), S_OK) << error;

  mapitest::setBackgroundSpooler(true);
  Mailbox box;
  ASSERT_EQ(box.open("alice", error), S_OK) << error;
  ASSERT_EQ(box.submit(draft("Stuck on the wire", {kBob}), error), S_OK) << error;
  pollfd p = {listener, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 20000)) << "the spooler did not connect";
  int held = accept(listener, nullptr, nullptr);
  m_alice.close();  // the profile's other session here: box's logoff is the last one
  auto start = std::chrono::steady_clock::now();
  box.close();  // logs off: stops the spooler in the middle of its session
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(held);
  close(listener);
  EXPECT_LT(seconds, 5.0) << "the logoff waited for the server";
  auto q = queue();
  ASSERT_EQ(q.size(), 1u) << "the message left the queue";
  EXPECT_NE(q[0].lastError.find("the spooler was stopped"), std::string::npos) << q[0].lastError;
}

TEST_F(SpoolTest, WithTheBackgroundSpoolerOffTheQueueWaits) {
  submit(draft("Waiting", {kBob}));
  std::string error;
  EXPECT_EQ(mapispool::waitForEmptyQueue("alice", 300, error), MAPI_E_TIMEOUT);
  EXPECT_EQ(error, "The submission queue of 'alice' still holds 1 message after 300 ms");
  EXPECT_EQ(queue().size(), 1u);
  EXPECT_EQ(mapispool::waitForEmptyQueue("nobody", 300, error), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(error, "There is no profile 'nobody'");
}

// ---- the queue in the store

TEST_F(SpoolTest, StoresOfEarlierFormatsGainTheQueueWhenOpened) {
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  m_alice.close();
  auto version = [&]() {
    sqlite3* db = nullptr;
    sqlite3_open(alice.storePath.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT value FROM store_info WHERE key = 'schema_version'", -1, &st, nullptr);
    int v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
  };
  auto hasLeases = [&]() {
    sqlite3* db = nullptr;
    sqlite3_open(alice.storePath.c_str(), &db);
    bool has = sqlite3_table_column_metadata(db, "main", "submit_leases", nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return has;
  };
  EXPECT_EQ(version(), 4);
  const char* downgrades[] = {
      "DROP TABLE submit_leases",  // format 4 before the boot-clock leases
      "DROP TABLE submit_leases; DROP TABLE prop_values; UPDATE store_info SET value = 3 WHERE key = 'schema_version'",
      "DROP TABLE submit_leases; DROP TABLE prop_values; DROP TABLE submit_recipients; DROP TABLE submit_queue; "
      "UPDATE store_info SET value = 2 WHERE key = 'schema_version'",
      "DROP TABLE submit_leases; DROP TABLE prop_values; DROP TABLE submit_recipients; DROP TABLE submit_queue; "
      "DROP TABLE value_files; UPDATE store_info SET value = 1 WHERE key = 'schema_version'"};
  for (const char* sql : downgrades) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(alice.storePath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    ASSERT_FALSE(hasLeases());
    ASSERT_EQ(m_alice.open("alice", error), S_OK) << error;
    EXPECT_EQ(version(), 4);
    EXPECT_TRUE(hasLeases()) << sql;
    // A long body: kept in the table the upgrade added.
    submit(draft(std::string("Upgraded ") + sql + std::string(3000, '.'), {kBob}));
    run();
    m_alice.close();
  }
  EXPECT_EQ(folderOf("bob", "Inbox").size(), 4u);
  // A store of a later format is refused, not changed.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(alice.storePath.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "UPDATE store_info SET value = 5 WHERE key = 'schema_version'", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  std::vector<mapispool::QueuedMessage> q;
  EXPECT_EQ(mapispool::listQueue("alice", q, error), MAPI_E_VERSION);
  EXPECT_NE(error.find("has an unknown format version 5"), std::string::npos) << error;
  EXPECT_EQ(version(), 5);
  sqlite3_open(alice.storePath.c_str(), &db);
  sqlite3_exec(db, "UPDATE store_info SET value = 4 WHERE key = 'schema_version'", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_EQ(m_alice.open("alice", error), S_OK) << error;
}

TEST_F(SpoolTest, DeletingAQueuedMessageTakesItOutOfTheQueue) {
  submit(draft("Withdrawn", {kBob}));
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  LPMAPIFOLDER folder = nullptr;
  LPSPropValue id = nullptr;
  ASSERT_EQ(HrGetOneProp(m_alice.store(), PR_IPM_OUTBOX_ENTRYID, &id), S_OK);
  ULONG type = 0;
  ASSERT_EQ(m_alice.store()->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                       MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&folder)),
            S_OK);
  MAPIFreeBuffer(id);
  SBinary bin{static_cast<ULONG>(outbox[0].entryId.size()),
              reinterpret_cast<LPBYTE>(const_cast<char*>(outbox[0].entryId.data()))};
  ENTRYLIST list{1, &bin};
  EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  folder->Release();
  EXPECT_TRUE(queue().empty());
  EXPECT_TRUE(run(true).lines.empty());
  EXPECT_TRUE(folderOf("bob", "Inbox").empty());
}

TEST_F(SpoolTest, AMessageThatCannotBeWrittenAsMimeIsReportedNotKeptForEver) {
  // No sender in the message and none in the profile: it can never be sent.
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  alice.address.clear();
  ASSERT_EQ(mapiprofile::write(alice, error), S_OK) << error;
  submit(draft("Nobody sends this", {kBob}));
  mapispool::RunResult result = run(true);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.lines[0].outcome, mapispool::RunLine::kSent);
  EXPECT_EQ(result.lines[0].reports, 1u);
  EXPECT_NE(result.lines[0].detail.find("names no sender"), std::string::npos) << result.lines[0].detail;
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(countSubject(m_alice.messages("Inbox"), "Undeliverable: Nobody sends this"), 1u);
  EXPECT_TRUE(folderOf("bob", "Inbox").empty());
}

TEST_F(SpoolTest, AbortSubmitTakesBackAQueuedMessageButNotOneBeingSent) {
  submit(draft("Taken back", {kBob}));
  std::vector<Stored> outbox = m_alice.messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  auto abort = [&](const std::string& eid) {
    return m_alice.store()->AbortSubmit(static_cast<ULONG>(eid.size()),
                                        reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())), 0);
  };
  EXPECT_EQ(abort(outbox[0].entryId), S_OK);
  EXPECT_TRUE(queue().empty());
  EXPECT_TRUE(run(true).lines.empty());
  EXPECT_TRUE(folderOf("bob", "Inbox").empty());
  tmapi::PropRow v;
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  tmapi::StoreDb* db = nullptr;
  ASSERT_EQ(tmapi::StoreDb::open(alice.storePath, &db, error), S_OK) << error;
  std::unique_ptr<tmapi::StoreDb> hold(db);
  EXPECT_EQ(abort(outbox[0].entryId), MAPI_E_NOT_FOUND) << "not queued any more";

  // A message a spooler holds now is not taken back.
  submit(draft("In flight", {kBob}));
  tmapi::StoreDb::QueueEntry held;
  bool found = false;
  ASSERT_EQ(db->claimQueued(0, false, tmapi::StoreDb::LeaseTime::now(), "spooler A", 60000, held, found), S_OK)
      << db->lastError();
  ASSERT_TRUE(found);
  std::string eid;
  for (const auto& m : m_alice.messages("Outbox"))
    if (m.subject == "In flight") eid = m.entryId;
  ASSERT_FALSE(eid.empty());
  EXPECT_EQ(abort(eid), MAPI_E_UNABLE_TO_ABORT);
  EXPECT_EQ(queue().size(), 1u);
  ASSERT_EQ(db->getProps(held.message, {PR_MESSAGE_FLAGS}, 0, v), S_OK);
  EXPECT_NE(v[0].i & MSGFLAG_SUBMIT, 0) << "still submitted";
}

TEST_F(SpoolTest, AQueuedMessageIsHeldByOneSpoolerAtATime) {
  submit(draft("Leased", {kBob}));
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  tmapi::StoreDb* a = nullptr;
  tmapi::StoreDb* b = nullptr;
  ASSERT_EQ(tmapi::StoreDb::open(alice.storePath, &a, error), S_OK) << error;
  ASSERT_EQ(tmapi::StoreDb::open(alice.storePath, &b, error), S_OK) << error;
  std::unique_ptr<tmapi::StoreDb> holdA(a), holdB(b);
  auto submitFlags = [&](tmapi::ObjectId id) {
    tmapi::PropRow v;
    EXPECT_EQ(b->getProps(id, {PR_SUBMIT_FLAGS}, 0, v), S_OK);
    return PROP_TYPE(v[0].tag) == PT_LONG ? v[0].i : -1;
  };
  tmapi::StoreDb::LeaseTime at = tmapi::StoreDb::LeaseTime::now().after(1000);
  ASSERT_FALSE(at.boot.empty()) << "the host tells its boot";
  const int64_t now = at.wall;
  tmapi::StoreDb::QueueEntry ea, eb;
  bool found = false;
  ASSERT_EQ(a->claimQueued(0, true, at, "spooler A", 60000, ea, found), S_OK) << a->lastError();
  ASSERT_TRUE(found);
  EXPECT_EQ(ea.leaseOwner, "spooler A");
  EXPECT_EQ(submitFlags(ea.message), SUBMITFLAG_LOCKED);
  // While A's lease lasts, B finds nothing to take, even with its wall
  // clock stepped two hours on: in one boot the boot clock decides.
  ASSERT_EQ(b->claimQueued(0, false, at.after(59999), "spooler B", 60000, eb, found), S_OK);
  EXPECT_FALSE(found);
  tmapi::StoreDb::LeaseTime stepped = at;
  stepped.wall += 2 * 3600 * 1000;
  ASSERT_EQ(b->claimQueued(0, false, stepped, "spooler B", 60000, eb, found), S_OK);
  EXPECT_FALSE(found) << "a step of the wall clock ended a lease";
  // A lease of another boot (its holder is gone with it) ends on the wall
  // clock.
  tmapi::StoreDb::LeaseTime nextBoot = at;
  nextBoot.boot = "another boot";
  nextBoot.sinceBoot = 0;
  ASSERT_EQ(b->claimQueued(0, false, nextBoot.after(59999), "spooler B", 60000, eb, found), S_OK);
  EXPECT_FALSE(found);
  std::vector<tmapi::StoreDb::QueueEntry> entries;
  ASSERT_EQ(b->queueEntries(entries), S_OK);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].heldAt(stepped));
  EXPECT_FALSE(entries[0].heldAt(at.after(60000)));
  EXPECT_FALSE(entries[0].heldAt(nextBoot.after(60000)));
  // Once it has run out, B takes the message over, and A can no longer
  // record, defer or remove it.
  ASSERT_EQ(b->claimQueued(0, true, at.after(60000), "spooler B", 60000, eb, found), S_OK);
  ASSERT_TRUE(found);
  EXPECT_EQ(eb.id, ea.id);
  tmapi::StoreDb::QueueRecipient done;
  done.rowId = 0;
  done.at = now;
  EXPECT_EQ(a->recordRecipients(ea.id, "spooler A", at, 60000, {done}), MAPI_E_OBJECT_CHANGED);
  EXPECT_EQ(a->lastError(), "The message is no longer held by this spooler (another one took it over)");
  EXPECT_EQ(a->deferQueued(ea.id, "spooler A", now, "late"), MAPI_E_OBJECT_CHANGED);
  EXPECT_EQ(a->dequeue(ea.id, "spooler A"), MAPI_E_OBJECT_CHANGED);
  std::vector<tmapi::StoreDb::QueueRecipient> progress;
  ASSERT_EQ(b->queueRecipients(eb.id, progress), S_OK);
  EXPECT_TRUE(progress.empty());
  // B gives it back after a failed attempt.
  ASSERT_EQ(b->deferQueued(eb.id, "spooler B", now + 5000, "the store was busy"), S_OK) << b->lastError();
  EXPECT_EQ(submitFlags(eb.message), 0);
  ASSERT_EQ(b->queueEntries(entries), S_OK);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].attempts, 1);
  EXPECT_EQ(entries[0].leaseOwner, "");
  EXPECT_FALSE(entries[0].heldAt(at));
  EXPECT_EQ(entries[0].nextAttempt, now + 5000);
  EXPECT_EQ(entries[0].lastError, "the store was busy");
  uint64_t count = 0;
  int64_t earliest = 0;
  ASSERT_EQ(b->queueState(count, earliest), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(earliest, now + 5000);
  // Not due before then, unless asked for all.
  ASSERT_EQ(a->claimQueued(0, true, at.after(4999), "spooler A", 60000, ea, found), S_OK);
  EXPECT_FALSE(found);
  ASSERT_EQ(a->claimQueued(0, false, at.after(4999), "spooler A", 60000, ea, found), S_OK);
  EXPECT_TRUE(found);
  // A message is queued once.
  int64_t again = 0;
  ASSERT_EQ(a->begin(), S_OK);
  EXPECT_EQ(a->enqueue(ea.message, now, again), MAPI_E_COLLISION);
  a->rollback();
  ASSERT_EQ(a->dequeue(ea.id, "spooler A"), S_OK);
  ASSERT_EQ(a->queueState(count, earliest), S_OK);
  EXPECT_EQ(count, 0u);
}

// ---- the transport setting

TEST(TransportSetting, FormsAndTheirParts) {
  mapiprofile::Transport t;
  std::string why;
  ASSERT_TRUE(mapiprofile::parseTransport("local", t, why));
  EXPECT_EQ(t.kind, mapiprofile::Transport::kLocal);
  ASSERT_TRUE(mapiprofile::parseTransport("smtp://Mail.Example.com", t, why));
  EXPECT_EQ(t.kind, mapiprofile::Transport::kSmtp);
  EXPECT_EQ(t.host, "mail.example.com");
  EXPECT_EQ(t.port, 587u);
  ASSERT_TRUE(mapiprofile::parseTransport("smtp://mail.example.com:25/", t, why));
  EXPECT_EQ(t.port, 25u);
  ASSERT_TRUE(mapiprofile::parseTransport("smtps://mail.example.com", t, why));
  EXPECT_EQ(t.kind, mapiprofile::Transport::kSmtps);
  EXPECT_EQ(t.port, 465u);
  ASSERT_TRUE(mapiprofile::parseTransport("smtps://[2001:db8::1]:4650", t, why));
  EXPECT_EQ(t.host, "2001:db8::1");
  EXPECT_EQ(t.port, 4650u);
  ASSERT_TRUE(mapiprofile::parseTransport("sendmail", t, why));
  EXPECT_EQ(t.kind, mapiprofile::Transport::kSendmail);
  EXPECT_EQ(t.path, "/usr/sbin/sendmail");
  ASSERT_TRUE(mapiprofile::parseTransport("sendmail:/opt/Mail/bin/sendmail", t, why));
  EXPECT_EQ(t.path, "/opt/Mail/bin/sendmail");

  const std::pair<const char*, const char*> refused[] = {
      {"", "use local, smtp://HOST[:PORT], smtps://HOST[:PORT] or sendmail[:PATH]"},
      {"lmtp://mail", "use local, smtp://HOST[:PORT], smtps://HOST[:PORT] or sendmail[:PATH]"},
      {"smtp://", "the server is missing (smtp://HOST[:PORT])"},
      {"smtp://user@mail.example.com", "credentials do not belong in the transport setting; give only the server"},
      {"smtp://mail.example.com:65536", "the port must be a number from 1 to 65535"},
      {"smtp://mail.example.com:", "the port must be a number from 1 to 65535"},
      {"smtp://mail.example.com:25x", "the port must be a number from 1 to 65535"},
      {"smtp://mail.example.com/path", "the server name may hold only letters, digits, '-' and '.' (and only :PORT may "
                                       "follow it)"},
      {"smtps://[2001:db8::1", "the IPv6 address of the server lacks its closing ']'"},
      {"smtps://[2001:db8::1]x", "only :PORT may follow the server"},
      {"sendmail:bin/sendmail", "the sendmail program must be given by its absolute path (sendmail:/usr/sbin/sendmail)"},
      {"sendmail:/usr/sbin/send mail", "the sendmail path must not contain blanks or control characters"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(mapiprofile::parseTransport(r.first, t, why)) << r.first;
    EXPECT_EQ(why, r.second) << r.first;
  }
}

TEST_F(SpoolTest, AProfileWithoutATransportSettingSendsLocally) {
  mapiprofile::Profile alice;
  std::string error;
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  EXPECT_EQ(alice.transport, "local");
  std::string path = m_home + "/profiles/alice.profile";
  std::string text = spooltest::readFile(path);
  size_t at = text.find("transport=local\n");
  ASSERT_NE(at, std::string::npos) << text;
  text.erase(at, strlen("transport=local\n"));
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  fputs(text.c_str(), f);
  fclose(f);
  ASSERT_EQ(mapiprofile::load("alice", alice, error), S_OK);
  EXPECT_EQ(alice.transport, "local");
  submit(draft("Old profile", {kBob}));
  run();
  EXPECT_EQ(countSubject(folderOf("bob", "Inbox"), "Old profile"), 1u);
}

}  // namespace
