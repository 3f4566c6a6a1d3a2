// The conversion result of MimeReader on its own (no store): properties,
// recipients, attachments and embedded messages of the sample messages, and
// what malformed input becomes.
#include "dsn.h"
#include "mimereader.h"
#include "mimetags.h"
#include "mime_testutil.h"
#include "textconv.h"

#include <mapitags.h>

#include <glib.h>
#include <gtest/gtest.h>

using namespace mapimime;
using mimetest::example;
using mimetest::has;
using mimetest::longValue;
using mimetest::text;
using mimetest::unixTime;

namespace {

MailItem readExample(const std::string& name) {
  MailItem item;
  std::string error;
  EXPECT_TRUE(MimeReader::readBytes(example(name), item, error)) << error;
  return item;
}

MailItem readText(const std::string& bytes) {
  MailItem item;
  std::string error;
  EXPECT_TRUE(MimeReader::readBytes(bytes, item, error)) << error;
  return item;
}

// Reads the entries of a FLATENTRYLIST.
std::vector<std::string> flatEntries(const std::string& list) {
  auto le32 = [&](size_t off) {
    return static_cast<uint32_t>(static_cast<unsigned char>(list[off])) |
           static_cast<uint32_t>(static_cast<unsigned char>(list[off + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(list[off + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(list[off + 3])) << 24;
  };
  std::vector<std::string> out;
  uint32_t count = le32(0);
  EXPECT_EQ(le32(4), list.size() - 8);
  size_t off = 8;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t cb = le32(off);
    out.push_back(list.substr(off + 4, cb));
    off += 4 + cb;
    off = (off + 3) & ~static_cast<size_t>(3);
  }
  EXPECT_EQ(off, list.size());
  return out;
}

std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out + std::string(2, '\0');
}

}  // namespace

TEST(MimeReader, PlainMessage) {
  MailItem item = readExample("plain.eml");
  const MailProps& p = item.props;
  EXPECT_EQ(text(p, PR_MESSAGE_CLASS_W), "IPM.Note");
  EXPECT_EQ(text(p, PR_SUBJECT_W), "Quarterly figures");
  EXPECT_EQ(text(p, kPrInternetMessageId), "<20260303091500.1234@mail.example.org>");
  EXPECT_EQ(unixTime(p, PR_CLIENT_SUBMIT_TIME), 1772525700);
  EXPECT_GT(unixTime(p, PR_MESSAGE_DELIVERY_TIME), 1772525700);
  EXPECT_EQ(longValue(p, PR_MESSAGE_FLAGS) & MSGFLAG_READ, 0);
  std::string headers = text(p, PR_TRANSPORT_MESSAGE_HEADERS_W);
  EXPECT_NE(headers.find("Received: from mail.example.org"), std::string::npos);
  EXPECT_NE(headers.find("X-Mailer: Example Mail 4.2"), std::string::npos);

  EXPECT_EQ(text(p, PR_SENDER_NAME_W), "Anna Berg");
  EXPECT_EQ(text(p, PR_SENDER_EMAIL_ADDRESS_W), "anna.berg@example.org");
  EXPECT_EQ(text(p, PR_SENDER_ADDRTYPE_W), "SMTP");
  EXPECT_EQ(text(p, PR_SENT_REPRESENTING_NAME_W), "Anna Berg");
  EXPECT_EQ(text(p, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W), "anna.berg@example.org");
  EXPECT_EQ(text(p, PR_SENT_REPRESENTING_ADDRTYPE_W), "SMTP");

  ASSERT_EQ(item.recipients.size(), 3u);
  EXPECT_EQ(item.recipients[0].type, static_cast<ULONG>(MAPI_TO));
  EXPECT_EQ(item.recipients[0].name, "Alice Example");
  EXPECT_EQ(item.recipients[0].address, "alice@example.com");
  EXPECT_EQ(item.recipients[1].type, static_cast<ULONG>(MAPI_TO));
  EXPECT_EQ(item.recipients[1].name, "bob@example.com");  // no display name: the address
  EXPECT_EQ(item.recipients[1].address, "bob@example.com");
  EXPECT_EQ(item.recipients[2].type, static_cast<ULONG>(MAPI_CC));
  EXPECT_EQ(item.recipients[2].name, "Carol, Accounts");
  EXPECT_EQ(item.recipients[2].address, "carol@example.net");

  // The comment "(office)" is not part of the name (RFC 5322).
  EXPECT_EQ(text(p, PR_REPLY_RECIPIENT_NAMES_W), "Anna Berg");
  std::vector<std::string> entries = flatEntries(text(p, PR_REPLY_RECIPIENT_ENTRIES));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], oneOffEntryId("Anna Berg", "office@example.org"));

  EXPECT_EQ(longValue(p, PR_PRIORITY), 1);
  EXPECT_EQ(longValue(p, PR_IMPORTANCE), 2);

  EXPECT_EQ(text(p, PR_BODY_W).substr(0, 12), "Hello Alice,");
  EXPECT_NE(text(p, PR_BODY_W).find("Revenue grew by 12 %"), std::string::npos);
  EXPECT_FALSE(has(p, kPrBodyHtml));
  EXPECT_TRUE(item.attachments.empty());
  EXPECT_EQ(longValue(p, PR_HASATTACH), 0);

  ASSERT_EQ(item.headers.size(), 2u);
  EXPECT_EQ(item.headers[0].name, "X-Priority");
  EXPECT_EQ(item.headers[0].value, "1 (Highest)");
  EXPECT_EQ(item.headers[1].name, "X-Mailer");
  EXPECT_EQ(item.headers[1].value, "Example Mail 4.2");
}

TEST(MimeReader, OneOffEntryIdentifierLayout) {
  std::string id = oneOffEntryId("Bo", "b@x");
  std::string expected(4, '\0');
  const unsigned char provider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                      0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  expected.append(reinterpret_cast<const char*>(provider), 16);
  expected += std::string("\0\0\x01\x80", 4);
  expected += utf16("Bo") + utf16("SMTP") + utf16("b@x");
  EXPECT_EQ(id, expected);
}

TEST(MimeReader, FlatEntryListAlignsEveryEntry) {
  std::string list = flatEntryList({"abcde", "xy"});
  // count 2, size 8 + 8 (4 + 5 rounded up to 12, then 4 + 2 rounded to 8).
  ASSERT_EQ(list.size(), 8u + 12u + 8u);
  EXPECT_EQ(list[0], 2);
  EXPECT_EQ(list[4], 20);
  EXPECT_EQ(list.substr(8, 4), std::string("\x05\0\0\0", 4));
  EXPECT_EQ(list.substr(12, 5), "abcde");
  EXPECT_EQ(list.substr(20, 4), std::string("\x02\0\0\0", 4));
  EXPECT_EQ(list.substr(24, 2), "xy");
}

TEST(MimeReader, HtmlWithInlineImage) {
  MailItem item = readExample("html-inline-image.eml");
  const MailProps& p = item.props;
  EXPECT_EQ(text(p, PR_SENDER_NAME_W), "Newsletter Team");
  EXPECT_EQ(text(p, PR_BODY_W), "Our spring catalogue is here. See the logo in the HTML version.\n");
  // Quoted-printable ISO-8859-1 becomes UTF-8.
  EXPECT_NE(text(p, kPrBodyHtml).find("Caf\xC3\xA9 prices inside!"), std::string::npos);
  EXPECT_NE(text(p, kPrBodyHtml).find("src=\"cid:logo.1234@shop.example\""), std::string::npos);
  ASSERT_EQ(item.attachments.size(), 1u);
  const MailAttachment& a = item.attachments[0];
  EXPECT_EQ(a.method, static_cast<ULONG>(ATTACH_BY_VALUE));
  EXPECT_EQ(text(a.props, PR_ATTACH_LONG_FILENAME_W), "logo.png");
  EXPECT_EQ(text(a.props, PR_ATTACH_FILENAME_W), "LOGO.PNG");
  EXPECT_EQ(text(a.props, PR_ATTACH_MIME_TAG_W), "image/png");
  EXPECT_EQ(text(a.props, kPrAttachContentId), "logo.1234@shop.example");
  EXPECT_EQ(longValue(a.props, kPrAttachFlags), kAttMhtmlRef);
  EXPECT_EQ(attachmentData(a), example("parts/logo.png"));
  EXPECT_EQ(longValue(p, PR_HASATTACH), 1);
  EXPECT_EQ(longValue(p, PR_PRIORITY), 0);
  EXPECT_EQ(longValue(p, PR_IMPORTANCE), 1);
}

