#include "folder/mapifolder.h"

#include "message/attachedmessage.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/mapierror.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <algorithm>
#include <cstring>

namespace {

const char* const kStoreClosed = "The store of this folder is closed";

}  // namespace

CMapiFolder::CMapiFolder()
    : m_lpFolder(nullptr), m_lpEntryID(nullptr), m_cbEntryID(0), m_pStore(nullptr), m_pTransport(nullptr),
      m_lpContents(nullptr), m_lpRows(nullptr), m_bOpen(false), m_pOwningStore(nullptr), m_bStoreClosed(false) {
  liveobjects::enter(this, liveobjects::Kind::Folder);
}

CMapiFolder::~CMapiFolder() {
  liveobjects::leave(this);
  if (m_pOwningStore) m_pOwningStore->forgetFolder(this);
  // A destructor must not throw: what cannot be released now stays.
  try {
    mapiLog("CMapiFolder::~CMapiFolder\n");
    Close(true);
  } catch (...) {
  }
}

std::string CMapiFolder::folderErrorText(HRESULT hr) { return mapiErrorText(m_lpFolder, hr); }

void CMapiFolder::open(ULONG ulFlags) {
  mapiLog("CMapiFolder::open ulFlags:%d\n", static_cast<int>(ulFlags));
  if (m_bStoreClosed) throw CMapiException(kStoreClosed);
  HRESULT hr = MAPI_E_INVALID_OBJECT;
  if (m_pStore && m_pStore->m_lpMsgStore) {
    ULONG ulObjType = 0;
    hr = m_pStore->m_lpMsgStore->OpenEntry(m_cbEntryID, m_lpEntryID, nullptr, MAPI_MODIFY, &ulObjType,
                                           reinterpret_cast<LPUNKNOWN*>(&m_lpFolder));
    if (SUCCEEDED(hr) && m_lpFolder) {
      m_bOpen = true;
      return;
    }
    m_lpFolder = nullptr;
  }
  std::string message = "CMapiFolder::open: failed: ";
  mapiLog("%s\n", message.c_str());
  if (m_pStore && m_pStore->m_lpMsgStore) {
    message += mapiErrorText(m_pStore->m_lpMsgStore, hr);
    mapiLog("%s\n", message.c_str());
  }
  throw CMapiException(message);
}

LPSRowSet CMapiFolder::readRows(ULONG& count) {
  count = 0;
  LPMAPITABLE table = nullptr;
  HRESULT hr = m_lpFolder->GetContentsTable(0, &table);
  if (FAILED(hr) || !table) {
    mapiLog("MapiFolder::createMessageList:: m_lpFolder->GetContentsTable failed: %s\n", folderErrorText(hr).c_str());
    return nullptr;
  }
  // The entry identifier comes first: the rows' identifiers are what the
  // messages open by. The read state comes along for a reader that shows it.
  SizedSPropTagArray(2, columns) = {m_bKeepReadState ? 2u : 1u, {PR_ENTRYID, PR_MESSAGE_FLAGS}};
  LPSRowSet rows = nullptr;
  if (SUCCEEDED(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) {
    hr = table->GetRowCount(0, &count);
    if (FAILED(hr)) {
      mapiLog("MapiFolder::createMessageList:: m_lpContents->GetRowCount failed: %s\n",
              mapiErrorText(table, hr).c_str());
    } else if (count > 0) {
      hr = table->QueryRows(static_cast<LONG>(count), 0, &rows);
      if (FAILED(hr)) {
        rows = nullptr;
        mapiLog("MapiFolder::createMessageList:: m_lpContents->QueryRows failed: %s\n",
                mapiErrorText(table, hr).c_str());
      }
    }
  }
  if (m_lpContents) m_lpContents->Release();
  m_lpContents = table;
  return rows;
}

void CMapiFolder::createMessageList() {
  if (!m_lpFolder) return;
  freeRows();
  m_lpRows = readRows(m_tableRows);
  if (!m_lpRows) return;
  m_order.reserve(m_lpRows->cRows);
  for (ULONG i = 0; i < m_lpRows->cRows; ++i) m_order.push_back(&m_lpRows->aRow[i]);
}

void CMapiFolder::freeRows() {
  m_order.clear();
  for (LPSRowSet rows : m_moreRows) FreeProws(rows);
  m_moreRows.clear();
  if (m_lpRows) {
    FreeProws(m_lpRows);
    m_lpRows = nullptr;
  }
}

ULONG CMapiFolder::getMessageCount() {
  if (!m_lpRows) createMessageList();
  if (!m_lpRows) return 0;
  mapiLog("CMapiFolder::getMessageCount MsgCount %d\n", static_cast<int>(m_order.size()));
  return static_cast<ULONG>(m_order.size());
}

const SRow& CMapiFolder::rowAt(ULONG position) {
  if (m_bStoreClosed) throw CMapiException(kStoreClosed);
  if (!m_lpRows) createMessageList();
  if (position < 1 || position > m_order.size()) throw CMapiException("Index is out of range");
  return *m_order[position - 1];
}

bool CMapiFolder::wasRead(ULONG position) {
  const SRow& row = rowAt(position);
  if (row.cValues < 2 || !row.lpProps || row.lpProps[1].ulPropTag != PR_MESSAGE_FLAGS) return true;
  return (row.lpProps[1].Value.l & MSGFLAG_READ) != 0;
}

ULONG CMapiFolder::refresh() {
  if (m_bStoreClosed) throw CMapiException(kStoreClosed);
  if (!m_lpFolder) return 0;
  if (!m_lpRows) {
    createMessageList();
    return static_cast<ULONG>(m_order.size());
  }
  // A count that has not changed since the rows were last read means no new
  // mail, without reading every row again.
  LPMAPITABLE probe = nullptr;
  if (FAILED(m_lpFolder->GetContentsTable(0, &probe)) || !probe) return 0;
  ULONG count = 0;
  HRESULT hr = probe->GetRowCount(0, &count);
  probe->Release();
  if (FAILED(hr) || count == m_tableRows) return 0;
  LPSRowSet rows = readRows(count);
  if (!rows) return 0;
  m_tableRows = count;
  std::vector<std::string> known;
  known.reserve(m_order.size());
  for (const SRow* row : m_order) {
    if (row->cValues >= 1 && row->lpProps && row->lpProps[0].ulPropTag == PR_ENTRYID) {
      const SBinary& eid = row->lpProps[0].Value.bin;
      known.emplace_back(reinterpret_cast<const char*>(eid.lpb), eid.cb);
    }
  }
  std::sort(known.begin(), known.end());
  ULONG added = 0;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SRow& row = rows->aRow[i];
    if (row.cValues < 1 || !row.lpProps || row.lpProps[0].ulPropTag != PR_ENTRYID) continue;
    const SBinary& eid = row.lpProps[0].Value.bin;
    if (std::binary_search(known.begin(), known.end(),
                           std::string(reinterpret_cast<const char*>(eid.lpb), eid.cb)))
      continue;
    m_order.push_back(&row);
    ++added;
  }
  // The row set holds the new rows' identifiers, which their messages will
  // point into: kept with the snapshot when it added any.
  if (added > 0)
    m_moreRows.push_back(rows);
  else
    FreeProws(rows);
  return added;
}

