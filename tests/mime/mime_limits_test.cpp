// Hostile header shapes delivered into a real store in bounded memory: what
// the delivery limits keep, what the message says it left out, and how much
// the process grew (its peak resident size, reset before each delivery).
// Without the limits these shapes took 1.25 GB, 2.8 GB, 680 MB and 339 MB.
#include "deliver.h"
#include "mimereader.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <unistd.h>

namespace {

long peakResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The peak becomes the current size, after memory freed by earlier tests
// went back to the system (else it would be reused unseen).
void resetPeak() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

class MimeLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TOLVANE_TEST_TMP");
    std::string root = base && *base ? base : "/tmp";
    ASSERT_EQ(system(("mkdir -p '" + root + "'").c_str()), 0);
    std::string pattern = root + "/mime-limits-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_TRUE(mkdtemp(buf.data()));
    m_home = buf.data();
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapitest::reset();
    mapiprofile::Profile p;
    p.name = "alice";
    p.address = "alice@example.com";
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    ASSERT_EQ(m_delivery.open("alice", error), S_OK) << error;
    // A first delivery: what every delivery takes is not counted.
    write([](FILE* f) { fputs("From: a@example.com\nTo: b@example.com\nSubject: warm\n\nbody\n", f); });
    ASSERT_TRUE(m_delivery.deliverFile(m_path).ok());
  }

  void TearDown() override {
    if (!m_home.empty() && system(("rm -rf '" + m_home + "'").c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_home;
  }

  void write(const std::function<void(FILE*)>& content) {
    m_path = m_home + "/message.eml";
    FILE* f = fopen(m_path.c_str(), "wb");
    ASSERT_TRUE(f);
    content(f);
    fclose(f);
  }

  // Delivers the written message; the growth of the peak in KiB.
  long deliverMeasured(mapimime::DeliveryResult& result) {
    resetPeak();
    long before = peakResidentKiB();
    result = m_delivery.deliverFile(m_path);
    return peakResidentKiB() - before;
  }

  // The newest message of the Inbox.
  LPMESSAGE newest() {
    LPMAPITABLE table = nullptr;
    EXPECT_EQ(m_delivery.folder()->GetContentsTable(0, &table), S_OK);
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    table->Release();
    const SBinary& id = rows->aRow[rows->cRows - 1].lpProps[0].Value.bin;
    ULONG type = 0;
    LPUNKNOWN unk = nullptr;
    EXPECT_EQ(m_delivery.store()->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, 0, &type, &unk), S_OK);
    FreeProws(rows);
    return reinterpret_cast<LPMESSAGE>(unk);
  }

  static ULONG recipientCount(LPMESSAGE m) {
    LPMAPITABLE table = nullptr;
    ULONG count = 0;
    if (SUCCEEDED(m->GetRecipientTable(0, &table))) {
      table->GetRowCount(0, &count);
      table->Release();
    }
    return count;
  }

  static std::string transportHeaders(LPMESSAGE m) {
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(m, PR_TRANSPORT_MESSAGE_HEADERS_A, &v))) return "";
    std::string out = v->Value.lpszA;
    MAPIFreeBuffer(v);
    return out;
  }

  std::string m_home;
  std::string m_path;
  mapimime::MailDelivery m_delivery;
};

}  // namespace