TEST(MimeReader, Attachments) {
  MailItem item = readExample("attachments.eml");
  const MailProps& p = item.props;
  EXPECT_EQ(text(p, PR_BODY_W), "Please find the report and the data attached.\n");
  EXPECT_EQ(longValue(p, PR_IMPORTANCE), 0);
  EXPECT_EQ(longValue(p, PR_PRIORITY), -1);
  EXPECT_EQ(unixTime(p, PR_CLIENT_SUBMIT_TIME), 1772715600);
  ASSERT_EQ(item.attachments.size(), 2u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "report.csv");
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_MIME_TAG_W), "text/csv");
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_EXTENSION_W), ".csv");
  EXPECT_FALSE(has(item.attachments[0].props, kPrAttachContentId));
  EXPECT_EQ(attachmentData(item.attachments[0]), example("parts/report.csv"));
  // RFC 2231 file name.
  EXPECT_EQ(text(item.attachments[1].props, PR_ATTACH_LONG_FILENAME_W),
            "M\xC3\xA4rz Daten \xC3\xBC" "bersicht.bin");
  EXPECT_EQ(text(item.attachments[1].props, PR_ATTACH_FILENAME_W), "M_RZDATE.BIN");
  EXPECT_EQ(text(item.attachments[1].props, PR_ATTACH_MIME_TAG_W), "application/octet-stream");
  EXPECT_EQ(attachmentData(item.attachments[1]), example("parts/data.bin"));
}

TEST(MimeReader, AttachedMessageIsEmbedded) {
  MailItem item = readExample("attached-message.eml");
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "Fwd: Travel plans");
  EXPECT_EQ(text(item.props, PR_SUBJECT_PREFIX_W), "Fwd: ");
  EXPECT_EQ(text(item.props, PR_NORMALIZED_SUBJECT_W), "Travel plans");
  EXPECT_EQ(text(item.props, PR_BODY_W), "Forwarding Dave's message below.\n");
  ASSERT_EQ(item.attachments.size(), 1u);
  const MailAttachment& a = item.attachments[0];
  EXPECT_EQ(a.method, static_cast<ULONG>(ATTACH_EMBEDDED_MSG));
  EXPECT_EQ(text(a.props, PR_DISPLAY_NAME_W), "Travel plans");
  EXPECT_EQ(text(a.props, PR_ATTACH_MIME_TAG_W), "message/rfc822");
  ASSERT_TRUE(a.embedded);
  const MailItem& inner = *a.embedded;
  EXPECT_EQ(text(inner.props, PR_SUBJECT_W), "Travel plans");
  EXPECT_EQ(text(inner.props, PR_SENDER_EMAIL_ADDRESS_W), "dave@example.org");
  EXPECT_EQ(text(inner.props, PR_BODY_W), "The train leaves at 9:40 from platform 3.\n");
  EXPECT_FALSE(has(inner.props, PR_MESSAGE_DELIVERY_TIME));
  ASSERT_EQ(inner.recipients.size(), 1u);
  EXPECT_EQ(inner.recipients[0].address, "carol@example.net");
  ASSERT_EQ(inner.attachments.size(), 1u);
  EXPECT_EQ(text(inner.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "itinerary.txt");
  EXPECT_EQ(attachmentData(inner.attachments[0]), "Day 1: Berlin\nDay 2: Prague\n");
}

TEST(MimeReader, NonDeliveryReport) {
  MailItem item = readExample("ndr.eml");
  const MailProps& p = item.props;
  EXPECT_EQ(text(p, PR_MESSAGE_CLASS_W), "REPORT.IPM.Note.NDR");
  EXPECT_EQ(text(p, PR_SUBJECT_W), "Undelivered Mail Returned to Sender");
  EXPECT_EQ(text(p, PR_ORIGINAL_SUBJECT_W), "Lunch on Tuesday?");
  EXPECT_EQ(unixTime(p, PR_ORIGINAL_SUBMIT_TIME), 1773054110);
  EXPECT_NE(text(p, PR_BODY_W).find("could not\nbe delivered"), std::string::npos);
  ASSERT_EQ(item.recipients.size(), 1u);
  const MailRecipient& r = item.recipients[0];
  EXPECT_EQ(r.address, "nobody@example.invalid");
  EXPECT_EQ(unixTime(r.extra, PR_REPORT_TIME), 1773054126);
  EXPECT_EQ(text(r.extra, PR_REPORT_TEXT_W),
            "550 5.1.1 <nobody@example.invalid>: Recipient address rejected: User unknown");
  EXPECT_EQ(text(r.extra, PR_SUPPLEMENTARY_INFO_W), "5.1.1");
  // The delivery report part and the undelivered message.
  ASSERT_EQ(item.attachments.size(), 2u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_MIME_TAG_W), "message/delivery-status");
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "delivery-status.txt");
  EXPECT_EQ(item.attachments[1].method, static_cast<ULONG>(ATTACH_EMBEDDED_MSG));
  EXPECT_EQ(text(item.attachments[1].props, PR_DISPLAY_NAME_W), "Lunch on Tuesday?");
}

TEST(MimeReader, DeliveryStatusWithoutFailureStaysANote) {
  std::string msg =
      "From: MAILER-DAEMON@mx.example.com\nTo: a@example.com\nSubject: Delayed Mail\n"
      "MIME-Version: 1.0\nContent-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/plain\n\nStill trying.\n"
      "--b\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx\n\n"
      "Final-Recipient: rfc822; x@example.org\nAction: delayed\nStatus: 4.4.1\n\n--b--\n";
  MailItem item = readText(msg);
  EXPECT_EQ(text(item.props, PR_MESSAGE_CLASS_W), "IPM.Note");
  ASSERT_EQ(item.recipients.size(), 1u);
  EXPECT_EQ(item.recipients[0].address, "a@example.com");
}

TEST(MimeReader, ReportWithHeadersOnlyAndNoDiagnostic) {
  std::string msg =
      "From: postmaster@example.com\nTo: a@example.com\nSubject: failure notice\n"
      "MIME-Version: 1.0\nContent-Type: multipart/report; report-type=\"delivery-status\"; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/plain\n\nFailed.\n"
      "--b\nContent-Type: message/delivery-status\n\n"
      "Final-Recipient: rfc822;<x@example.org>\nAction: Failed\nStatus: 5.2.2 (mailbox full)\n\n"
      "Original-Recipient: rfc822; y@example.org\nAction: failed\n\n"
      "--b\nContent-Type: text/rfc822-headers\n\nFrom: a@example.com\nSubject: Hello there\n"
      "Date: Mon, 09 Mar 2026 11:01:50 +0000\n\n--b--\n";
  MailItem item = readText(msg);
  EXPECT_EQ(text(item.props, PR_MESSAGE_CLASS_W), "REPORT.IPM.Note.NDR");
  EXPECT_EQ(text(item.props, PR_ORIGINAL_SUBJECT_W), "Hello there");
  EXPECT_EQ(unixTime(item.props, PR_ORIGINAL_SUBMIT_TIME), 1773054110);
  ASSERT_EQ(item.recipients.size(), 2u);
  EXPECT_EQ(item.recipients[0].address, "x@example.org");
  EXPECT_EQ(text(item.recipients[0].extra, PR_REPORT_TEXT_W), "Mailbox full");
  EXPECT_EQ(text(item.recipients[0].extra, PR_SUPPLEMENTARY_INFO_W), "5.2.2");
  EXPECT_EQ(item.recipients[1].address, "y@example.org");
  // Every report row carries all four report columns.
  EXPECT_TRUE(has(item.recipients[1].extra, PR_REPORT_TIME));
  EXPECT_EQ(text(item.recipients[1].extra, PR_REPORT_TEXT_W), "Delivery failed");
  EXPECT_EQ(text(item.recipients[1].extra, PR_SUPPLEMENTARY_INFO_W), "5.0.0");
}

