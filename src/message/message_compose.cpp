// CMapiMessage: composition and sending of a message that a transport
// created in its Outbox.
#include "message/mapimessage.h"

#include "folder/mapifolder.h"
#include "session/mapitransport.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/fieldsyntax.h"
#include "support/maplog.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdlib>
#include <cstring>
#include <vector>

const GUID kPsInternetHeaders = {0x00020386, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// The display name stored with a new address: the name when given; else an
// address without "@" (a name to resolve) stands for itself; else nothing.
std::string displayNameFor(const std::string& name, const std::string& address) {
  if (!name.empty()) return name;
  if (address.find('@') == std::string::npos) return address;
  return "";
}

LPSTR text(const std::string& s) { return const_cast<LPSTR>(s.c_str()); }

}  // namespace

CMapiSession* CMapiMessage::transport() {
  return m_pFolder ? static_cast<CMapiSession*>(m_pFolder->m_pTransport) : nullptr;
}

void CMapiMessage::setOneProp(ULONG ulPropTag, const SPropValue& value, const char* prefix) {
  forgetEnvelope();  // what is written here is read anew
  HRESULT hr = 0;
  if (m_lpMessage) {
    SPropValue v = value;
    v.ulPropTag = ulPropTag;
    hr = m_lpMessage->SetProps(1, &v, nullptr);
    if (SUCCEEDED(hr)) return;
  }
  std::string message = prefix;
  getLastError(hr, message);
  fail(message);
}

void CMapiMessage::setSubject(std::string subject) {
  if (subject.empty()) return;
  SPropValue v{};
  v.Value.lpszA = text(subject);
  setOneProp(PR_SUBJECT_A, v, "CMapiMessage::setSubject failed ");
}

void CMapiMessage::setPlainTextBody(std::string body) {
  if (body.empty()) return;
  SPropValue v{};
  v.Value.lpszA = text(body);
  setOneProp(PR_BODY_A, v, "CMapiMessage::setPlainTextBody failed ");
}

void CMapiMessage::setHTMLBody(std::string body) {
  if (body.empty()) return;
  SPropValue v{};
  v.Value.lpszA = text(body);
  setOneProp(PR_BODY_HTML_A, v, "CMapiMessage::setHTMLBody failed ");
}

void CMapiMessage::setPriority(LONG priority) {
  SPropValue v{};
  v.Value.l = priority;
  setOneProp(PR_PRIORITY, v, "CMapiMessage::setPriority failed ");
}

void CMapiMessage::addRecipient(std::string name, std::string address, ULONG ulRecipientType) {
  if (name.empty() && address.empty()) return;
  std::string display = displayNameFor(name, address);

  // One entry of four values; ResolveName may replace the entry's value
  // array with one of its own, which FreePadrlist releases as well.
  LPADRLIST lpList = nullptr;
  if (FAILED(MAPIAllocateBuffer(CbNewADRLIST(1), reinterpret_cast<LPVOID*>(&lpList))) || !lpList) {
    std::string message = "addRecipeint failed ";
    getLastError(MAPI_E_NOT_ENOUGH_MEMORY, message);
    fail(message);
  }
  memset(lpList, 0, CbNewADRLIST(1));
  LPSPropValue lpProps = nullptr;
  if (FAILED(MAPIAllocateBuffer(4 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&lpProps))) || !lpProps) {
    MAPIFreeBuffer(lpList);
    std::string message = "addRecipeint failed ";
    getLastError(MAPI_E_NOT_ENOUGH_MEMORY, message);
    fail(message);
  }
  memset(lpProps, 0, 4 * sizeof(SPropValue));
  lpProps[0].ulPropTag = PR_ADDRTYPE_A;
  lpProps[0].Value.lpszA = const_cast<LPSTR>("SMTP");
  lpProps[1].ulPropTag = PR_DISPLAY_NAME_A;
  lpProps[1].Value.lpszA = text(display);
  lpProps[2].ulPropTag = PR_EMAIL_ADDRESS_A;
  lpProps[2].Value.lpszA = text(address);
  lpProps[3].ulPropTag = PR_RECIPIENT_TYPE;
  lpProps[3].Value.l = static_cast<LONG>(ulRecipientType);
  lpList->cEntries = 1;
  lpList->aEntries[0].ulReserved1 = 0;
  lpList->aEntries[0].cValues = 4;
  lpList->aEntries[0].rgPropVals = lpProps;

  try {
    // A name without "@" is looked up in the address book; an entry that
    // does not resolve goes on as built. A received message has no
    // transport to resolve through.
    if (address.find('@') == std::string::npos) {
      if (CMapiSession* pTransport = transport()) pTransport->resolveAddress(lpList);
    }
  } catch (...) {
    FreePadrlist(lpList);
    throw;
  }

  if (!m_lpMessage) {
    FreePadrlist(lpList);
    return;
  }
  HRESULT hr = m_lpMessage->ModifyRecipients(MODRECIP_ADD, lpList);
  FreePadrlist(lpList);
  if (FAILED(hr)) {
    std::string message = "addRecipeint failed ";
    getLastError(hr, message);
    fail(message);
  }
}

