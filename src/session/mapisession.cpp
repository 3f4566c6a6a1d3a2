#include "session/mapisession.h"

#include "platform/platform.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>
#include <cstring>

bool g_bMapiInitialized = false;
DWORD g_dwInitError = 0;

namespace {

// MAPI runs as a service: no dialogs, no per-user message loop.
MAPIINIT_0 g_mapiInit = {MAPI_INIT_VERSION, MAPI_NT_SERVICE};

// The system's text for an error code, or `fallback` when the code is 0 or
// the system has no text for it (a text saying "success" would hide what
// failed).
std::string systemErrorText(DWORD code, const char* fallback) {
  std::string text;
  if (code == 0 || !platform::errorText(code, text) || text.empty()) text = fallback;
  return text;
}

std::string hexResult(const char* prefix, HRESULT hr) {
  char buf[96];
  snprintf(buf, sizeof buf, "%s0x%08X", prefix, static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

HRESULT HrMAPIFindDefaultMsgStore(LPMAPISESSION lpSession, ULONG* lpcbEntryID, LPENTRYID* lppEntryID) {
  *lpcbEntryID = 0;
  *lppEntryID = nullptr;

  LPMAPITABLE lpTable = nullptr;
  LPSRowSet lpRows = nullptr;
  HRESULT hr = lpSession->GetMsgStoresTable(0, &lpTable);
  ULONG ulRows = 0;
  if (SUCCEEDED(hr)) hr = lpTable->GetRowCount(0, &ulRows);
  if (SUCCEEDED(hr)) {
    SizedSPropTagArray(2, columns) = {2, {PR_DEFAULT_STORE, PR_ENTRYID}};
    hr = lpTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  }
  if (SUCCEEDED(hr)) hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
  if (SUCCEEDED(hr)) hr = lpTable->QueryRows(static_cast<LONG>(ulRows), 0, &lpRows);

  if (SUCCEEDED(hr)) {
    hr = E_FAIL;  // until a row wins
    for (ULONG i = 0; lpRows && i < lpRows->cRows; ++i) {
      const SRow& row = lpRows->aRow[i];
      // A row must carry both requested columns with their real types; an
      // error value in either (a column the row lacks) never wins.
      if (row.cValues < 2 || !row.lpProps) continue;
      if (row.lpProps[0].ulPropTag != PR_DEFAULT_STORE || row.lpProps[0].Value.b != 1) continue;
      if (row.lpProps[1].ulPropTag != PR_ENTRYID) continue;
      const SBinary& bin = row.lpProps[1].Value.bin;
      if (bin.cb == 0 || !bin.lpb) continue;
      LPENTRYID lpCopy = nullptr;
      hr = MAPIAllocateBuffer(bin.cb, reinterpret_cast<LPVOID*>(&lpCopy));
      if (SUCCEEDED(hr)) {
        memcpy(lpCopy, bin.lpb, bin.cb);
        *lpcbEntryID = bin.cb;
        *lppEntryID = lpCopy;
      }
      break;
    }
  }

  if (lpRows) FreeProws(lpRows);
  if (lpTable) lpTable->Release();
  return hr;
}

CMapiSession::CMapiSession()
    : m_lpSession(nullptr), m_lpMsgStore(nullptr), m_lpStoreEntryID(nullptr), m_cbStoreEntryID(0),
      m_lpAddrBook(nullptr) {}

CMapiSession::~CMapiSession() {
  mapiLog("CMapiSession::~CMapiSession\n");
  close();
}

void CMapiSession::initMapi() {
  mapiLog("CMapiSession::initMapi\n");
  if (g_bMapiInitialized) return;
  HRESULT hr = MAPIInitialize(&g_mapiInit);
  if (FAILED(hr)) {
    g_dwInitError = platform::lastError();
    mapiLog("CMapiSession::initMapi failed:  %d", static_cast<int>(g_dwInitError));
    return;
  }
  g_bMapiInitialized = true;
}

void CMapiSession::logoffSession() {
  if (!m_lpSession) return;
  m_lpSession->Logoff(0, 0, 0);
  m_lpSession->Release();
  m_lpSession = nullptr;
}

void CMapiSession::initialize() {
  if (!g_bMapiInitialized) {
    std::string text = systemErrorText(g_dwInitError, "MAPI could not be started");
    mapiLog("CMapiSession::initialize: not initialized : %s \n", text.c_str());
    throw CMapiException(text);
  }

  mapiLog("CMapiSession::initialize %s\n", m_strProfile.c_str());

  // The password is never passed on: the profile alone names the logon.
  HRESULT hr = MAPILogonEx(0, const_cast<LPTSTR>(m_strProfile.c_str()), nullptr,
                           MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &m_lpSession);
  if (FAILED(hr)) {
    m_lpSession = nullptr;
    mapiLog("CMapiSession::initialize MAPILogonEx failed %d\n", static_cast<int>(platform::lastError()));
    throw CMapiException("MAPILogonEx Failed - Unable to login to MAPI");
  }

  // Only errors raised by the lookup itself should explain its failure.
  platform::setLastError(0);
  hr = HrMAPIFindDefaultMsgStore(m_lpSession, &m_cbStoreEntryID, &m_lpStoreEntryID);
  if (FAILED(hr)) {
    DWORD code = platform::lastError();
    std::string text = systemErrorText(code, hexResult("No default message store found in the profile: ", hr).c_str());
    if (m_lpStoreEntryID) {
      MAPIFreeBuffer(m_lpStoreEntryID);
      m_lpStoreEntryID = nullptr;
    }
    m_cbStoreEntryID = 0;
    logoffSession();
    mapiLog("CMapiSession::initialize HrMAPIFindDefaultMsgStore failed: %s", text.c_str());
    throw CMapiException(text);
  }

  hr = m_lpSession->OpenMsgStore(0, m_cbStoreEntryID, m_lpStoreEntryID, nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS,
                                 &m_lpMsgStore);
  if (SUCCEEDED(hr)) {
    MAPIFreeBuffer(m_lpStoreEntryID);
    m_lpStoreEntryID = nullptr;
    return;
  }

  m_lpMsgStore = nullptr;
  std::string message;
  LPMAPIERROR lpError = nullptr;
  if (m_lpSession->GetLastError(hr, 0, &lpError) == S_OK && lpError) {
    message = lpError->lpszError ? reinterpret_cast<const char*>(lpError->lpszError) : "";
    MAPIFreeBuffer(lpError);
  } else {
    message = hexResult("MAPI Logon Failure : ", hr);
  }
  MAPIFreeBuffer(m_lpStoreEntryID);
  m_lpStoreEntryID = nullptr;
  m_cbStoreEntryID = 0;
  logoffSession();
  mapiLog("CMapiSession::initialize failed %s\n", message.c_str());
  throw CMapiException(message);
}

void CMapiSession::close() {
  if (m_lpAddrBook) {
    m_lpAddrBook->Release();
    m_lpAddrBook = nullptr;
  }
  if (m_lpStoreEntryID) {
    MAPIFreeBuffer(m_lpStoreEntryID);
    m_lpStoreEntryID = nullptr;
  }
  if (m_lpMsgStore) {
    m_lpMsgStore->Release();
    m_lpMsgStore = nullptr;
  }
  if (m_lpSession) {
    logoffSession();
    mapiLog("CMapiSession::close logging off session m_lpSession\n");
  }
}