TEST(MimeReader, NonAsciiSubjectsAndNames) {
  MailItem item = readExample("non-ascii-subjects.eml");
  const MailProps& p = item.props;
  EXPECT_EQ(text(p, PR_SUBJECT_W),
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D und Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln");
  EXPECT_EQ(text(p, PR_SENDER_NAME_W), "J\xC3\xBCrgen M\xC3\xBCller");
  ASSERT_EQ(item.recipients.size(), 2u);
  EXPECT_EQ(item.recipients[0].name, "Bj\xC3\xB6rn \xC3\x85str\xC3\xB6m");
  // ISO-8859-15: the euro sign is 0xA4 there.
  EXPECT_EQ(text(p, PR_BODY_W),
            "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln - das Angebot gilt bis Ende M\xC3\xA4rz. Preis: 15 \xE2\x82\xAC.\n\n");
}

// ---- Malformed input ---------------------------------------------------------

TEST(MimeReaderBadInput, EmptyInputIsNotAMessage) {
  for (const char* input : {"", "\n", " \r\n\t\r\n"}) {
    MailItem item;
    std::string error;
    EXPECT_FALSE(MimeReader::readBytes(input, item, error));
    EXPECT_EQ(error, "the input is empty: it is not a message");
  }
}

TEST(MimeReaderBadInput, MissingHeaders) {
  MailItem item = readText("\nJust a body, no headers at all.\n");
  EXPECT_EQ(text(item.props, PR_MESSAGE_CLASS_W), "IPM.Note");
  EXPECT_FALSE(has(item.props, PR_SUBJECT_W));
  EXPECT_FALSE(has(item.props, PR_SENDER_NAME_W));
  EXPECT_TRUE(item.recipients.empty());
  EXPECT_TRUE(has(item.props, PR_CLIENT_SUBMIT_TIME));  // the delivery time stands in
  EXPECT_EQ(text(item.props, PR_BODY_W), "Just a body, no headers at all.\n");
}

TEST(MimeReaderBadInput, TextWithoutAnyHeaderLine) {
  MailItem item = readText("hello world");
  EXPECT_EQ(text(item.props, PR_MESSAGE_CLASS_W), "IPM.Note");
  EXPECT_EQ(text(item.props, PR_BODY_W), "hello world");
}

TEST(MimeReaderBadInput, BrokenBoundaryKeepsWhatCanBeRead) {
  std::string msg =
      "From: a@example.com\nSubject: broken\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"never-closed\"\n\n"
      "--never-closed\nContent-Type: text/plain\n\nThe body.\n"
      "--never-closed\nContent-Type: application/octet-stream; name=\"cut.bin\"\n"
      "Content-Transfer-Encoding: base64\n\nAAECAwQF\n";
  MailItem item = readText(msg);
  // The line break before a boundary belongs to the boundary.
  EXPECT_EQ(text(item.props, PR_BODY_W), "The body.");
  ASSERT_EQ(item.attachments.size(), 1u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "cut.bin");
  EXPECT_EQ(attachmentData(item.attachments[0]), std::string("\0\1\2\3\4\5", 6));
}

TEST(MimeReaderBadInput, WrongBoundaryMakesOneBody) {
  std::string msg =
      "From: a@example.com\nSubject: wrong\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"declared\"\n\n"
      "--other\nContent-Type: text/plain\n\nText.\n--other--\n";
  MailItem item = readText(msg);
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "wrong");  // delivered, whatever it holds
}

TEST(MimeReaderBadInput, BadEncodings) {
  std::string msg =
      "From: a@example.com\nSubject: bad\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n"
      "--b\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
      "bad =ZZ escape and =C3=A9 good one=\n"
      "--b\nContent-Type: application/octet-stream; name=\"x.bin\"\nContent-Transfer-Encoding: base64\n\n"
      "!!!not base64 at all ### QUJD\n"
      "--b\nContent-Type: text/plain; name=\"y.txt\"\nContent-Transfer-Encoding: x-unknown-encoding\n\nraw text\n"
      "--b--\n";
  MailItem item = readText(msg);
  EXPECT_TRUE(isValidUtf8(text(item.props, PR_BODY_W)));
  EXPECT_NE(text(item.props, PR_BODY_W).find("\xC3\xA9 good one"), std::string::npos);
  ASSERT_EQ(item.attachments.size(), 2u);
  // Characters outside the base64 alphabet are skipped.
  EXPECT_FALSE(attachmentData(item.attachments[0]).empty());
  EXPECT_EQ(attachmentData(item.attachments[1]), "raw text");
}

TEST(MimeReaderBadInput, UnknownCharset) {
  MailItem item = readText(
      "From: a@example.com\nSubject: =?x-no-such-charset?Q?caf=E9?=\nMIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=x-no-such-charset\nContent-Transfer-Encoding: 8bit\n\n"
      "caf\xE9 au lait\n");
  EXPECT_TRUE(isValidUtf8(text(item.props, PR_SUBJECT_W)));
  // Not UTF-8: read as windows-1252.
  EXPECT_EQ(text(item.props, PR_BODY_W), "caf\xC3\xA9 au lait\n");
}

TEST(MimeReaderBadInput, InvalidBytesInADeclaredCharset) {
  MailItem item = readText(
      "From: a@example.com\nSubject: x\nContent-Type: text/plain; charset=utf-8\n\nok \xFF\xFE end\n");
  std::string body = text(item.props, PR_BODY_W);
  EXPECT_TRUE(isValidUtf8(body));
  EXPECT_EQ(body.substr(0, 3), "ok ");
  EXPECT_EQ(body.substr(body.size() - 5), " end\n");
}

TEST(MimeReaderBadInput, EightBitHeaders) {
  MailItem item = readText(
      "From: J\xC3\xBCrgen <j@example.de>\nTo: Bj\xF6rn <b@example.se>\nSubject: Gr\xFC\xDF" "e\n\nbody\n");
  EXPECT_EQ(text(item.props, PR_SENDER_NAME_W), "J\xC3\xBCrgen");
  ASSERT_EQ(item.recipients.size(), 1u);
  EXPECT_EQ(item.recipients[0].name, "Bj\xC3\xB6rn");
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_TRUE(isValidUtf8(text(item.props, PR_TRANSPORT_MESSAGE_HEADERS_W)));
}

TEST(MimeReaderBadInput, GroupsAreFlattenedAndEmptyOnesSkipped) {
  MailItem item = readText(
      "From: a@example.com\nTo: Team: x@example.com, \"Y\" <y@example.com>;, undisclosed-recipients:;\n"
      "Bcc: z@example.com\nSubject: g\n\nbody\n");
  ASSERT_EQ(item.recipients.size(), 3u);
  EXPECT_EQ(item.recipients[0].address, "x@example.com");
  EXPECT_EQ(item.recipients[1].name, "Y");
  EXPECT_EQ(item.recipients[2].type, static_cast<ULONG>(MAPI_BCC));
}

