// Address resolution through the profile's address book.
#include "session/mapisession.h"

#include "platform/platform.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/maplog.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The address-book provider of Exchange: entry identifiers built from a
// distinguished name carry this provider UID.
const BYTE kExchangeAbProvider[16] = {0xDC, 0xA7, 0x40, 0xC8, 0xC0, 0x42, 0x10, 0x1A,
                                      0xB4, 0xB9, 0x08, 0x00, 0x2B, 0x2F, 0xE1, 0x82};

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
  return text;
}

// The first proxy value holding "SMTP:" exactly, else the first holding it
// in any letter case; returned as stored.
std::string chooseSmtpProxy(const SPropValue* value) {
  const SLPSTRArray& values = value->Value.MVszA;
  for (ULONG i = 0; i < values.cValues; ++i)
    if (values.lppszA[i] && strstr(reinterpret_cast<const char*>(values.lppszA[i]), "SMTP:")) return reinterpret_cast<const char*>(values.lppszA[i]);
  for (ULONG i = 0; i < values.cValues; ++i)
    if (values.lppszA[i] && upper(reinterpret_cast<const char*>(values.lppszA[i])).find("SMTP:") != std::string::npos)
      return reinterpret_cast<const char*>(values.lppszA[i]);
  return "";
}

}  // namespace

void CMapiSession::openAddressBook(const char* logFormat) {
  if (m_lpAddrBook) return;
  if (!m_lpSession) throw CMapiException("The session is not logged on: no address book");
  HRESULT hr = m_lpSession->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &m_lpAddrBook);
  if (SUCCEEDED(hr) && m_lpAddrBook) return;
  m_lpAddrBook = nullptr;
  std::string text = mapiErrorText(m_lpSession, hr);
  mapiLog(logFormat, text.c_str());
  throw CMapiException(text);
}

std::string CMapiSession::getSMTPAddress(ULONG cbEntryID, LPBYTE lpEntryID) {
  openAddressBook("%s\n");
  ULONG ulObjType = 0;
  LPUNKNOWN lpUnknown = nullptr;
  HRESULT hr = m_lpAddrBook->OpenEntry(cbEntryID, reinterpret_cast<LPENTRYID>(lpEntryID), nullptr, MAPI_BEST_ACCESS,
                                       &ulObjType, &lpUnknown);
  if (FAILED(hr) || !lpUnknown) return "";
  // OpenEntry hands out the entry's IMailUser, itself an IMAPIProp.
  LPMAPIPROP lpEntry = reinterpret_cast<LPMAPIPROP>(lpUnknown);
  std::string result;
  LPSPropValue lpProxies = nullptr;
  hr = HrGetOneProp(lpEntry, PR_EMS_AB_PROXY_ADDRESSES, &lpProxies);
  if (FAILED(hr)) {
    mapiLog("CMapiSession::getSMTPAddress: HrGetOneProp PR_EMS_AB_PROXY_ADDRESSES %d\n",
            static_cast<int>(platform::lastError()));
  } else {
    result = chooseSmtpProxy(lpProxies);
  }
  MAPIFreeBuffer(lpProxies);
  lpUnknown->Release();
  return result;
}

std::string CMapiSession::getSMTPAddress(std::string distinguishedName) {
  openAddressBook("%s\n");
  // The Exchange address-book entry identifier: flags, provider UID,
  // version 1, type 0, the name with its terminator, one spare zero byte.
  ULONG cb = static_cast<ULONG>(distinguishedName.size() + 30);
  LPBYTE lpEntryID = nullptr;
  if (FAILED(MAPIAllocateBuffer(cb, reinterpret_cast<LPVOID*>(&lpEntryID)))) return "";
  memset(lpEntryID, 0, cb);
  memcpy(lpEntryID + 4, kExchangeAbProvider, sizeof kExchangeAbProvider);
  lpEntryID[20] = 1;
  memcpy(lpEntryID + 28, distinguishedName.c_str(), distinguishedName.size());

  std::string result;
  ULONG ulObjType = 0;
  LPUNKNOWN lpUnknown = nullptr;
  HRESULT hr = m_lpAddrBook->OpenEntry(cb, reinterpret_cast<LPENTRYID>(lpEntryID),
                                       const_cast<LPIID>(&IID_IMailUser), MAPI_BEST_ACCESS, &ulObjType, &lpUnknown);
  if (SUCCEEDED(hr) && lpUnknown) {
    LPSPropValue lpProxies = nullptr;
    if (SUCCEEDED(HrGetOneProp(reinterpret_cast<LPMAPIPROP>(lpUnknown),
                               PR_EMS_AB_PROXY_ADDRESSES, &lpProxies)))
      result = chooseSmtpProxy(lpProxies);
    MAPIFreeBuffer(lpProxies);
  }
  if (lpUnknown) lpUnknown->Release();
  MAPIFreeBuffer(lpEntryID);
  return result;
}

LPADRBOOK CMapiSession::addressBook(const char* logFormat) {
  openAddressBook(logFormat);
  return m_lpAddrBook;
}

HRESULT CMapiSession::resolveAddress(LPADRLIST lpAdrList) {
  openAddressBook("CMapiSession::resolveAddress : %s\n");
  return m_lpAddrBook->ResolveName(0, 0, nullptr, lpAdrList);
}
