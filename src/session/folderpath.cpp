#include "session/folderpath.h"

#include "platform/platform.h"
#include "session/mapisession.h"
#include "support/maplog.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>

namespace {

bool isSeparator(char c, const char* seps) { return c != '\0' && strchr(seps, c) != nullptr; }

// The length of the character at p: 2 for a lead byte followed by a trail
// byte, else 1.
size_t charLength(const char* p) {
  return (platform::isDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') ? 2 : 1;
}

}  // namespace

HRESULT HrSplitPath(const char* lpszPath, const char* lpszSeps, ULONG* lpcTokens, char*** lpppszTokens) {
  if (!lpcTokens || !lpppszTokens) return E_INVALIDARG;
  *lpcTokens = 0;
  *lpppszTokens = nullptr;
  if (!lpszPath || !*lpszPath) return S_OK;
  if (!lpszSeps) lpszSeps = "";

  ULONG count = 0;
  bool inToken = false;
  for (const char* p = lpszPath; *p; p += charLength(p)) {
    if (isSeparator(*p, lpszSeps)) {
      inToken = false;
    } else if (!inToken) {
      inToken = true;
      ++count;
    }
  }

  size_t pathBytes = strlen(lpszPath) + 1;
  size_t arrayBytes = (static_cast<size_t>(count) + 1) * sizeof(char*);
  LPVOID buffer = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(arrayBytes + pathBytes), &buffer)) || !buffer)
    return E_OUTOFMEMORY;
  char** tokens = static_cast<char**>(buffer);
  char* copy = static_cast<char*>(buffer) + arrayBytes;
  memcpy(copy, lpszPath, pathBytes);

  ULONG recorded = 0;
  inToken = false;
  for (char* p = copy; *p;) {
    size_t len = charLength(p);
    if (isSeparator(*p, lpszSeps)) {
      *p = '\0';
      inToken = false;
    } else if (!inToken) {
      inToken = true;
      if (recorded < count) tokens[recorded] = p;
      ++recorded;
    }
    p += len;
  }
  if (recorded != count) {
    MAPIFreeBuffer(buffer);
    return E_FAIL;
  }
  tokens[count] = nullptr;
  *lpcTokens = count;
  *lpppszTokens = tokens;
  return S_OK;
}

HRESULT HrLocateChildFolder(LPMAPIFOLDER lpFolder, const char* lpszName, ULONG* lpcbEntryID,
                            LPENTRYID* lppEntryID) {
  if (!lpcbEntryID || !lppEntryID) return E_INVALIDARG;
  *lpcbEntryID = 0;
  *lppEntryID = nullptr;
  if (!lpFolder || !lpszName) return E_INVALIDARG;

  LPMAPITABLE lpTable = nullptr;
  HRESULT hr = lpFolder->GetHierarchyTable(MAPI_DEFERRED_ERRORS, &lpTable);
  if (FAILED(hr) || !lpTable) return E_FAIL;

  SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_A, PR_ENTRYID}};
  LPSRowSet lpRows = nullptr;
  hr = HrQueryAllRows(lpTable, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &lpRows);
  if (FAILED(hr)) {
    lpTable->Release();
    return hr == MAPI_E_NOT_FOUND ? MAPI_E_NOT_FOUND : E_FAIL;
  }

  hr = MAPI_E_NOT_FOUND;
  for (ULONG i = 0; lpRows && i < lpRows->cRows; ++i) {
    const SRow& row = lpRows->aRow[i];
    if (row.cValues < 2 || !row.lpProps) continue;
    if (row.lpProps[0].ulPropTag != PR_DISPLAY_NAME_A || row.lpProps[1].ulPropTag != PR_ENTRYID) continue;
    const char* name = reinterpret_cast<const char*>(row.lpProps[0].Value.lpszA);
    if (!name || platform::compareNoCase(name, lpszName) != 0) continue;
    const SBinary& bin = row.lpProps[1].Value.bin;
    LPVOID copy = nullptr;
    if (FAILED(MAPIAllocateBuffer(bin.cb, &copy)) || (!copy && bin.cb)) {
      hr = E_OUTOFMEMORY;
      break;
    }
    if (bin.cb) memcpy(copy, bin.lpb, bin.cb);
    *lpcbEntryID = bin.cb;
    *lppEntryID = static_cast<LPENTRYID>(copy);
    hr = S_OK;
    break;
  }
  if (lpRows) FreeProws(lpRows);
  lpTable->Release();
  return hr;
}