TEST(MimeReaderBadInput, DeepNesting) {
  std::string msg = "From: a@example.com\nSubject: deep\nMIME-Version: 1.0\n";
  const int depth = 3000;
  for (int i = 0; i < depth; ++i)
    msg += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\n\n--b" + std::to_string(i) + "\n";
  msg += "Content-Type: text/plain\n\ninnermost\n";
  for (int i = depth - 1; i >= 0; --i) msg += "--b" + std::to_string(i) + "--\n";
  MailItem item = readText(msg);
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "deep");
}

TEST(MimeReaderBadInput, DeeplyNestedMessagesStopNestingAtTheLimit) {
  std::string msg;
  const int depth = 40;
  for (int i = 0; i < depth; ++i)
    msg += "From: a@example.com\nSubject: level " + std::to_string(i) + "\nMIME-Version: 1.0\nContent-Type: message/rfc822\n\n";
  msg += "From: a@example.com\nSubject: bottom\n\nthe end\n";
  MailItem item = readText(msg);
  const MailItem* cur = &item;
  int levels = 0;
  while (!cur->attachments.empty() && cur->attachments[0].embedded) {
    cur = cur->attachments[0].embedded.get();
    ++levels;
  }
  EXPECT_EQ(levels, MimeReader::kMaxEmbeddingDepth);
  ASSERT_EQ(cur->attachments.size(), 1u);
  EXPECT_EQ(text(cur->attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "message.eml");
  EXPECT_NE(attachmentData(cur->attachments[0]).find("Subject: bottom"), std::string::npos);
}

TEST(MimeReaderBadInput, PriorityHeaders) {
  struct {
    const char* header;
    LONG priority;
    LONG importance;
  } cases[] = {{"X-Priority: 5", -1, 0},  {"X-Priority: 2", 1, 2},      {"X-Priority: 3 (Normal)", 0, 1},
               {"Priority: urgent", 1, 2}, {"Priority: non-urgent", -1, 0}, {"Importance: High", 1, 2},
               {"X-Priority: garbage", 0, 1},
               {"X-Priority: 5\nImportance: high", -1, 0},
               {"Importance: low\nPriority: urgent", -1, 0},
               {"X-Priority: none\nImportance: high", 1, 2}};
  for (const auto& c : cases) {
    MailItem item = readText(std::string("From: a@example.com\n") + c.header + "\nSubject: p\n\nbody\n");
    EXPECT_EQ(longValue(item.props, PR_PRIORITY), c.priority) << c.header;
    EXPECT_EQ(longValue(item.props, PR_IMPORTANCE), c.importance) << c.header;
  }
}

TEST(MimeReaderBadInput, AttachmentWithoutNameGetsOne) {
  MailItem item = readText(
      "From: a@example.com\nSubject: n\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nbody\n--b\nContent-Type: image/jpeg\n\nxx\n"
      "--b\nContent-Type: application/pdf; name=\"../../etc/passwd.pdf\"\n\n%PDF\n--b--\n");
  ASSERT_EQ(item.attachments.size(), 2u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "image.jpg");
  EXPECT_EQ(text(item.attachments[1].props, PR_ATTACH_LONG_FILENAME_W), "passwd.pdf");
}

TEST(MimeText, ShortFileNames) {
  EXPECT_EQ(shortFileName("report.csv"), "REPORT.CSV");
  EXPECT_EQ(shortFileName("a very long name.jpeg"), "AVERYLON.JPE");
  EXPECT_EQ(shortFileName("noext"), "NOEXT");
  EXPECT_EQ(shortFileName(".hidden"), "HIDDEN");
}

TEST(MimeText, Charsets) {
  EXPECT_EQ(toUtf8("caf\xE9", "iso-8859-1"), "caf\xC3\xA9");
  EXPECT_EQ(toUtf8("caf\xE9", "latin1"), "caf\xC3\xA9");
  EXPECT_EQ(toUtf8("\x80", "windows-1252"), "\xE2\x82\xAC");
  EXPECT_EQ(toUtf8("\x1B$B$3$s$K$A$O\x1B(B", "iso-2022-jp"), "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF");
  EXPECT_EQ(toUtf8("\x93quoted\x94", "us-ascii"), "\xE2\x80\x9Cquoted\xE2\x80\x9D");
  EXPECT_EQ(utf8ToWide("\xE2\x82\xAC"), std::wstring(1, static_cast<wchar_t>(0x20AC)));
}

TEST(MimeText, DeliveryStatusFields) {
  DeliveryStatus s = parseDeliveryStatus(
      "Reporting-MTA: dns; mx.example.com\r\nArrival-Date: Mon, 9 Mar 2026 11:01:58 +0000\r\n\r\n"
      "Final-Recipient: RFC822; a@example.org\r\nAction: FAILED\r\nStatus: 5.1.1\r\n"
      "Diagnostic-Code: smtp; 550 no such\r\n  user here\r\n\r\n"
      "Final-Recipient: rfc822; b@example.org\r\nAction: delivered\r\nStatus: 2.0.0\r\n");
  EXPECT_EQ(s.reportingMta, "mx.example.com");
  ASSERT_EQ(s.recipients.size(), 2u);
  EXPECT_EQ(s.recipients[0].finalRecipient, "a@example.org");
  EXPECT_EQ(s.recipients[0].action, "failed");
  EXPECT_EQ(s.recipients[0].diagnostic, "550 no such user here");
  EXPECT_EQ(s.recipients[1].action, "delivered");
  EXPECT_EQ(describeStatus("5.1.1"), "Bad destination mailbox address");
  EXPECT_EQ(describeStatus("x"), "");
}

TEST(MimeText, ConversionInPiecesEqualsConversionWhole) {
  struct {
    const char* charset;
    std::string bytes;
  } cases[] = {
      {"utf-8", "a\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5 end"},
      {"utf-8", "bad \xFF\xC3 cut \xE2\x82 then \xC3\xA9"},
      {nullptr, "caf\xE9 and \xC3\xA9"},
      {"iso-8859-1", "caf\xE9 \xFC\xDF"},
      {"iso-2022-jp", "\x1B$B$3$s$K$A$O\x1B(B ok"},
      {"shift_jis", "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"},
      {"utf-16le", std::string("h\0i\0=\xD8\x00\xDE", 8)},
      {"x-unknown", "plain \x93quoted\x94"},
  };
  for (const auto& c : cases) {
    std::string whole = toUtf8(c.bytes, c.charset);
    EXPECT_TRUE(isValidUtf8(whole));
    Utf8Converter converter(c.charset);
    std::string pieces;
    for (char ch : c.bytes) converter.feed(&ch, 1, pieces);
    converter.finish(pieces);
    EXPECT_EQ(pieces, whole) << (c.charset ? c.charset : "(none)");
  }
  EXPECT_EQ(toUtf8("a\xE2\x82", "utf-8"), "a\xC3\xA2\xE2\x80\x9A");  // cut at the end: windows-1252
}

TEST(MimeReader, LongBodiesAreStreamedNotHeld) {
  std::string body;
  while (body.size() < 2 * MimeReader::kHoldTextUpTo) body += "Gr=FC=DFe aus K=F6ln.\n";
  MailItem item = readText(
      "From: a@example.com\nSubject: long\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=b\n\n"
      "--b\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n" +
      body + "--b\nContent-Type: text/html; charset=utf-8\n\n<p>short</p>\n--b--\n");
  EXPECT_FALSE(has(item.props, PR_BODY_W));
  ASSERT_EQ(item.streamedTexts.size(), 1u);
  EXPECT_EQ(item.streamedTexts[0].tag, static_cast<ULONG>(PR_BODY_W));
  std::string text = itemText(item, PR_BODY_W);
  std::string line = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln.\n";
  EXPECT_EQ(text.size(), body.size() / 22 * line.size() - 1);  // the last line break belongs to the boundary
  EXPECT_EQ(text.substr(0, line.size()), line);
  EXPECT_EQ(itemText(item, kPrBodyHtml), "<p>short</p>");
}

TEST(MimeText, FlowedText) {
  EXPECT_EQ(unflow("This is a long \nparagraph that \nflows.\n\nNext one.\n", false),
            "This is a long paragraph that flows.\n\nNext one.\n");
  EXPECT_EQ(unflow("Japanese \ntext\n", true), "Japanesetext\n");
  EXPECT_EQ(unflow(" From the start\n  two\n", false), "From the start\n two\n");
  EXPECT_EQ(unflow("> quoted \n> more\n>> deeper \nnot quoted\n", false), "> quoted more\n>> deeper \nnot quoted\n");
  EXPECT_EQ(unflow("Body\n-- \nSignature\n", false), "Body\n-- \nSignature\n");
  EXPECT_EQ(unflow("crlf \r\nline\r\n", false), "crlf line\r\n");
}

TEST(MimeReader, FlowedBodyIsUnflowed) {
  MailItem item = readText(
      "From: a@example.com\nSubject: f\nContent-Type: text/plain; charset=utf-8; format=flowed\n\n"
      "A long line that the \nsender wrapped.\n>From here.\n");
  EXPECT_EQ(text(item.props, PR_BODY_W), "A long line that the sender wrapped.\n> From here.\n");
}

TEST(MimeReaderBadInput, OddShapes) {
  // A multipart without a boundary.
  MailItem a = readText("From: a@example.com\nSubject: nb\nMIME-Version: 1.0\nContent-Type: multipart/mixed\n\nbody\n");
  EXPECT_EQ(text(a.props, PR_SUBJECT_W), "nb");
  // Headers only.
  MailItem b = readText("From: a@example.com\nSubject: headers only\n");
  EXPECT_EQ(text(b.props, PR_SUBJECT_W), "headers only");
  EXPECT_EQ(text(b.props, PR_BODY_W), "");
  // Binary junk with NULs.
  std::string junk;
  uint32_t x = 7;
  for (int i = 0; i < 100000; ++i) junk += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  MailItem c;
  std::string error;
  EXPECT_TRUE(MimeReader::readBytes(junk, c, error)) << error;
  // A header line of a megabyte, and ten thousand recipients: the line is
  // kept up to a quarter of the header limit.
  std::string to = "To: ";
  for (int i = 0; i < 10000; ++i) to += (i ? ", r" : "r") + std::to_string(i) + "@example.com";
  std::string subject = "Subject: " + std::string(1 << 20, 'x') + "\n";
  std::string header = "From: a@example.com\n" + subject + to + "\n";
  MailItem d = readText(header + "\nbody\n");
  size_t keptOfSubject = DeliveryLimits().maxHeaderBytes / 4;  // "Subject:" and the value
  EXPECT_EQ(text(d.props, PR_SUBJECT_W), std::string(keptOfSubject - 9, 'x'));
  EXPECT_EQ(d.recipients.size(), 10000u);
  EXPECT_EQ(text(d.props, PR_BODY_W), "body\n");
  EXPECT_EQ(truncationNote(d), "headers " + std::to_string(header.size() - subject.size() + keptOfSubject) + " of " +
                                   std::to_string(header.size()) + " bytes");
  // A part that says it is a message but holds none.
  MailItem e = readText(
      "From: a@example.com\nSubject: m\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nbody\n--b\nContent-Type: message/rfc822\n\n--b--\n");
  EXPECT_EQ(text(e.props, PR_BODY_W), "body");
}

TEST(MimeReader, MailerShapesOfAlternatives) {
  // Outlook: mixed > (alternative > (plain, related > (html, image)), file).
  MailItem outlook = readText(
      "From: a@example.com\nSubject: o\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n"
      "--m\nContent-Type: multipart/alternative; boundary=a\n\n"
      "--a\nContent-Type: text/plain\n\nplain\n"
      "--a\nContent-Type: multipart/related; boundary=r\n\n"
      "--r\nContent-Type: text/html\n\n<p>html</p>\n"
      "--r\nContent-Type: image/png\nContent-ID: <i1>\n\nPNG\n--r--\n"
      "--a--\n"
      "--m\nContent-Type: application/pdf; name=doc.pdf\n\n%PDF\n--m--\n");
  EXPECT_EQ(text(outlook.props, PR_BODY_W), "plain");
  EXPECT_EQ(text(outlook.props, kPrBodyHtml), "<p>html</p>");
  ASSERT_EQ(outlook.attachments.size(), 2u);
  EXPECT_EQ(text(outlook.attachments[0].props, kPrAttachContentId), "i1");
  EXPECT_EQ(text(outlook.attachments[1].props, PR_ATTACH_LONG_FILENAME_W), "doc.pdf");

  // Apple Mail: alternative > (plain, mixed > (html, file, html)).
  MailItem apple = readText(
      "From: a@example.com\nSubject: a\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=a\n\n"
      "--a\nContent-Type: text/plain\n\nplain\n"
      "--a\nContent-Type: multipart/mixed; boundary=m\n\n"
      "--m\nContent-Type: text/html\n\n<p>first</p>\n"
      "--m\nContent-Type: application/pdf; name=doc.pdf\nContent-Disposition: inline; filename=doc.pdf\n\n%PDF\n"
      "--m\nContent-Type: text/html\n\n<p>second</p>\n--m--\n"
      "--a--\n");
  EXPECT_EQ(text(apple.props, PR_BODY_W), "plain");
  EXPECT_EQ(text(apple.props, kPrBodyHtml), "<p>first</p>");
  ASSERT_EQ(apple.attachments.size(), 2u);
  EXPECT_EQ(text(apple.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "doc.pdf");
  EXPECT_EQ(text(apple.attachments[1].props, PR_ATTACH_MIME_TAG_W), "text/html");

  // Signed: the content's body is read as usual; the signed entity is kept as it arrived,
  // in one attachment (its attachments stay in it), so that the signature still verifies.
  const std::string signedBody =
      "--s\nContent-Type: multipart/mixed; boundary=m\n\n"
      "--m\nContent-Type: text/plain\n\nsigned text\n"
      "--m\nContent-Type: application/pdf; name=doc.pdf\n\n%PDF\n--m--\n"
      "--s\nContent-Type: application/pkcs7-signature; name=smime.p7s\nContent-Transfer-Encoding: base64\n\nAAEC\n"
      "--s--\n";
  MailItem signedMail = readText(
      "From: a@example.com\nSubject: s\nMIME-Version: 1.0\n"
      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\";\n boundary=s\n\n" +
      signedBody);
  EXPECT_EQ(text(signedMail.props, PR_MESSAGE_CLASS_W), "IPM.Note.SMIME.MultipartSigned");
  EXPECT_EQ(text(signedMail.props, PR_BODY_W), "signed text");
  ASSERT_EQ(signedMail.attachments.size(), 1u);
  EXPECT_EQ(text(signedMail.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "smime.p7m");
  EXPECT_EQ(text(signedMail.attachments[0].props, PR_ATTACH_MIME_TAG_W), "multipart/signed");
  EXPECT_EQ(attachmentData(signedMail.attachments[0]),
            "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\";\n boundary=s\n\n" +
                signedBody);
}

// What the MIME form of a message needs beyond its texts: the charset the body came in
// (PR_INTERNET_CPID), and of each attachment its text charset, its Content-Type as written
// when it has other parameters, its Content-Disposition as written ("" for none).
TEST(MimeReader, CharsetsAndPartFieldsAreKept) {
  auto cpid = [](const std::string& contentType) {
    MailItem item = readText("From: a@example.com\nSubject: c\nContent-Type: " + contentType + "\n\nx\n");
    const MailProp* p = findProp(item.props, kPrInternetCpid);
    return p ? p->l : -1;
  };
  EXPECT_EQ(cpid("text/plain; charset=ISO-8859-1"), 28591);
  EXPECT_EQ(cpid("text/plain; charset=\"windows-1252\""), 1252);
  EXPECT_EQ(cpid("text/plain; charset=iso-8859-15"), 28605);
  EXPECT_EQ(cpid("text/plain; charset=utf-8"), 65001);
  EXPECT_EQ(cpid("text/plain"), 20127);
  EXPECT_EQ(cpid("text/plain; charset=x-unknown"), 65001);
  EXPECT_EQ(charsetOfCodePage(28591), "ISO-8859-1");
  EXPECT_EQ(charsetOfCodePage(1252), "windows-1252");

  MailItem item = readText(
      "From: a@example.com\nSubject: p\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n"
      "--m\nContent-Type: text/html; charset=iso-8859-1\n\n<p>h\xe9</p>\n"
      "--m\nContent-Type: text/csv; charset=iso-8859-1; name=\"a.csv\"\nContent-Disposition: attachment;\n"
      " filename=\"a.csv\"\n\nK\xe4se\n"
      "--m\nContent-Type: text/plain; charset=utf-8\n\nsecond\n"
      "--m\nContent-Type: image/png\nContent-ID: <i1>\nContent-Disposition: inline\n\nPNG\n--m--\n");
  EXPECT_EQ(findProp(item.props, kPrInternetCpid)->l, 28591);
  ASSERT_EQ(item.attachments.size(), 3u);
  const MailAttachment& csv = item.attachments[0];
  EXPECT_EQ(text(csv.props, kPrTextAttachmentCharset), "iso-8859-1");
  ASSERT_EQ(csv.headers.size(), 2u);
  EXPECT_EQ(csv.headers[0].name, "Content-Type");
  EXPECT_EQ(csv.headers[0].value, "text/csv; charset=iso-8859-1; name=\"a.csv\"");
  EXPECT_EQ(csv.headers[1].name, "Content-Disposition");
  EXPECT_EQ(csv.headers[1].value, "attachment; filename=\"a.csv\"");
  const MailAttachment& second = item.attachments[1];
  EXPECT_EQ(text(second.props, kPrTextAttachmentCharset), "utf-8");
  ASSERT_EQ(second.headers.size(), 1u);  // the charset alone is a property of its own
  EXPECT_EQ(second.headers[0].value, "");
  const MailAttachment& image = item.attachments[2];
  EXPECT_EQ(findProp(image.props, kPrTextAttachmentCharset), nullptr);
  ASSERT_EQ(image.headers.size(), 1u);
  EXPECT_EQ(image.headers[0].value, "inline");
  EXPECT_EQ(findProp(image.props, kPrAttachFlags)->l, kAttMhtmlRef);
}

TEST(MimeReaderBadInput, ManyXHeaders) {
  std::string headers;
  for (int i = 0; i < 500; ++i) headers += "X-Random-" + std::to_string(i) + ": v\n";
  MailItem item = readText("From: a@example.com\n" + headers + "Subject: x\n\nbody\n");
  EXPECT_EQ(item.headers.size(), MimeReader::kMaxHeaderProps);
  EXPECT_NE(text(item.props, PR_TRANSPORT_MESSAGE_HEADERS_W).find("X-Random-499: v"), std::string::npos);
}

// ---- Header text as mailers fold it -------------------------------------------------

// A subject folded into B words whose first ends in "=" padding, as 3.5 %
// of real subjects are: GMime 3.2.13 kept only the first word
// (jstedfast/gmime#133). The same holds for the names of attached messages,
// display names and file names.
TEST(MimeReader, PaddedBase64WordsAreDecodedWhole) {
  const std::string padded =
      "=?UTF-8?B?R3LDvMOfZSBhdXMgTcO8bmNoZW4g4oCTIFByw6RzZW50YXRpb24gYQ==?=\n =?UTF-8?B?bmJlaQ==?=";
  const std::string whole = "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen \xE2\x80\x93 Pr\xC3\xA4sentation anbei";
  MailItem item = readText(
      "From: =?UTF-8?B?SsO8cmdlbiA=?=\n =?UTF-8?B?TcO8bGxlcg==?= <j@example.de>\n"
      "To: =?UTF-8?B?w4Q=?= =?UTF-8?B?w5Y=?= <a@example.com>\n"
      "Subject: " + padded + "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nsee attached\n"
      "--b\nContent-Type: application/pdf;\n name=\"=?UTF-8?B?UHLDpHNlbnRhdGlvbg==?= =?UTF-8?B?IE3DpHJ6LnBkZg==?=\"\n\n%PDF\n"
      "--b\nContent-Type: message/rfc822\n\nFrom: x@example.com\nSubject: " + padded + "\n\ninner\n--b--\n");
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), whole);
  EXPECT_EQ(text(item.props, PR_NORMALIZED_SUBJECT_W), whole);
  EXPECT_EQ(text(item.props, PR_SENDER_NAME_W), "J\xC3\xBCrgen M\xC3\xBCller");
  ASSERT_EQ(item.recipients.size(), 1u);
  EXPECT_EQ(item.recipients[0].name, "\xC3\x84\xC3\x96");
  ASSERT_EQ(item.attachments.size(), 2u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "Pr\xC3\xA4sentation M\xC3\xA4rz.pdf");
  EXPECT_EQ(text(item.attachments[1].props, PR_DISPLAY_NAME_W), whole);
  ASSERT_TRUE(item.attachments[1].embedded);
  EXPECT_EQ(text(item.attachments[1].embedded->props, PR_SUBJECT_W), whole);
}

TEST(MimeReader, FileNameInRfc2231SectionsWithACharacterSplitBetweenThem) {
  MailItem item = readText(
      "From: a@example.com\nSubject: f\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nbody\n"
      "--b\nContent-Type: application/octet-stream\n"
      "Content-Disposition: attachment;\n filename*0*=UTF-8''Gr%C3%BC%C3;\n filename*1*=%9Fe%20%E2%82;\n"
      " filename*2*=%AC.txt\n\nxx\n--b--\n");
  ASSERT_EQ(item.attachments.size(), 1u);
  EXPECT_EQ(text(item.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC.txt");
}

TEST(MimeReaderBadInput, ContentTypeWithoutSubtypeIsPlainText) {
  // RFC 2045 5.2: a Content-Type that is not "type/subtype" means text/plain.
  MailItem item = readText("From: a@example.com\nSubject: t\nContent-Type: text\n\nHello body\n");
  EXPECT_EQ(text(item.props, PR_BODY_W), "Hello body\n");
  EXPECT_TRUE(item.attachments.empty());
  MailItem withCharset = readText(
      "From: a@example.com\nSubject: t\nContent-Type: text; charset=iso-8859-1\n\ncaf\xE9\n");
  EXPECT_EQ(text(withCharset.props, PR_BODY_W), "caf\xC3\xA9\n");
  // The same for a part of a multipart.
  MailItem part = readText(
      "From: a@example.com\nSubject: t\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text\n\nthe text\n--b\nContent-Type: application/pdf; name=a.pdf\n\n%PDF\n--b--\n");
  EXPECT_EQ(text(part.props, PR_BODY_W), "the text");
  ASSERT_EQ(part.attachments.size(), 1u);
  EXPECT_EQ(text(part.attachments[0].props, PR_ATTACH_LONG_FILENAME_W), "a.pdf");
}

TEST(MimeReaderBadInput, HeaderBlockWithoutItsBlankLine) {
  // The first line that is not a field begins the body, as other parsers
  // read it; nothing is lost.
  MailItem item = readText("From: a@example.com\nSubject: nb\nThis line is not a header\nSecond line\n");
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "nb");
  EXPECT_EQ(text(item.props, PR_BODY_W), "This line is not a header\nSecond line\n");
  MailItem crlf = readText("Subject: crlf\r\nTo: b@example.com\r\n-- \r\nsigned\r\n");
  EXPECT_EQ(text(crlf.props, PR_BODY_W), "-- \r\nsigned\r\n");
  ASSERT_EQ(crlf.recipients.size(), 1u);
  // An mbox "From " line is not the body.
  MailItem mbox = readText("From a@example.com Mon Mar  9 11:01:50 2026\nFrom: a@example.com\nSubject: m\n\nbody\n");
  EXPECT_EQ(text(mbox.props, PR_SENDER_EMAIL_ADDRESS_W), "a@example.com");
  EXPECT_EQ(text(mbox.props, PR_BODY_W), "body\n");
  EXPECT_EQ(text(mbox.props, PR_TRANSPORT_MESSAGE_HEADERS_W), "From: a@example.com\nSubject: m\n");
}

TEST(MimeReaderBadInput, AttachedMessageEndingInItsHeaderBlock) {
  // The attached message has no blank line and no body before its part
  // ends: its headers are read and its body is empty, with no GLib warning
  // on the way (GMime gives no substream past the end of a part).
  static int warnings = 0;
  warnings = 0;
  GLogFunc previous = g_log_set_default_handler(
      [](const gchar*, GLogLevelFlags level, const gchar*, gpointer) {
        if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) ++warnings;
      },
      nullptr);
  MailItem item = readText(
      "From: a@b.c\nSubject: outer\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: message/rfc822\n\nSubject: inner\n--b--\n");
  g_log_set_default_handler(previous, nullptr);
  EXPECT_EQ(warnings, 0);
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "outer");
  ASSERT_EQ(item.attachments.size(), 1u);
  ASSERT_TRUE(item.attachments[0].embedded);
  EXPECT_EQ(text(item.attachments[0].embedded->props, PR_SUBJECT_W), "inner");
  EXPECT_EQ(text(item.attachments[0].embedded->props, PR_BODY_W), "");
}

