// CMapiMessage: construction, error texts and the single-property reads.
#include "message/mapimessage.h"

#include "content/mapicontent.h"
#include "folder/mapifolder.h"
#include "platform/platform.h"
#include "support/liveobjects.h"
#include "support/mapiexception.h"
#include "support/maplog.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstdio>

CMapiMessage::CMapiMessage()
    : m_pFolder(nullptr), m_pContent(nullptr), m_lpMessage(nullptr), m_bDelete(false), m_bOwnedByFolder(false),
      m_lpEntryID(nullptr), m_cbEntryID(0), m_bTransportClosed(false) {
  liveobjects::enter(this, liveobjects::Kind::Message);
}

void CMapiMessage::getLastError(HRESULT hr, std::string& text) {
  if (m_lpMessage) {
    LPMAPIERROR lpError = nullptr;
    if (m_lpMessage->GetLastError(hr, 0, &lpError) == 0 && lpError) {
      if (lpError->lpszError) text += reinterpret_cast<const char*>(lpError->lpszError);
      MAPIFreeBuffer(lpError);
    } else {
      mapiLog("CMapiMessage::getLastError: Failed to message m_lpMessage->GetLastError\n");
    }
    return;
  }
  DWORD code = platform::lastError();
  mapiLog("m_lpMessage is NULL, using GetLastError method\n");
  std::string system;
  if (platform::errorText(code, system)) {
    if (!system.empty())
      text += system;
    else
      mapiLog("CMapiMessage::getLastError: Failed to message from ::GetLastError()\n");
  } else {
    mapiLog("CMapiMessage::getLastError : FormatMessage failed: %d\n", static_cast<int>(platform::lastError()));
  }
}

void CMapiMessage::fail(const std::string& text) {
  mapiLog("%s\n", text.c_str());
  throw CMapiException(text);
}

namespace {

const ULONG kEnvelopeCount = 14;
const SizedSPropTagArray(kEnvelopeCount, kEnvelope) = {
    kEnvelopeCount,
    {PR_SUBJECT_A, PR_CLIENT_SUBMIT_TIME, PR_MESSAGE_DELIVERY_TIME, PR_PRIORITY, PR_IMPORTANCE, PR_MESSAGE_SIZE,
     PR_MESSAGE_CLASS_A, PR_INTERNET_CPID, PR_INTERNET_MESSAGE_ID_A, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A,
     PR_SENT_REPRESENTING_NAME_A, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A, PR_REPLY_RECIPIENT_ENTRIES}};

}  // namespace

void CMapiMessage::forgetEnvelope() {
  MAPIFreeBuffer(m_lpEnvelope);
  m_lpEnvelope = nullptr;
}

HRESULT CMapiMessage::getOneProp(ULONG ulPropTag, LPSPropValue* lppProp) {
  *lppProp = nullptr;
  int index = -1;
  for (ULONG k = 0; m_bEnvelopeTogether && k < kEnvelopeCount; ++k)
    if (kEnvelope.aulPropTag[k] == ulPropTag) index = static_cast<int>(k);
  if (index < 0) return HrGetOneProp(m_lpMessage, ulPropTag, lppProp);
  if (!m_lpEnvelope) {
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = m_lpMessage->GetProps(const_cast<LPSPropTagArray>(reinterpret_cast<const SPropTagArray*>(&kEnvelope)),
                                       0, &count, &values);
    if (FAILED(hr) || !values || count != kEnvelopeCount) {
      // Not kept: the next read tries again.
      MAPIFreeBuffer(values);
      return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    }
    m_lpEnvelope = values;
  }
  const SPropValue& value = m_lpEnvelope[index];
  if (PROP_TYPE(value.ulPropTag) == PT_ERROR) {
    // Absent, or too long to come with the others: then read alone.
    if (value.Value.err == MAPI_E_NOT_FOUND) return MAPI_E_NOT_FOUND;
    return HrGetOneProp(m_lpMessage, ulPropTag, lppProp);
  }
  LPSPropValue copy = nullptr;
  if (MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&copy)) != S_OK)
    return MAPI_E_NOT_ENOUGH_MEMORY;
  if (PropCopyMore(copy, const_cast<LPSPropValue>(&value), MAPIAllocateMore, copy) != S_OK) {
    MAPIFreeBuffer(copy);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  *lppProp = copy;
  return S_OK;
}

HRESULT CMapiMessage::readString(ULONG ulPropTag, std::string& value) {
  value.clear();
  LPSPropValue lpProp = nullptr;
  HRESULT hr = getOneProp(ulPropTag, &lpProp);
  if (SUCCEEDED(hr) && lpProp && lpProp->Value.lpszA) value = reinterpret_cast<const char*>(lpProp->Value.lpszA);
  MAPIFreeBuffer(lpProp);
  return FAILED(hr) ? hr : S_OK;
}

std::string CMapiMessage::getSubject() {
  if (!m_lpMessage) fail("CMapiMessage::getSubject, m_lpMessage == NULL");
  std::string subject;
  HRESULT hr = readString(PR_SUBJECT_A, subject);
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getSubject, Unable to retrieve message subject ";
    getLastError(hr, text);
    fail(text);
  }
  mapiLog("CMapiMessage::getSubject:%d %s\n", static_cast<int>(m_cbEntryID), subject.c_str());
  return subject;
}