void CMapiMessage::addFrom(std::string name, std::string address) {
  forgetEnvelope();  // what is written here is read anew
  if (name.empty() && address.empty()) return;
  std::string display = displayNameFor(name, address);
  HRESULT hr = 0;
  if (m_lpMessage) {
    SPropValue props[3];
    memset(props, 0, sizeof props);
    props[0].ulPropTag = PR_SENDER_ADDRTYPE_A;
    props[0].Value.lpszA = const_cast<LPSTR>("SMTP");
    props[1].ulPropTag = PR_SENDER_NAME_A;
    props[1].Value.lpszA = text(display);
    props[2].ulPropTag = PR_SENDER_EMAIL_ADDRESS_A;
    props[2].Value.lpszA = text(address);
    hr = m_lpMessage->SetProps(3, props, nullptr);
    if (SUCCEEDED(hr)) return;
  }
  std::string message = "CMapiMessage::addFrom failed ";
  getLastError(hr, message);
  fail(message);
}

void CMapiMessage::setXHeader(std::string name, std::string value) {
  forgetEnvelope();  // what is written here is read anew
  // Nothing to name the header on: the operation reports nothing.
  if (!m_lpMessage) return;
  // What would break the header block or stand in for the message's own
  // fields is not passed on (the operation still reports nothing); the
  // value stays on one line. In-Reply-To and References go where replies
  // keep their thread.
  if (!fieldsyntax::isFieldName(name)) {
    mapiLog("CMapiMessage::setXHeader: a name that is not a header field name was ignored\n");
    return;
  }
  value = fieldsyntax::oneLineValue(value);
  if (fieldsyntax::isReservedField(name)) {
    const std::string field = fieldsyntax::lowerAscii(name);
    ULONG tag = field == "in-reply-to" ? PR_IN_REPLY_TO_ID_A : field == "references" ? PR_INTERNET_REFERENCES_A : 0;
    if (!tag) {
      mapiLog("CMapiMessage::setXHeader: the header %s is made from the message's own values; ignored\n",
              name.c_str());
      return;
    }
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = text(value);
    HrSetOneProp(m_lpMessage, &v);
    return;
  }
  size_t cch = mbstowcs(nullptr, name.c_str(), 0);
  if (cch == static_cast<size_t>(-1)) return;  // not text in the code page
  std::vector<wchar_t> wide(cch + 1, L'\0');
  mbstowcs(wide.data(), name.c_str(), cch + 1);

  MAPINAMEID nameId;
  memset(&nameId, 0, sizeof nameId);
  nameId.lpguid = const_cast<LPGUID>(&kPsInternetHeaders);
  nameId.ulKind = MNID_STRING;
  nameId.Kind.lpwstrName = wide.data();
  LPMAPINAMEID lpNameId = &nameId;
  LPSPropTagArray lpTags = nullptr;
  HRESULT hr = m_lpMessage->GetIDsFromNames(1, &lpNameId, MAPI_CREATE, &lpTags);
  if (hr == S_OK && lpTags) {
    if (lpTags->cValues >= 1 && PROP_TYPE(lpTags->aulPropTag[0]) != PT_ERROR) {
      SPropValue v{};
      v.ulPropTag = PROP_TAG(PT_STRING8, PROP_ID(lpTags->aulPropTag[0]));
      v.Value.lpszA = text(value);
      HrSetOneProp(m_lpMessage, &v);
    }
  }
  if (lpTags) MAPIFreeBuffer(lpTags);
}