TEST(MimeReaderLimits, HeaderBlocksOfPartsBeyondTheirBudget) {
  // The inner part of a nested multipart has 200 KB of fields before its
  // Content-Type: the fields beyond 64 KiB are left out, the Content-* ones
  // kept, so it is still the HTML body.
  std::string junk;
  for (int i = 0; junk.size() < 200 * 1024; ++i) junk += "X-Junk-" + std::to_string(i) + ": " + std::string(60, 'j') + "\r\n";
  MailItem nested = readText(
      "From: a@example.com\r\nSubject: nested\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=outer\r\n\r\n"
      "--outer\r\nContent-Type: multipart/alternative;\r\n boundary=\"inner\"\r\n\r\n"
      "--inner\r\nContent-Type: text/plain\r\n\r\nplain text\r\n"
      "--inner\r\n" + junk + "Content-Type: text/html\r\n\r\n<p>html</p>\r\n"
      "--inner--\r\n--outer--\r\n");
  EXPECT_EQ(text(nested.props, PR_BODY_W), "plain text");
  EXPECT_EQ(text(nested.props, kPrBodyHtml), "<p>html</p>");
  ASSERT_EQ(nested.headers.size() > 0, true);
  EXPECT_EQ(nested.headers[0].name, "X-Tolvane-Truncated");
  EXPECT_EQ(nested.headers[0].value.rfind("part headers 65", 0), 0u) << nested.headers[0].value;

  // The same lines in a part's body, and a part header of fields under the
  // budget, are kept whole; lines that only look like a boundary of another
  // multipart change nothing.
  std::string lines;
  for (int i = 0; lines.size() < 200 * 1024; ++i) lines += "X-Line-" + std::to_string(i) + ": " + std::string(60, 'l') + "\n";
  MailItem whole = readText(
      "From: a@example.com\nSubject: whole\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\nX-Small: 1\n\n--notaboundary\n" + lines + "--b--\n");
  // (The line end before a boundary belongs to the boundary.)
  std::string body = text(whole.props, PR_BODY_W);
  EXPECT_TRUE(body == "--notaboundary\n" + lines.substr(0, lines.size() - 1)) << body.size() << " bytes";
  for (const auto& h : whole.headers) EXPECT_NE(h.name, "X-Tolvane-Truncated") << h.value;
}