HRESULT HrLocateSubfolderPath(LPMAPIFOLDER lpFolder, char chSep, const char* lpszPath, ULONG* lpcbEntryID,
                              LPENTRYID* lppEntryID) {
  if (!lpcbEntryID || !lppEntryID) return E_INVALIDARG;
  *lpcbEntryID = 0;
  *lppEntryID = nullptr;

  char seps[2] = {chSep, '\0'};
  ULONG cTokens = 0;
  char** tokens = nullptr;
  HRESULT hr = HrSplitPath(lpszPath, seps, &cTokens, &tokens);
  if (FAILED(hr)) return hr;

  LPMAPIFOLDER current = lpFolder;
  ULONG cbFound = 0;
  LPENTRYID lpFound = nullptr;
  for (ULONG i = 0; i < cTokens; ++i) {
    if (lpFound) {
      MAPIFreeBuffer(lpFound);
      lpFound = nullptr;
      cbFound = 0;
    }
    hr = HrLocateChildFolder(current, tokens[i], &cbFound, &lpFound);
    if (FAILED(hr)) break;
    if (i + 1 < cTokens) {
      ULONG ulObjType = 0;
      LPMAPIFOLDER child = nullptr;
      HRESULT hrOpen = current->OpenEntry(cbFound, lpFound, nullptr, MAPI_DEFERRED_ERRORS, &ulObjType,
                                          reinterpret_cast<LPUNKNOWN*>(&child));
      if (FAILED(hrOpen) || !child || ulObjType != MAPI_FOLDER) {
        if (child) child->Release();
        MAPIFreeBuffer(lpFound);
        lpFound = nullptr;
        cbFound = 0;
        hr = E_FAIL;
        break;
      }
      if (current != lpFolder) current->Release();
      current = child;
    }
  }
  if (current != lpFolder) current->Release();
  if (tokens) MAPIFreeBuffer(tokens);
  if (FAILED(hr)) {
    if (lpFound) MAPIFreeBuffer(lpFound);
    return hr;
  }
  if (!lpFound) return MAPI_E_NOT_FOUND;  // a path of separators names no folder
  *lpcbEntryID = cbFound;
  *lppEntryID = lpFound;
  return S_OK;
}

HRESULT HrLocateFolderByPath(LPMDB lpMDB, char chSep, const char* lpszPath, ULONG* lpcbEntryID,
                             LPENTRYID* lppEntryID) {
  if (!lpcbEntryID || !lppEntryID) return E_INVALIDARG;
  *lpcbEntryID = 0;
  *lppEntryID = nullptr;
  if (!lpMDB) return E_FAIL;
  if (!lpszPath) lpszPath = "";
  while (*lpszPath && *lpszPath == chSep) ++lpszPath;

  ULONG ulObjType = 0;
  LPMAPIFOLDER lpRoot = nullptr;
  HRESULT hr = lpMDB->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS | MAPI_DEFERRED_ERRORS, &ulObjType,
                                reinterpret_cast<LPUNKNOWN*>(&lpRoot));
  if (FAILED(hr)) return hr;
  if (!lpRoot || ulObjType != MAPI_FOLDER) {
    if (lpRoot) lpRoot->Release();
    return E_FAIL;
  }
  hr = HrLocateSubfolderPath(lpRoot, chSep, lpszPath, lpcbEntryID, lppEntryID);
  lpRoot->Release();
  return hr;
}

void CMapiSession::getSentFolder(std::string path, LPENTRYID* lppEntryID, ULONG* lpcbEntryID) {
  *lppEntryID = nullptr;
  *lpcbEntryID = 0;
  if (!m_lpMsgStore || path.empty()) return;
  std::string full = "\\Top of Information Store\\" + path;
  // A path of separators alone names no folder (it would name the top
  // folder itself, where sent mail does not belong).
  HRESULT hr = path.find_first_not_of('\\') == std::string::npos
                   ? MAPI_E_NOT_FOUND
                   : HrLocateFolderByPath(m_lpMsgStore, '\\', full.c_str(), lpcbEntryID, lppEntryID);
  if (FAILED(hr)) {
    if (*lppEntryID) MAPIFreeBuffer(*lppEntryID);
    *lppEntryID = nullptr;
    *lpcbEntryID = 0;
    mapiLog("CMapiSession::getSentFolder failed %d\n", static_cast<int>(platform::lastError()));
  }
}
