#include "dsn.h"

#include "textconv.h"

#include <map>

namespace mapimime {

namespace {

// "type; value" -> value (the whole text when there is no type).
std::string afterType(const std::string& v) {
  size_t semi = v.find(';');
  return trim(semi == std::string::npos ? v : v.substr(semi + 1));
}

}  // namespace

DeliveryStatus parseDeliveryStatus(const std::string& text) {
  // Split into blocks of unfolded fields; blank lines end a block.
  std::vector<std::vector<std::pair<std::string, std::string>>> blocks(1);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    pos = eol == std::string::npos ? text.size() + 1 : eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trim(line).empty()) {
      if (!blocks.back().empty()) blocks.emplace_back();
      continue;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !blocks.back().empty()) {
      blocks.back().back().second += " " + trim(line);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    blocks.back().emplace_back(lowerAscii(trim(line.substr(0, colon))), trim(line.substr(colon + 1)));
  }

  DeliveryStatus status;
  bool first = true;
  for (const auto& block : blocks) {
    if (block.empty()) continue;
    DsnRecipient r;
    bool isRecipient = false;
    for (const auto& f : block) {
      const std::string& name = f.first;
      const std::string& value = f.second;
      if (name == "final-recipient") {
        r.finalRecipient = afterType(value);
        isRecipient = true;
      } else if (name == "original-recipient") {
        r.originalRecipient = afterType(value);
        isRecipient = true;
      } else if (name == "action") {
        r.action = lowerAscii(trim(value));
      } else if (name == "status") {
        // "5.1.1 (comment)" keeps only the code.
        std::string s = trim(value);
        size_t sp = s.find_first_of(" \t(");
        r.status = sp == std::string::npos ? s : s.substr(0, sp);
      } else if (name == "diagnostic-code") {
        r.diagnostic = afterType(value);
      } else if (name == "last-attempt-date") {
        r.lastAttemptDate = value;
      } else if (name == "remote-mta") {
        r.remoteMta = afterType(value);
      } else if (name == "reporting-mta" && first) {
        status.reportingMta = afterType(value);
      } else if (name == "arrival-date" && first) {
        status.arrivalDate = value;
      }
    }
    if (isRecipient) status.recipients.push_back(r);
    first = false;
  }
  return status;
}

std::string describeStatus(const std::string& status) {
  static const std::map<std::string, std::string> kDetail = {
      {"0.0", "Other undefined status"},
      {"1.0", "Other address status"},
      {"1.1", "Bad destination mailbox address"},
      {"1.2", "Bad destination system address"},
      {"1.3", "Bad destination mailbox address syntax"},
      {"1.4", "Destination mailbox address ambiguous"},
      {"1.6", "Destination mailbox has moved"},
      {"1.10", "Recipient address has null MX"},
      {"2.0", "Other or undefined mailbox status"},
      {"2.1", "Mailbox disabled, not accepting messages"},
      {"2.2", "Mailbox full"},
      {"2.3", "Message length exceeds administrative limit"},
      {"3.0", "Other or undefined mail system status"},
      {"3.1", "Mail system full"},
      {"3.4", "Message too big for system"},
      {"4.0", "Other or undefined network or routing status"},
      {"4.1", "No answer from host"},
      {"4.2", "Bad connection"},
      {"4.3", "Directory server failure"},
      {"4.4", "Unable to route"},
      {"4.7", "Delivery time expired"},
      {"5.0", "Other or undefined protocol status"},
      {"6.0", "Other or undefined media error"},
      {"7.0", "Other or undefined security status"},
      {"7.1", "Delivery not authorized, message refused"},
  };
  size_t dot = status.find('.');
  if (dot == std::string::npos) return "";
  auto it = kDetail.find(status.substr(dot + 1));
  return it == kDetail.end() ? "" : it->second;
}

}  // namespace mapimime
