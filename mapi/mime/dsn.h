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
};

// Reads the fields of a message/delivery-status body. Unknown fields are
// ignored; a block without a recipient field is not a recipient.
DeliveryStatus parseDeliveryStatus(const std::string& text);

// A short English description of an enhanced status code (RFC 3463), such
// as "Bad destination mailbox address" for 5.1.1; "" when none is known.
std::string describeStatus(const std::string& status);

}  // namespace mapimime

#endif