TEST(MimeReaderBadInput, AddressesWithoutDomainAreKeptAsGiven) {
  MailItem item = readText("From: foo\nTo: XX, Boss </o=corp/ou=x/cn=Recipients/cn=boss>\nSubject: d\n\nbody\n");
  EXPECT_EQ(text(item.props, PR_SENDER_NAME_W), "foo");
  EXPECT_EQ(text(item.props, kPrSenderSmtpAddress), "foo");
  // Stored behind "SMTP:" so that no reader takes them for directory names.
  EXPECT_EQ(text(item.props, PR_SENDER_EMAIL_ADDRESS_W), "SMTP:foo");
  EXPECT_EQ(text(item.props, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W), "SMTP:foo");
  EXPECT_EQ(text(item.props, PR_SENDER_ADDRTYPE_W), "SMTP");
  EXPECT_EQ(text(item.props, PR_SENDER_ENTRYID), oneOffEntryId("foo", "foo"));
  ASSERT_EQ(item.recipients.size(), 2u);
  EXPECT_EQ(item.recipients[0].address, "XX");
  EXPECT_EQ(item.recipients[1].name, "Boss");
  EXPECT_EQ(item.recipients[1].address, "/o=corp/ou=x/cn=Recipients/cn=boss");
  EXPECT_EQ(emailAddressValue("a@example.com"), "a@example.com");
  EXPECT_EQ(emailAddressValue("/o=corp/cn=boss"), "SMTP:/o=corp/cn=boss");
  EXPECT_EQ(emailAddressValue("smtp:boss@corp.example"), "SMTP:smtp:boss@corp.example");
}

