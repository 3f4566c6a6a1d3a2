// CMapiMessage: sender, recipients and reply-to addresses.
#include "message/mapiaddress.h"
#include "message/mapimessage.h"

#include "folder/mapifolder.h"
#include "session/mapisession.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
  return text;
}

// Every double quote of a sender name becomes \".
std::string escapeName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string CMapiMessage::normalizeAddress(std::string address) {
  std::string u = upper(address);
  if (u.find("SMTP:") == std::string::npos && u.find('@') == std::string::npos) {
    // An Exchange address: its entry's SMTP proxy, through the store's
    // session. A message without a store (one being composed) has none.
    CMapiSession* pSession = session();
    address = pSession ? pSession->getSMTPAddress(address) : std::string();
    u = upper(address);
  }
  size_t p = u.find("SMTP:");
  if (p != std::string::npos) address = address.substr(p + 5);
  return address;
}

void CMapiMessage::getFrom(CStringList& list) {
  mapiLog("CMapiMessage::getFrom->in\n");
  if (!m_lpMessage) fail("CMapiMessage::getFrom, m_lpMessage == NULL");
  CMapiAddress address;
  std::string name;
  HRESULT hr = readString(PR_SENDER_NAME_A, name);
  if (SUCCEEDED(hr)) {
    address.m_strName = escapeName(name);
  } else if (hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getForm: failed ";
    getLastError(hr, text);
    fail(text);
  }
  mapiLog("CMapiMessage::getFrom->MAPIFreeBuffer\n");
  std::string email;
  hr = readString(PR_SENDER_EMAIL_ADDRESS_A, email);
  if (SUCCEEDED(hr)) {
    address.m_strAddress = normalizeAddress(email);
    list.push_back(address.format());
  } else if (hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getFrom failed ";
    getLastError(hr, text);
    throw CMapiException(text);
  }
  mapiLog("CMapiMessage::getFrom->out\n");
}

void CMapiMessage::getAuthor(CStringList& list) {
  if (!m_lpMessage) fail("CMapiMessage::getAuthor, m_lpMessage == NULL");
  std::string email, name;
  HRESULT hr = readString(PR_SENT_REPRESENTING_EMAIL_ADDRESS_A, email);
  if (hr == MAPI_E_NOT_FOUND) return getFrom(list);  // sent by its author
  if (SUCCEEDED(hr)) hr = readString(PR_SENT_REPRESENTING_NAME_A, name);
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getAuthor failed ";
    getLastError(hr, text);
    throw CMapiException(text);
  }
  CMapiAddress address;
  address.m_strName = escapeName(name);
  address.m_strAddress = normalizeAddress(email);
  list.push_back(address.format());
}

void CMapiMessage::getAddress(CStringList& list, ULONG ulRecipientType) {
  mapiLog("CMapiMessage::getAddress ->In\n");
  if (!m_lpMessage) fail("CMapiMessage::getAddress,  m_lpMessage  == NULL");
  LPMAPITABLE lpTable = nullptr;
  HRESULT hr = m_lpMessage->GetRecipientTable(0, &lpTable);
  if (FAILED(hr) || !lpTable) {
    mapiLog("CMapiMessage::getAddress GetRecipientTable failed msgPtr: %p, hr: %d\n", static_cast<void*>(m_lpMessage),
            static_cast<int>(hr));
    std::string text = "getAddress GetRecipientTable failed: ";
    getLastError(hr, text);
    fail(text);
  }
  // The table is released on every way out, the exceptions included.
  struct TableGuard {
    LPMAPITABLE table;
    ~TableGuard() { table->Release(); }
  } guard{lpTable};

  SizedSPropTagArray(4, columns) = {4, {PR_RECIPIENT_TYPE, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A, PR_DISPLAY_NAME_A}};
  hr = lpTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), TBL_BATCH);
  if (FAILED(hr)) {
    std::string text = "CMapiMessage::getAddress SetColumns failed: ";
    getLastError(hr, text);
    mapiLog("%s\n", text.c_str());
    mapiLog("CMapiMessage::getAddress ->Out\n");
    return;
  }
  ULONG ulRows = 0;
  hr = lpTable->GetRowCount(0, &ulRows);
  if (FAILED(hr)) {
    std::string text = "CMapiMessage::getAddress GetRowCount failed ";
    getLastError(hr, text);
    fail(text);
  }
  if (ulRows == 0) {
    mapiLog("CMapiMessage::getAddress rowCount == 0\n");
    mapiLog("CMapiMessage::getAddress ->Out\n");
    return;
  }
  LPSRowSet lpRows = nullptr;
  hr = lpTable->QueryRows(static_cast<LONG>(ulRows), 0, &lpRows);
  if (FAILED(hr)) {
    std::string text = "CMapiMessage::getAddress QueryRows failed ";
    getLastError(hr, text);
    mapiLog("CMapiMessage::getAddress QueryRows failed %s\n", text.c_str());
    throw CMapiException(text);
  }
  if (!lpRows || lpRows->cRows == 0) {
    mapiLog("CMapiMessage::getAddress lpRows->cRows %d\n", 0);
    if (lpRows) FreeProws(lpRows);
    mapiLog("CMapiMessage::getAddress ->Out\n");
    return;
  }
  try {
    for (ULONG i = 0; i < lpRows->cRows; ++i) {
      const SRow& row = lpRows->aRow[i];
      if (row.cValues < 4 || !row.lpProps) continue;
      const SPropValue* v = row.lpProps;
      if (v[0].ulPropTag != PR_RECIPIENT_TYPE || static_cast<ULONG>(v[0].Value.l) != ulRecipientType) continue;
      if (PROP_TYPE(v[1].ulPropTag) == PT_ERROR || PROP_TYPE(v[2].ulPropTag) == PT_ERROR ||
          PROP_TYPE(v[3].ulPropTag) == PT_ERROR)
        continue;
      CMapiAddress address;
      address.m_strName = v[3].Value.lpszA ? reinterpret_cast<const char*>(v[3].Value.lpszA) : "";
      address.m_strAddress = normalizeAddress(v[1].Value.lpszA ? reinterpret_cast<const char*>(v[1].Value.lpszA) : "");
      list.push_back(address.format());
    }
  } catch (...) {
    FreeProws(lpRows);
    throw;
  }
  FreeProws(lpRows);
  mapiLog("CMapiMessage::getAddress ->Out\n");
}