void CMapiMessage::send() {
  HRESULT hr = 0;
  if (m_lpMessage) {
    hr = m_lpMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (SUCCEEDED(hr)) {
      hr = m_lpMessage->SubmitMessage(0);
      if (SUCCEEDED(hr)) return;
    }
  }
  std::string message = "CMapiMessage::send failed ";
  getLastError(hr, message);
  fail(message);
}

void CMapiMessage::setReplyTo(std::string name, std::string address) {
  forgetEnvelope();  // what is written here is read anew
  if (name.empty() && address.empty()) return;
  const char* const kPrefix = "CMapiMessage::setReplyTo failed ";
  auto raise = [&](HRESULT hr) {
    std::string message = kPrefix;
    getLastError(hr, message);
    fail(message);
  };
  if (!m_lpMessage) raise(0);
  // A received message has no transport, hence no address book to make the
  // entry with.
  CMapiSession* pTransport = transport();
  if (!pTransport) {
    std::string message = std::string(kPrefix) + "the message was not created by a transport";
    fail(message);
  }
  LPADRBOOK lpAddrBook = pTransport->addressBook("CMapiMessage::setReplyTo : %s\n");

  ULONG cb = 0;
  LPENTRYID lpEntryID = nullptr;
  HRESULT hr = lpAddrBook->CreateOneOff(reinterpret_cast<LPTSTR>(text(name)), reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")),
                                        reinterpret_cast<LPTSTR>(text(address)), MAPI_SEND_NO_RICH_INFO, &cb,
                                        &lpEntryID);
  if (FAILED(hr) || !lpEntryID) {
    std::string book = mapiErrorText(lpAddrBook, hr);
    if (book.empty()) raise(FAILED(hr) ? hr : MAPI_E_CALL_FAILED);
    fail(std::string(kPrefix) + book);
  }

  // One FLATENTRY: its size, then the identifier.
  LPBYTE lpEntry = nullptr;
  hr = MAPIAllocateBuffer(cb + 4, reinterpret_cast<LPVOID*>(&lpEntry));
  if (FAILED(hr) || !lpEntry) {
    MAPIFreeBuffer(lpEntryID);
    raise(FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_MEMORY);
  }
  memcpy(lpEntry, &cb, 4);
  memcpy(lpEntry + 4, lpEntryID, cb);

  // The FLATENTRYLIST: count 1, the entries' byte size, then the entry.
  LPBYTE lpList = nullptr;
  hr = MAPIAllocateBuffer(cb + 12, reinterpret_cast<LPVOID*>(&lpList));
  if (FAILED(hr) || !lpList) {
    MAPIFreeBuffer(lpEntry);
    MAPIFreeBuffer(lpEntryID);
    raise(FAILED(hr) ? hr : MAPI_E_NOT_ENOUGH_MEMORY);
  }
  const ULONG count = 1;
  const ULONG entriesSize = cb + 4;
  memcpy(lpList, &count, 4);
  memcpy(lpList + 4, &entriesSize, 4);
  memcpy(lpList + 8, lpEntry, cb + 4);

  SPropValue props[2];
  memset(props, 0, sizeof props);
  props[0].ulPropTag = PR_REPLY_RECIPIENT_NAMES_A;
  props[0].Value.lpszA = text(name);
  props[1].ulPropTag = PR_REPLY_RECIPIENT_ENTRIES;
  props[1].Value.bin.cb = cb + 12;
  props[1].Value.bin.lpb = lpList;
  hr = m_lpMessage->SetProps(2, props, nullptr);
  MAPIFreeBuffer(lpList);
  MAPIFreeBuffer(lpEntry);
  MAPIFreeBuffer(lpEntryID);
  if (FAILED(hr)) raise(hr);
}