// ---- Limits ---------------------------------------------------------------------

namespace {

DeliveryLimits smallLimits() {
  DeliveryLimits l;
  l.maxHeaderBytes = 8192;
  l.maxRecipients = 5;
  l.maxGroupDepth = 2;
  return l;
}

MailItem readLimited(const std::string& bytes, const DeliveryLimits& limits) {
  MailItem item;
  std::string error;
  EXPECT_TRUE(MimeReader::readBytes(bytes, limits, item, error)) << error;
  return item;
}

}  // namespace

TEST(MimeReaderLimits, RecipientsBeyondTheLimitAreCountedNotKept) {
  std::string to = "To: ", cc = "Cc: ";
  for (int i = 0; i < 4; ++i) to += "t" + std::to_string(i) + "@example.com, ";
  for (int i = 0; i < 3; ++i) cc += "c" + std::to_string(i) + "@example.com, ";
  MailItem item = readLimited("From: a@example.com\n" + to + "\n" + cc + "\nReply-To: r1@x, r2@x, r3@x, r4@x, r5@x, r6@x\n"
                              "Subject: many\n\nbody\n",
                              smallLimits());
  ASSERT_EQ(item.recipients.size(), 5u);
  EXPECT_EQ(item.recipients[3].address, "t3@example.com");
  EXPECT_EQ(item.recipients[4].address, "c0@example.com");
  EXPECT_EQ(item.recipients[4].type, static_cast<ULONG>(MAPI_CC));
  EXPECT_EQ(text(item.props, PR_REPLY_RECIPIENT_NAMES_W), "r1@x; r2@x; r3@x; r4@x; r5@x");
  EXPECT_EQ(truncationNote(item), "recipients 5 of 7; reply-to 5 of 6");
  // Said in the transport headers as well, before the fields.
  EXPECT_EQ(text(item.props, PR_TRANSPORT_MESSAGE_HEADERS_W).rfind("X-Tolvane-Truncated: recipients 5 of 7; reply-to 5 of 6\n", 0),
            0u);
  EXPECT_EQ(item.headers[0].name, "X-Tolvane-Truncated");
  // Within the limits nothing is said.
  MailItem fits = readLimited("From: a@example.com\nTo: t@example.com\nSubject: s\n\nbody\n", smallLimits());
  EXPECT_EQ(truncationNote(fits), "");
  EXPECT_TRUE(fits.headers.empty());
  EXPECT_EQ(text(fits.props, PR_TRANSPORT_MESSAGE_HEADERS_W).find("X-Tolvane"), std::string::npos);
}