// 400,000 To addresses in a 6 MB message (1.25 GB before).
TEST_F(MimeLimitsTest, FourHundredThousandRecipients) {
  write([](FILE* f) {
    fputs("From: a@example.com\nSubject: many\nTo: ", f);
    for (int i = 0; i < 400000; ++i) fprintf(f, "%sr%d@ex.com", i ? ",\n " : "", i);
    fputs("\n\nbody\n", f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  // The To field is kept up to a quarter of the header limit (about 18,000
  // addresses), of which the first 10,000 are recipients.
  EXPECT_EQ(r.truncated.rfind("headers ", 0), 0u) << r.truncated;
  EXPECT_NE(r.truncated.find("; recipients 10000 of 1"), std::string::npos) << r.truncated;
  LPMESSAGE m = newest();
  EXPECT_EQ(recipientCount(m), 10000u);
  EXPECT_EQ(transportHeaders(m).rfind("X-Tolvane-Truncated: " + r.truncated + "\n", 0), 0u);
  m->Release();
  EXPECT_LT(grown, 96L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("400,000 recipients: peak grew by %ld KiB\n", grown);
}

// 510 To fields of groups nested 10,000 deep (40 MB; 2.8 GB before).
TEST_F(MimeLimitsTest, NestedGroupsInManyFields) {
  write([](FILE* f) {
    fputs("From: a@example.com\nSubject: groups\n", f);
    for (int h = 0; h < 510; ++h) {
      fputs("To: ", f);
      for (int d = 0; d < 10000; ++d) fprintf(f, "g%d: ", d);
      fprintf(f, "x%d@example.com", h);
      for (int d = 0; d < 10000; ++d) fputc(';', f);
      fputc('\n', f);
    }
    fputs("To: kept@example.com\n\nbody\n", f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.truncated.rfind("headers ", 0), 0u) << r.truncated;
  EXPECT_NE(r.truncated.find("; addresses in groups nested deeper than 8 "), std::string::npos) << r.truncated;
  LPMESSAGE m = newest();
  EXPECT_EQ(recipientCount(m), 0u);  // the last To field lies beyond the header limit
  m->Release();
  EXPECT_LT(grown, 32L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("510 fields of nested groups: peak grew by %ld KiB\n", grown);
}

// The same fields in an attached message (2.6 GB before: GMime parsed the
// headers of attached messages whole).
TEST_F(MimeLimitsTest, NestedGroupsInAnAttachedMessage) {
  write([](FILE* f) {
    fputs("From: a@example.com\nSubject: outer\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
          "--b\nContent-Type: text/plain\n\nsee attached\n--b\nContent-Type: message/rfc822\n\n"
          "From: a@example.com\nSubject: inner\n",
          f);
    for (int h = 0; h < 510; ++h) {
      fputs("To: ", f);
      for (int d = 0; d < 10000; ++d) fprintf(f, "g%d: ", d);
      fprintf(f, "x%d@example.com", h);
      for (int d = 0; d < 10000; ++d) fputc(';', f);
      fputc('\n', f);
    }
    fputs("\ninner body\n--b--\n", f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.truncated, "");  // the message itself is whole
  LPMESSAGE m = newest();
  LPMAPITABLE table = nullptr;
  ASSERT_EQ(m->GetAttachmentTable(0, &table), S_OK);
  ULONG count = 0;
  table->GetRowCount(0, &count);
  table->Release();
  EXPECT_EQ(count, 1u);
  m->Release();
  EXPECT_LT(grown, 32L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("nested groups in an attached message: peak grew by %ld KiB\n", grown);
}

// One folded header field of 20 MB (680 MB before).
TEST_F(MimeLimitsTest, OneTwentyMegabyteField) {
  write([](FILE* f) {
    fputs("From: a@example.com\nTo: b@example.com\nX-Long: ", f);
    for (int i = 0; i < 2000000; ++i) fprintf(f, "%sword%07d", i ? "\n " : "", i);
    fputs("\nSubject: after the long one\n\nbody\n", f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.truncated.rfind("headers ", 0), 0u) << r.truncated;
  LPMESSAGE m = newest();
  LPSPropValue subject = nullptr;
  ASSERT_EQ(HrGetOneProp(m, PR_SUBJECT_A, &subject), S_OK);
  EXPECT_STREQ(subject->Value.lpszA, "after the long one");
  MAPIFreeBuffer(subject);
  EXPECT_LT(transportHeaders(m).size(), 300u * 1024);
  m->Release();
  EXPECT_LT(grown, 32L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("a 20 MB field: peak grew by %ld KiB\n", grown);
}

// One part whose header block holds 22 MB of fields (240 MB before): the
// fields beyond the part's budget are left out, its Content-Type after them
// and its body are kept, and the message says what was left out.
TEST_F(MimeLimitsTest, PartWithTwentyMegabytesOfHeaderFields) {
  write([](FILE* f) {
    fputs("From: a@example.com\nTo: b@example.com\nSubject: big part header\nMIME-Version: 1.0\n"
          "Content-Type: multipart/mixed; boundary=\"outer\"\n\n--outer\n",
          f);
    for (int i = 0; i < 400000; ++i) fprintf(f, "X-Field-%d: %040d\n", i, i);
    fputs("Content-Type: text/plain; charset=utf-8\n\nthe body of the part\n--outer\n"
          "Content-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"data.bin\"\n\n"
          "DATA\n--outer--\n",
          f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.truncated.rfind("part headers 65", 0), 0u) << r.truncated;
  LPMESSAGE m = newest();
  LPSPropValue body = nullptr;
  ASSERT_EQ(HrGetOneProp(m, PR_BODY_A, &body), S_OK);
  EXPECT_STREQ(body->Value.lpszA, "the body of the part");
  MAPIFreeBuffer(body);
  LPMAPITABLE attachments = nullptr;
  ASSERT_EQ(m->GetAttachmentTable(0, &attachments), S_OK);
  ULONG count = 0;
  attachments->GetRowCount(0, &count);
  attachments->Release();
  EXPECT_EQ(count, 1u);
  EXPECT_NE(transportHeaders(m).find("X-Tolvane-Truncated: part headers "), std::string::npos);
  m->Release();
  EXPECT_LT(grown, 32L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("22 MB of fields in a part's header: peak grew by %ld KiB\n", grown);
}

// A delivery report of 100,000 failed recipients (339 MB before).
TEST_F(MimeLimitsTest, ReportOfAHundredThousandFailedRecipients) {
  write([](FILE* f) {
    fputs("From: MAILER-DAEMON@example.com\nTo: a@example.com\nSubject: failed\nMIME-Version: 1.0\n"
          "Content-Type: multipart/report; report-type=delivery-status; boundary=b\n\n"
          "--b\nContent-Type: text/plain\n\nfailed\n--b\nContent-Type: message/delivery-status\n\n"
          "Reporting-MTA: dns; mx.example.com\n\n",
          f);
    for (int i = 0; i < 100000; ++i)
      fprintf(f, "Final-Recipient: rfc822; r%d@example.org\nAction: failed\nStatus: 5.1.1\n\n", i);
    fputs("--b--\n", f);
  });
  mapimime::DeliveryResult r;
  long grown = deliverMeasured(r);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.truncated, "recipients 10000 of 100000");
  LPMESSAGE m = newest();
  EXPECT_EQ(recipientCount(m), 10000u);
  m->Release();
  EXPECT_LT(grown, 96L * 1024) << "delivery grew the process by " << grown << " KiB";
  printf("100,000 failed recipients: peak grew by %ld KiB\n", grown);
}
