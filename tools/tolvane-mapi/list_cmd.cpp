// tolvane-mapi list PROFILE [--folder PATH]
//
// One line per message of a folder (the Inbox unless a path of folder names
// below "Top of Information Store" is given), tab-separated: received time
// (UTC), sender, subject, size in bytes, number of attachments. Sender and
// subject come from the mail as received (encoded words decode to any
// character): control characters are shown escaped, never sent to the
// terminal.
#include "commands.h"

#include <deliver.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>
#include <ctime>
#include <iostream>

namespace {

const int kUsageError = 64;
const int kDataError = 65;
const int kNoInput = 66;
const int kNoUser = 67;
const int kIoError = 74;
const int kTempFail = 75;
const int kConfigError = 78;

std::string timeText(const FILETIME& ft) {
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  time_t t = static_cast<time_t>(ticks / 10000000ULL - 11644473600ULL);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// A value as one line of visible text: tabs and line breaks would break
// the line format, and control characters (ESC starts a terminal escape
// sequence) would reach the terminal. They are shown escaped: \t, \n, \r,
// \\ for a backslash, \xHH for other C0 controls, DEL and bytes that are
// not UTF-8, \u00HH for C1 controls (U+0080 to U+009F). Other characters
// are kept as they are.
std::string visible(const char* s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  if (!s) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t n = strlen(s);
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c == '\\') {
      out += "\\\\";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // A whole UTF-8 sequence is kept; a C1 control or a stray byte is not.
      size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      bool whole = len > 0 && i + len <= n;
      for (size_t k = 1; whole && k < len; ++k) whole = (p[i + k] & 0xC0) == 0x80;
      if (whole && len == 2 && c == 0xC2 && p[i + 1] < 0xA0) {
        out += "\\u00";
        out += digits[p[i + 1] >> 4];
        out += digits[p[i + 1] & 15];
        i += 2;
      } else if (whole) {
        out.append(s + i, len);
        i += len;
      } else {
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 15];
        ++i;
      }
    }
  }
  return out;
}

long attachmentCount(LPMAPIFOLDER folder, const SBinary& entryId) {
  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  if (FAILED(folder->OpenEntry(entryId.cb, reinterpret_cast<LPENTRYID>(entryId.lpb), nullptr, 0, &type, &unk)))
    return -1;
  LPMESSAGE message = reinterpret_cast<LPMESSAGE>(unk);
  long count = -1;
  LPMAPITABLE table = nullptr;
  if (SUCCEEDED(message->GetAttachmentTable(0, &table))) {
    ULONG rows = 0;
    if (SUCCEEDED(table->GetRowCount(0, &rows))) count = static_cast<long>(rows);
    table->Release();
  }
  message->Release();
  return count;
}

}  // namespace

int listCommand(const std::vector<std::string>& args) {
  std::string profile, folderPath;
  bool haveProfile = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--folder" && i + 1 < args.size()) {
      folderPath = args[++i];
    } else if (a.rfind("-", 0) == 0 || haveProfile) {
      toolError("list: unexpected argument '" + a + "'");
      return kUsageError;
    } else {
      profile = a;
      haveProfile = true;
    }
  }
  if (!haveProfile) {
    toolError("list needs a PROFILE");
    return kUsageError;
  }
  std::string error;
  HRESULT checked = checkProfile(profile, error);
  if (checked == MAPI_E_NO_ACCESS || checked == MAPI_E_NOT_FOUND) {
    toolError("list: " + error);
    return checked == MAPI_E_NO_ACCESS ? kConfigError : kNoInput;
  }
  mapimime::MailDelivery session;
  HRESULT hr = session.open(profile, error);
  if (SUCCEEDED(hr) && !folderPath.empty()) hr = session.openFolder(folderPath, error);
  if (FAILED(hr)) {
    toolError("list: " + error);
    if (hr == MAPI_E_LOGON_FAILED) return kNoUser;
    if (hr == MAPI_E_NOT_FOUND) return kDataError;  // no such folder
    return hr == MAPI_E_BUSY ? kTempFail : kIoError;
  }
  LPMAPIFOLDER folder = session.folder();
  LPMAPITABLE table = nullptr;
  hr = folder->GetContentsTable(0, &table);
  if (FAILED(hr)) {
    toolError("list: cannot read the folder's messages");
    return kIoError;
  }
  SizedSPropTagArray(6, columns) = {
      6, {PR_MESSAGE_DELIVERY_TIME, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A, PR_SUBJECT_A, PR_MESSAGE_SIZE,
          PR_ENTRYID}};
  hr = table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  int status = 0;
  while (SUCCEEDED(hr)) {
    LPSRowSet rows = nullptr;
    hr = table->QueryRows(100, 0, &rows);
    if (FAILED(hr)) break;
    if (rows->cRows == 0) {
      FreeProws(rows);
      break;
    }
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      std::string when = v[0].ulPropTag == PR_MESSAGE_DELIVERY_TIME ? timeText(v[0].Value.ft) : "-";
      std::string sender = v[1].ulPropTag == PR_SENDER_NAME_A ? visible(v[1].Value.lpszA) : "";
      if (v[2].ulPropTag == PR_SENDER_EMAIL_ADDRESS_A)
        sender += (sender.empty() ? "<" : " <") + visible(v[2].Value.lpszA) + ">";
      if (sender.empty()) sender = "-";
      std::string subject = v[3].ulPropTag == PR_SUBJECT_A ? visible(v[3].Value.lpszA) : "";
      std::string size = v[4].ulPropTag == PR_MESSAGE_SIZE ? std::to_string(v[4].Value.l) : "-";
      long attachments = v[5].ulPropTag == PR_ENTRYID ? attachmentCount(folder, v[5].Value.bin) : -1;
      std::cout << when << "\t" << sender << "\t" << subject << "\t" << size << "\t"
                << (attachments < 0 ? std::string("-") : std::to_string(attachments)) << "\n";
    }
    FreeProws(rows);
  }
  if (FAILED(hr)) {
    toolError("list: cannot read the folder's messages");
    status = hr == MAPI_E_BUSY ? kTempFail : kIoError;
  }
  table->Release();
  return status;
}