std::vector<ULONG> CMapiFolder::expungeMarked() {
  if (m_bStoreClosed) throw CMapiException(kStoreClosed);
  std::vector<ULONG> removed;
  std::vector<CMapiMessage*> marked;
  for (CMapiMessage* message : m_messages)
    if (message->getDeleteFlag()) marked.push_back(message);
  for (CMapiMessage* message : marked) {
    HRESULT hr = deleteEntry(message);
    if (FAILED(hr)) {
      mapiLog("CMapiFolder::expunge: failed : %s\n", folderErrorText(hr).c_str());
      continue;
    }
    for (size_t i = 0; i < m_order.size(); ++i) {
      const SRow& row = *m_order[i];
      if (row.cValues >= 1 && row.lpProps && row.lpProps[0].ulPropTag == PR_ENTRYID &&
          reinterpret_cast<LPENTRYID>(row.lpProps[0].Value.bin.lpb) == message->m_lpEntryID) {
        removed.push_back(static_cast<ULONG>(i + 1));
        break;
      }
    }
    // Deleted already: the message must not delete itself again.
    message->setDeleteFlag(false);
    delete message;
  }
  std::sort(removed.begin(), removed.end());
  for (auto it = removed.rbegin(); it != removed.rend(); ++it) m_order.erase(m_order.begin() + (*it - 1));
  return removed;
}

bool CMapiFolder::getMessage(ULONG position, CMapiMessage* message) {
  const SRow& row = rowAt(position);
  bool opened = false;
  // A row without its entry identifier column cannot be opened.
  if (row.cValues >= 1 && row.lpProps && row.lpProps[0].ulPropTag == PR_ENTRYID) {
    const SBinary& eid = row.lpProps[0].Value.bin;
    ULONG ulObjType = 0;
    HRESULT hr = m_lpFolder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, MAPI_BEST_ACCESS,
                                       &ulObjType, reinterpret_cast<LPUNKNOWN*>(&message->m_lpMessage));
    if (SUCCEEDED(hr) && message->m_lpMessage) {
      message->m_cbEntryID = eid.cb;
      message->m_lpEntryID = reinterpret_cast<LPENTRYID>(eid.lpb);
      message->m_bEnvelopeTogether = true;
      if (!m_bKeepReadState) message->m_lpMessage->SetReadFlag(0);
      opened = true;
    } else {
      message->m_lpMessage = nullptr;
      std::string text = "CMapiFolder::getMessage m_lpFolder->OpenEntry failed: " + folderErrorText(hr);
      mapiLog("iMessageNum:%d, errcode = %d,  %s\n", static_cast<int>(position), static_cast<int>(hr), text.c_str());
    }
  } else {
    mapiLog("iMessageNum:%d, errcode = %d,  %s\n", static_cast<int>(position), static_cast<int>(MAPI_E_NOT_FOUND),
            "CMapiFolder::getMessage m_lpFolder->OpenEntry failed: the row has no entry identifier");
  }
  message->m_pFolder = this;
  message->m_bOwnedByFolder = true;
  m_messages.push_back(message);
  return opened;
}