std::string CMapiMessage::readBody(ULONG ulPropTag, const char* prefix) {
  std::string body;
  HRESULT hr = m_lpMessage ? readString(ulPropTag, body) : E_FAIL;
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = prefix;
    getLastError(hr, text);
    fail(text);
  }
  return body;
}

std::string CMapiMessage::getText() {
  return readBody(PR_BODY_A, "CMapiMessage::getText, Unable to retrieve message text ");
}

std::string CMapiMessage::getHTML() {
  return readBody(PR_BODY_HTML_A, "CMapiMessage::getHTML, Unable to retrieve message HTML ");
}

std::string CMapiMessage::getTransportHeaders() {
  return readBody(PR_TRANSPORT_MESSAGE_HEADERS_A, "CMapiMessage::getTransportHeaders, Unable to retrieve the headers ");
}

LONG CMapiMessage::getStoredSize() {
  if (!m_lpMessage) fail("CMapiMessage::getStoredSize, m_lpMessage == NULL");
  LPSPropValue value = nullptr;
  HRESULT hr = getOneProp(PR_MESSAGE_SIZE, &value);
  LONG size = SUCCEEDED(hr) && value ? value->Value.l : -1;
  MAPIFreeBuffer(value);
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getStoredSize failed ";
    getLastError(hr, text);
    fail(text);
  }
  return size;
}

void CMapiMessage::getMimeForm(std::string& messageClass, LONG& codePage) {
  if (!m_lpMessage) fail("CMapiMessage::getMimeForm, m_lpMessage == NULL");
  messageClass.clear();
  codePage = 0;
  HRESULT hr = readString(PR_MESSAGE_CLASS_A, messageClass);
  if (SUCCEEDED(hr) || hr == MAPI_E_NOT_FOUND) {
    LPSPropValue value = nullptr;
    hr = getOneProp(PR_INTERNET_CPID, &value);
    if (SUCCEEDED(hr) && value) codePage = value->Value.l;
    MAPIFreeBuffer(value);
  }
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = "CMapiMessage::getMimeForm failed ";
    getLastError(hr, text);
    fail(text);
  }
}

std::string CMapiMessage::getID() {
  std::string id;
  HRESULT hr = m_lpMessage ? readString(PR_INTERNET_MESSAGE_ID_A, id) : E_FAIL;
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    mapiLog("CMapiMessage::getID  returning MAPIMessage\n");
    return "MAPIMessage";
  }
  return id;
}

double CMapiMessage::readDate(ULONG ulPropTag, const char* prefix, bool nullIsNamed, const char* nullText) {
  if (!m_lpMessage && nullIsNamed) fail(nullText);
  double date = 0.0;
  LPSPropValue lpProp = nullptr;
  HRESULT hr = m_lpMessage ? getOneProp(ulPropTag, &lpProp) : E_FAIL;
  if (SUCCEEDED(hr) && lpProp) {
    if (!platform::fileTimeToAutomationDate(lpProp->Value.ft, date)) date = 0.0;
  }
  MAPIFreeBuffer(lpProp);
  if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
    std::string text = prefix;
    getLastError(hr, text);
    fail(text);
  }
  return date;
}

double CMapiMessage::getSentDate() {
  return readDate(PR_CLIENT_SUBMIT_TIME, "CMapiMessage::getSentDate Unable to retrieve message sent time ", true,
                  "CMapiMessage::getSentDate, m_lpMessage == NULL");
}

double CMapiMessage::getReceiveTime() {
  return readDate(PR_MESSAGE_DELIVERY_TIME, "CMapiMessage::getReceiveTime, Unable to retrieve message sender name",
                  false, nullptr);
}

std::string CMapiMessage::getPriority() {
  if (!m_lpMessage) fail("CMapiMessage::getPriority, m_lpMessage == NULL");
  LONG level = 0;
  LPSPropValue lpProp = nullptr;
  HRESULT hr = getOneProp(PR_PRIORITY, &lpProp);
  if (SUCCEEDED(hr) && lpProp) {
    level = lpProp->Value.l;
  } else {
    MAPIFreeBuffer(lpProp);
    lpProp = nullptr;
    hr = getOneProp(PR_IMPORTANCE, &lpProp);
    if (SUCCEEDED(hr) && lpProp) {
      level = lpProp->Value.l - 1;
    } else if (hr == MAPI_E_NOT_FOUND) {
      level = 0;
    } else {
      MAPIFreeBuffer(lpProp);
      std::string text = "CMapiMessage::getPriority, Unable to retrieve priority ";
      getLastError(hr, text);
      fail(text);
    }
  }
  MAPIFreeBuffer(lpProp);
  int priority = level < 0 ? 5 : (level == 0 ? 3 : 1);
  char buf[16];
  snprintf(buf, sizeof buf, "%d", priority);
  return buf;
}

CMapiContent* CMapiMessage::getContent() {
  if (!m_lpMessage) fail("CMapiMessage::getContent, m_lpMessage == NULL");
  if (!m_pContent) {
    mapiLog("CMapiMessage::getContent->In\n");
    m_pContent = new CMapiContent;
    m_pContent->m_pMessage = this;
    m_pContent->calculateMultipart();
    mapiLog("CMapiMessage::getContent->Out\n");
  }
  return m_pContent;
}

CMapiSession* CMapiMessage::session() {
  if (!m_pFolder) return nullptr;
  return m_pFolder->m_pStore ? m_pFolder->m_pStore : transport();
}
