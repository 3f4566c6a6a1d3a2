// Delivery status notifications (RFC 3464): the machine-readable
// message/delivery-status part, read into its per-message and
// per-recipient fields.
#ifndef TOLVANE_MIME_DSN_H
#define TOLVANE_MIME_DSN_H

#include <string>
#include <vector>

namespace mapimime {

struct DsnRecipient {
  std::string finalRecipient;     // the address, its type ("rfc822;") removed
  std::string originalRecipient;  // likewise
  std::string action;             // lower case: failed, delayed, delivered, relayed, expanded
  std::string status;             // e.g. "5.1.1"
  std::string diagnostic;         // Diagnostic-Code text, its type ("smtp;") removed
  std::string lastAttemptDate;    // as written
  std::string remoteMta;
};

struct DeliveryStatus {
  std::string reportingMta;
  std::string arrivalDate;
  std::vector<DsnRecipient> recipients;
  // Recipients the report holds (of the action asked for), also those
  // beyond the limit that were not kept.
  size_t recipientsSeen = 0;
};

// Reads the fields of a message/delivery-status body as it comes, one
// block of fields at a time, so that a report of any length is read in
// bounded memory. Unknown fields are ignored; a block without a recipient
// field is not a recipient.
class DeliveryStatusReader {
 public:
  // Keeps at most `maxRecipients` recipients; with `failedOnly` only those
  // whose action is "failed" (the others are neither kept nor counted).
  explicit DeliveryStatusReader(size_t maxRecipients = static_cast<size_t>(-1), bool failedOnly = false);

  void feed(const char* data, size_t n);
  // The status, once the whole body was fed.
  DeliveryStatus finish();

  // Lines longer than this are cut; a block keeps at most kMaxFields fields.
  static constexpr size_t kMaxLine = 16 * 1024;
  static constexpr size_t kMaxFields = 64;

 private:
  void line(std::string text);
  void endBlock();

  size_t m_max;
  bool m_failedOnly;
  DeliveryStatus m_status;
  std::string m_line;
  bool m_lineCut = false;
  std::vector<std::pair<std::string, std::string>> m_block;
  bool m_first = true;  // the next block is the first (the per-message fields)
};

// A whole message/delivery-status body read at once.
DeliveryStatus parseDeliveryStatus(const std::string& text);

// A short English description of an enhanced status code (RFC 3463), such
// as "Bad destination mailbox address" for 5.1.1; "" when none is known.
std::string describeStatus(const std::string& status);

}  // namespace mapimime

#endif