void CMapiMessage::getTo(CStringList& list) {
  if (!m_lpMessage) fail("CMapiMessage::getTo, m_lpMessage == NULL");
  mapiLog("CMapiMessage::getTo ->In\n");
  getAddress(list, MAPI_TO);
  mapiLog("CMapiMessage::getTo ->Out\n");
}

void CMapiMessage::getCC(CStringList& list) { getAddress(list, MAPI_CC); }
void CMapiMessage::getBCC(CStringList& list) { getAddress(list, MAPI_BCC); }

void CMapiMessage::getReplyTo(CStringList& list) {
  const char* const kFailed = "CMapiMessage::getReplyTo Unable to retrieve message reply to names, MAPI_E_NOT_FOUND ";
  if (!m_lpMessage) fail(kFailed);
  LPSPropValue lpProp = nullptr;
  HRESULT hr = getOneProp(PR_REPLY_RECIPIENT_ENTRIES, &lpProp);
  if (SUCCEEDED(hr) && lpProp) {
    // A FLATENTRYLIST: count, size, then entries of a 32-bit size and the
    // identifier, each starting on a 4-byte boundary. Every size is checked
    // against the value's end before it is used.
    const BYTE* data = lpProp->Value.bin.lpb;
    size_t size = lpProp->Value.bin.cb;
    bool wellFormed = data && size >= 8;
    if (wellFormed) {
      ULONG count = 0;
      memcpy(&count, data, 4);
      size_t offset = 8;
      for (ULONG i = 0; i < count; ++i) {
        if (offset + 4 > size) {
          wellFormed = false;
          break;
        }
        ULONG cb = 0;
        memcpy(&cb, data + offset, 4);
        if (cb > size - offset - 4) {
          wellFormed = false;
          break;
        }
        std::string smtp;
        try {
          smtp = session() ? session()->getSMTPAddress(cb, const_cast<LPBYTE>(data + offset + 4)) : std::string();
        } catch (...) {
          MAPIFreeBuffer(lpProp);
          throw;
        }
        std::string u = upper(smtp);
        size_t p = u.find("SMTP:");
        list.push_back(p != std::string::npos ? u.substr(p + 5) : u);
        offset += (4 + static_cast<size_t>(cb) + 3) & ~static_cast<size_t>(3);
      }
    }
    MAPIFreeBuffer(lpProp);
    if (!wellFormed) fail("CMapiMessage::getReplyTo, the reply recipient entries are damaged");
    return;
  }
  MAPIFreeBuffer(lpProp);
  if (hr != MAPI_E_NOT_FOUND) fail(kFailed);

  // No reply recipients: the sender answers for them.
  const char* const kFallback = "CMapiMessage::getReplyTo, Unable to retrieve message reply to names ";
  CMapiAddress address;
  std::string name;
  hr = readString(PR_SENDER_NAME_A, name);
  if (FAILED(hr)) {
    std::string text = kFallback;
    getLastError(hr, text);
    fail(text);
  }
  address.m_strName = escapeName(name);
  std::string email;
  hr = readString(PR_SENDER_EMAIL_ADDRESS_A, email);
  if (SUCCEEDED(hr)) {
    address.m_strAddress = normalizeAddress(email);
  } else if (hr != MAPI_E_NOT_FOUND) {
    std::string text = kFallback;
    getLastError(hr, text);
    fail(text);
  }
  list.push_back(address.format());
}
