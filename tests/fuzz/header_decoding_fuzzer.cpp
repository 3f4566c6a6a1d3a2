// Header decoding: RFC 2047 encoded words, RFC 5322 address lists and
// RFC 2231 parameters, as the delivery reader meets them.
//
// The input is used as
//   - a raw header value for the reader's own decoders (mapi/mime/headertext.h):
//     unfoldHeader, decodeHeaderText, parseAddressList (also with small
//     limits) and decodeParameter;
//   - the value of Subject, From, To and Reply-To and the parameters of
//     Content-Type and Content-Disposition of a small message read by
//     MimeReader (the attachment's file name comes from the parameters);
//   - and for GMime's own decoders, which the reader still reaches
//     (g_mime_utils_header_decode_text and _phrase, internet_address_list_parse):
//     only their crashes count there, GMime promises no UTF-8.
//
// What must hold, besides the sanitizers' checks: everything the reader's
// decoders and the reader return is valid UTF-8 (it becomes PT_UNICODE
// values); an unfolded value has no line ends; a list read with a limit holds
// at most that many mailboxes, the first ones of the list read without it;
// the reader reads the message (it refuses only blank input); GLib and GMime
// report no critical warning.

#include "fuzz_support.h"

#include "headertext.h"
#include "mailitem.h"
#include "mimereader.h"

#include <mapitags.h>

#include <gmime/gmime.h>

#include <string>
#include <vector>

using fuzzsupport::excerpt;
using fuzzsupport::validUtf8;

namespace {

// One logical header line: line ends removed (unfolded), NULs made blanks.
std::string headerLine(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    if (c == '\r' || c == '\n') continue;
    out += c == '\0' ? ' ' : c;
  }
  return out;
}

void checkText(const char* what, const std::string& text, const std::string& input) {
  FUZZ_CHECK(validUtf8(text), std::string(what) + " is not UTF-8: \"" + excerpt(text) + "\" from \"" +
                                  excerpt(input) + "\"");
}

void decodeWithGMime(const std::string& line) {
  g_free(g_mime_utils_header_decode_text(nullptr, line.c_str()));
  g_free(g_mime_utils_header_decode_phrase(nullptr, line.c_str()));
  InternetAddressList* list = internet_address_list_parse(nullptr, line.c_str());
  if (list) {
    g_free(internet_address_list_to_string(list, nullptr, FALSE));
    g_object_unref(list);
  }
}

void checkMailboxes(const std::vector<mapimime::AddressListMailbox>& list, const std::string& input) {
  for (const auto& m : list) {
    checkText("parseAddressList's name", m.name, input);
    checkText("parseAddressList's address", m.address, input);
  }
}

void decodeWithReader(const std::string& raw) {
  std::string value = mapimime::unfoldHeader(raw);
  FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos, "unfoldHeader left a line end in \"" + excerpt(value) + "\"");
  checkText("decodeHeaderText", mapimime::decodeHeaderText(value), raw);

  mapimime::AddressListCounts counts;
  std::vector<mapimime::AddressListMailbox> all = mapimime::parseAddressList(value, 10000, 8, &counts);
  checkMailboxes(all, raw);
  FUZZ_CHECK(counts.mailboxes >= all.size(), std::to_string(all.size()) + " mailboxes returned of " +
                                                 std::to_string(counts.mailboxes) + " counted");
  mapimime::AddressListCounts limitedCounts;
  std::vector<mapimime::AddressListMailbox> limited = mapimime::parseAddressList(value, 3, 8, &limitedCounts);
  bool prefix = limited.size() == std::min<size_t>(3, all.size());
  for (size_t k = 0; prefix && k < limited.size(); ++k)
    prefix = limited[k].name == all[k].name && limited[k].address == all[k].address;
  FUZZ_CHECK(prefix, "a list read with room for 3 mailboxes gave " + std::to_string(limited.size()) +
                         " that are not the first of the " + std::to_string(all.size()) + " read without a limit");
  checkMailboxes(mapimime::parseAddressList(value, 10000, 0), raw);

  for (const char* name : {"filename", "name", "boundary", "charset"}) {
    bool found = false;
    checkText("decodeParameter", mapimime::decodeParameter(value, name, &found), raw);
    checkText("decodeParameter", mapimime::decodeParameter("application/octet-stream; " + value, name, &found), raw);
  }
}

void checkProps(const mapimime::MailProps& props, const std::string& input) {
  for (const mapimime::MailProp& p : props) {
    if (PROP_TYPE(p.tag) == PT_UNICODE) checkText("a text property", p.bytes, input);
  }
}

void checkItem(const mapimime::MailItem& item, const std::string& input) {
  checkProps(item.props, input);
  for (const auto& h : item.headers) checkText("a header property", h.value, input);
  for (const auto& r : item.recipients) {
    checkText("a recipient's name", r.name, input);
    checkText("a recipient's address", r.address, input);
  }
  for (const auto& a : item.attachments) {
    checkProps(a.props, input);
    if (a.embedded) checkItem(*a.embedded, input);
  }
}

void readAsMessage(const std::string& line, const std::string& input) {
  std::string message =
      "From: " + line + "\n"
      "To: " + line + "\n"
      "Reply-To: " + line + "\n"
      "Subject: " + line + "\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n"
      "\n"
      "--b\n"
      "Content-Type: text/plain; " + line + "\n"
      "\n"
      "text\n"
      "--b\n"
      "Content-Type: application/octet-stream; " + line + "\n"
      "Content-Disposition: attachment; " + line + "\n"
      "Content-Transfer-Encoding: base64\n"
      "\n"
      "AAEC\n"
      "--b--\n";
  mapimime::MailItem item;
  std::string error;
  FUZZ_CHECK(mapimime::MimeReader::readBytes(message, item, error), "the reader refused a message: " + error);
  checkItem(item, input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::initMime();
  fuzzsupport::failOnGLibCriticals(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string line = headerLine(input);
  decodeWithReader(input);
  decodeWithGMime(line);
  readAsMessage(line, input);
  return 0;
}
