#include "dsn.h"

#include "textconv.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace mapimime {

namespace {

// "type; value" -> value (the whole text when there is no type).
std::string afterType(const std::string& v) {
  size_t semi = v.find(';');
  return trim(semi == std::string::npos ? v : v.substr(semi + 1));
}

}  // namespace

DeliveryStatusReader::DeliveryStatusReader(size_t maxRecipients, bool failedOnly)
    : m_max(maxRecipients), m_failedOnly(failedOnly) {}

void DeliveryStatusReader::feed(const char* data, size_t n) {
  while (n > 0) {
    const char* nl = static_cast<const char*>(memchr(data, '\n', n));
    size_t piece = nl ? static_cast<size_t>(nl - data) : n;
    size_t room = m_line.size() < kMaxLine ? kMaxLine - m_line.size() : 0;
    m_line.append(data, std::min(piece, room));
    if (!nl) return;
    line(std::move(m_line));
    m_line.clear();
    data += piece + 1;
    n -= piece + 1;
  }
}

DeliveryStatus DeliveryStatusReader::finish() {
  if (!m_line.empty()) line(std::move(m_line));
  m_line.clear();
  endBlock();
  return std::move(m_status);
}

// Blank lines end a block; a line that starts with a blank continues the
// field before it.
void DeliveryStatusReader::line(std::string text) {
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (trim(text).empty()) {
    endBlock();
    return;
  }
  if ((text[0] == ' ' || text[0] == '\t') && !m_block.empty()) {
    std::string& value = m_block.back().second;
    if (value.size() < kMaxLine) value += " " + trim(text);
    return;
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos || m_block.size() >= kMaxFields) return;
  m_block.emplace_back(lowerAscii(trim(text.substr(0, colon))), trim(text.substr(colon + 1)));
}

void DeliveryStatusReader::endBlock() {
  if (m_block.empty()) return;
  DsnRecipient r;
  bool isRecipient = false;
  for (auto& f : m_block) {
    const std::string& name = f.first;
    std::string value = sanitizeUtf8(f.second);
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
    } else if (name == "reporting-mta" && m_first) {
      m_status.reportingMta = afterType(value);
    } else if (name == "arrival-date" && m_first) {
      m_status.arrivalDate = value;
    }
  }
  m_block.clear();
  m_first = false;
  if (!isRecipient || (m_failedOnly && r.action != "failed")) return;
  ++m_status.recipientsSeen;
  if (m_status.recipients.size() < m_max) m_status.recipients.push_back(std::move(r));
}

DeliveryStatus parseDeliveryStatus(const std::string& text) {
  DeliveryStatusReader reader;
  reader.feed(text.data(), text.size());
  return reader.finish();
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