HRESULT CMapiFolder::deleteEntry(CMapiMessage* message) {
  if (!message->m_lpEntryID || message->m_cbEntryID == 0) return MAPI_E_INVALID_ENTRYID;
  LPENTRYLIST lpList = nullptr;
  HRESULT hr = MAPIAllocateBuffer(sizeof(ENTRYLIST), reinterpret_cast<LPVOID*>(&lpList));
  if (FAILED(hr)) return hr;
  LPSBinary lpBin = nullptr;
  LPBYTE lpCopy = nullptr;
  hr = MAPIAllocateBuffer(sizeof(SBinary), reinterpret_cast<LPVOID*>(&lpBin));
  if (SUCCEEDED(hr)) hr = MAPIAllocateBuffer(message->m_cbEntryID, reinterpret_cast<LPVOID*>(&lpCopy));
  if (SUCCEEDED(hr)) {
    memcpy(lpCopy, message->m_lpEntryID, message->m_cbEntryID);
    lpBin->cb = message->m_cbEntryID;
    lpBin->lpb = lpCopy;
    lpList->cValues = 1;
    lpList->lpbin = lpBin;
    hr = m_lpFolder->DeleteMessages(lpList, 0, nullptr, 0);
  }
  MAPIFreeBuffer(lpCopy);
  MAPIFreeBuffer(lpBin);
  MAPIFreeBuffer(lpList);
  return hr;
}

void CMapiFolder::DeleteMsgFromMapiFolder(CMapiMessage* message) {
  if (!m_lpFolder) return;
  HRESULT hr = deleteEntry(message);
  if (FAILED(hr)) mapiLog("CMapiFolder::DeleteMsgFromMapiFolder: failed : %s\n", folderErrorText(hr).c_str());
}

void CMapiFolder::removeMessage(CMapiMessage* message) {
  auto it = std::find(m_messages.begin(), m_messages.end(), message);
  if (it != m_messages.end()) m_messages.erase(it);
}

void CMapiFolder::Close(bool expunge) {
  // Each message leaves the list before anything else happens to it, so that
  // a failure part way (the exception reaches the caller) neither deletes a
  // message twice nor keeps a deleted one in the list.
  while (!m_messages.empty()) {
    CMapiMessage* message = m_messages.front();
    m_messages.pop_front();
    struct Deletion {
      CMapiMessage* message;
      ~Deletion() {
        // The message must neither delete itself again nor look for itself
        // in this list.
        message->m_pFolder = nullptr;
        delete message;
      }
    } deletion{message};
    if (expunge && message->getDeleteFlag() && m_lpFolder) {
      HRESULT hr = deleteEntry(message);
      if (FAILED(hr)) mapiLog("CMapiFolder::close: failed : %s\n", folderErrorText(hr).c_str());
    }
  }
  if (m_lpContents) {
    m_lpContents->Release();
    m_lpContents = nullptr;
    mapiLog("CMapiFolder::Close releasing m_lpContents\n");
  }
  // After the messages: their entry identifiers point into these rows.
  freeRows();
  if (m_lpFolder) {
    m_lpFolder->Release();
    m_lpFolder = nullptr;
    mapiLog("CMapiFolder::Close releasing m_lpFolder\n");
  }
  if (m_lpEntryID) {
    MAPIFreeBuffer(m_lpEntryID);
    m_lpEntryID = nullptr;
  }
}

void CMapiFolder::detachFromStore() {
  mapiLog("CMapiFolder::detachFromStore\n");
  m_bStoreClosed = true;
  m_bOpen = false;
  m_pOwningStore = nullptr;
  m_pStore = nullptr;
  // Nothing of a closed session is used again, not even for Release. The
  // messages keep their contents, so that a handle into them still meets a
  // live object that can say its store is closed.
  for (CMapiMessage* message : m_messages) {
    // The messages attached to it were opened through it: they go first.
    CMapiAttachedMessage::detachAll(message->m_pContent);
    if (message->m_lpMessage) {
      message->forgetEnvelope();
      message->m_lpMessage->Release();
      message->m_lpMessage = nullptr;
    }
    message->m_lpEntryID = nullptr;
    message->m_cbEntryID = 0;
  }
  if (m_lpContents) {
    m_lpContents->Release();
    m_lpContents = nullptr;
  }
  // After the messages: their entry identifiers pointed into these rows.
  freeRows();
  if (m_lpFolder) {
    m_lpFolder->Release();
    m_lpFolder = nullptr;
  }
}