TEST(MimeReaderLimits, GroupsNestedTooDeepAndManyAddressFields) {
  std::string msg = "From: a@example.com\nSubject: g\n";
  msg += "To: a: b: ok@example.com;;\n";
  for (int i = 0; i < 3; ++i) msg += "To: a: b: c: deep" + std::to_string(i) + "@example.com;;;\n";
  msg += "Cc: last@example.com\n\nbody\n";
  MailItem item = readLimited(msg, smallLimits());
  ASSERT_EQ(item.recipients.size(), 2u);
  EXPECT_EQ(item.recipients[0].address, "ok@example.com");
  EXPECT_EQ(item.recipients[1].address, "last@example.com");
  EXPECT_EQ(truncationNote(item), "addresses in groups nested deeper than 2 3");
}

TEST(MimeReaderLimits, HeaderBytesBeyondTheLimit) {
  std::string msg = "From: a@example.com\nSubject: first\n";
  std::string filler;
  for (int i = 0; i < 400; ++i) filler += "Received: from relay" + std::to_string(i) + ".example.com by x\n";
  msg += filler + "To: late@example.com\nContent-Type: text/plain; charset=iso-8859-1\n\nGr\xFC\xDF" "e\n";
  MailItem item = readLimited(msg, smallLimits());
  EXPECT_EQ(text(item.props, PR_SUBJECT_W), "first");
  EXPECT_TRUE(item.recipients.empty());  // the To field came too late
  // The content fields are always read: the body keeps its charset.
  EXPECT_EQ(text(item.props, PR_BODY_W), "Gr\xC3\xBC\xC3\x9F" "e\n");
  std::string note = truncationNote(item);
  size_t seen = msg.find("\n\n") + 1;
  EXPECT_EQ(note.substr(note.find(" of ")), " of " + std::to_string(seen) + " bytes") << note;
  EXPECT_LE(text(item.props, PR_TRANSPORT_MESSAGE_HEADERS_W).size(), 8192u + 200);
}

TEST(MimeReaderLimits, ReportRowsBeyondTheLimit) {
  std::string status = "Reporting-MTA: dns; mx\n\n";
  for (int i = 0; i < 12; ++i)
    status += "Final-Recipient: rfc822; r" + std::to_string(i) + "@example.org\nAction: failed\nStatus: 5.1.1\n\n";
  MailItem item = readLimited(
      "From: MAILER-DAEMON@example.com\nTo: a@example.com\nSubject: failed\nMIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nfailed\n--b\nContent-Type: message/delivery-status\n\n" + status + "--b--\n",
      smallLimits());
  EXPECT_EQ(text(item.props, PR_MESSAGE_CLASS_W), "REPORT.IPM.Note.NDR");
  ASSERT_EQ(item.recipients.size(), 5u);
  EXPECT_EQ(item.recipients[4].address, "r4@example.org");
  EXPECT_EQ(truncationNote(item), "recipients 5 of 12");
}

TEST(MimeReaderLimits, SettingsFromTheEnvironment) {
  DeliveryLimits defaults = DeliveryLimits::fromEnvironment();
  EXPECT_EQ(defaults.maxHeaderBytes, 1024u * 1024);
  EXPECT_EQ(defaults.maxRecipients, 10000u);
  EXPECT_EQ(defaults.maxGroupDepth, 8);
  setenv("TOLVANE_MAPI_MAX_HEADER_BYTES", "100", 1);
  setenv("TOLVANE_MAPI_MAX_RECIPIENTS", "3", 1);
  setenv("TOLVANE_MAPI_MAX_GROUP_NESTING", "junk", 1);
  DeliveryLimits set = DeliveryLimits::fromEnvironment();
  EXPECT_EQ(set.maxHeaderBytes, 4096u);  // the least allowed
  EXPECT_EQ(set.maxRecipients, 3u);
  EXPECT_EQ(set.maxGroupDepth, 8);
  MailItem item = readText("From: a@example.com\nTo: a@x, b@x, c@x, d@x\nSubject: e\n\nbody\n");
  EXPECT_EQ(item.recipients.size(), 3u);
  for (const char* v : {"-5", "0", "12x"}) {
    setenv("TOLVANE_MAPI_MAX_RECIPIENTS", v, 1);
    EXPECT_EQ(DeliveryLimits::fromEnvironment().maxRecipients, 10000u) << v;
  }
  unsetenv("TOLVANE_MAPI_MAX_HEADER_BYTES");
  unsetenv("TOLVANE_MAPI_MAX_RECIPIENTS");
  unsetenv("TOLVANE_MAPI_MAX_GROUP_NESTING");
}

TEST(MimeReader, AttachedMessagesAreReadLikeTheMessageThatHoldsThem) {
  MailItem item = readLimited(
      "From: a@example.com\nSubject: outer\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nouter body\n"
      "--b\nContent-Type: message/rfc822\n\n"
      "From: m@example.com\nSubject: middle\nTo: a@x, b@x, c@x, d@x, e@x, f@x, g@x\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=c\n\n"
      "--c\nContent-Type: text/plain\n\nmiddle body\n"
      "--c\nContent-Type: message/rfc822\n\nFrom: i@example.com\nSubject: =?UTF-8?B?aW5uZXI=?=\nThe body, no blank line\n"
      "--c\nContent-Type: application/octet-stream; name=m.bin\n\nMMM\n--c--\n"
      "--b\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
      "RnJvbTogYkBleGFtcGxlLmNvbQpTdWJqZWN0OiBlbmNvZGVkCgpib2R5Cg==\n--b--\n",
      smallLimits());
  EXPECT_EQ(text(item.props, PR_BODY_W), "outer body");
  EXPECT_EQ(truncationNote(item), "");
  ASSERT_EQ(item.attachments.size(), 2u);
  ASSERT_TRUE(item.attachments[0].embedded);
  const MailItem& middle = *item.attachments[0].embedded;
  EXPECT_EQ(text(item.attachments[0].props, PR_DISPLAY_NAME_W), "middle");
  EXPECT_EQ(text(middle.props, PR_BODY_W), "middle body");
  // The limits hold in an attached message as well, and it says so itself.
  EXPECT_EQ(middle.recipients.size(), 5u);
  EXPECT_EQ(truncationNote(middle), "recipients 5 of 7");
  ASSERT_EQ(middle.attachments.size(), 2u);
  ASSERT_TRUE(middle.attachments[0].embedded);
  const MailItem& inner = *middle.attachments[0].embedded;
  EXPECT_EQ(text(inner.props, PR_SUBJECT_W), "inner");
  EXPECT_EQ(text(inner.props, PR_BODY_W), "The body, no blank line");
  EXPECT_FALSE(has(inner.props, PR_TRANSPORT_MESSAGE_HEADERS_W));
  EXPECT_EQ(attachmentData(middle.attachments[1]), "MMM");
  // An encoded message (RFC 2046 allows none) is kept as a file, decoded.
  EXPECT_FALSE(item.attachments[1].embedded);
  EXPECT_EQ(text(item.attachments[1].props, PR_ATTACH_LONG_FILENAME_W), "message.eml");
  EXPECT_EQ(attachmentData(item.attachments[1]), "From: b@example.com\nSubject: encoded\n\nbody\n");
}
