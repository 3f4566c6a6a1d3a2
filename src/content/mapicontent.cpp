#include "content/mapicontent.h"

#include "content/mapibodypart.h"
#include "content/mapimultipart.h"
#include "message/mapimessage.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/maplog.h"
#include "support/proptags.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>
#include <vector>

namespace {

const char* const kReportClass = "REPORT.IPM.Note.NDR";

// A string property of a MAPI object, or false when it cannot be read.
bool readString(LPMAPIPROP lpProp, ULONG ulTag, std::string& value, HRESULT* result = nullptr) {
  LPSPropValue lpValue = nullptr;
  HRESULT hr = HrGetOneProp(lpProp, ulTag, &lpValue);
  if (result) *result = hr;
  bool ok = SUCCEEDED(hr) && lpValue;
  value = ok && lpValue->Value.lpszA ? reinterpret_cast<const char*>(lpValue->Value.lpszA) : "";
  MAPIFreeBuffer(lpValue);
  return ok;
}

// A plain-text body too large for one property read, through its stream.
std::string readBodyStream(LPMESSAGE lpMessage) {
  std::string text;
  LPSTREAM lpStream = nullptr;
  if (lpMessage->OpenProperty(PR_BODY_A, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&lpStream)) != S_OK ||
      !lpStream)
    return text;
  STATSTG stat;
  memset(&stat, 0, sizeof stat);
  if (lpStream->Stat(&stat, STATFLAG_NONAME) == S_OK) {
    // The body is read whole (that is what a text part holds), in one
    // buffer of the reported size.
    ULONG size = stat.cbSize.u.LowPart;
    std::vector<char> buffer(static_cast<size_t>(size) + 1);
    ULONG read = 0;
    size_t total = 0;
    HRESULT hr = S_OK;
    while (total < size) {
      hr = lpStream->Read(buffer.data() + total, static_cast<ULONG>(size - total), &read);
      if (hr != S_OK || read == 0) break;
      total += read;
    }
    if (hr == S_OK) text.assign(buffer.data(), total);
  }
  lpStream->Release();
  return text;
}

}  // namespace

CMapiContent::CMapiContent()
    : m_pMessage(nullptr), m_pMultipart(nullptr), m_bMultipart(false), m_bCalculated(false), m_bHasHtml(false),
      m_bHasText(false), m_bHasAttachments(false) {}

CMapiContent::~CMapiContent() {
  // Each attached message leaves the list as it is deleted; they go before
  // the parts they were opened from.
  while (!m_attached.empty()) delete m_attached.back();
  delete m_pMultipart;
}

void CMapiContent::ensureMultipart() {
  if (!m_pMultipart) m_pMultipart = new CMapiMultipart(this);
}

bool CMapiContent::isMultipart() {
  if (!m_bCalculated) calculateMultipart();
  return m_bMultipart;
}

void CMapiContent::calculateMultipart() {
  mapiLog("CMapiContent::calculateMultipart->In\n");
  ensureMultipart();
  if (!m_pMessage) {
    mapiLog("CMapiContent::calculateMultipart failed, m_pMessage == NULL\n");
    return;
  }
  LPMESSAGE lpMessage = m_pMessage->m_lpMessage;
  LPSPropTagArray lpTags = nullptr;
  HRESULT hr = lpMessage ? lpMessage->GetPropList(0, &lpTags) : 0;
  if (!lpMessage || FAILED(hr)) {
    std::string text = "CMapiContent::calculateMultipart: m_lpMessage->GetPropList";
    m_pMessage->getLastError(hr, text);
    mapiLog("%s\n", text.c_str());
    throw CMapiException(text);
  }
  struct TagsGuard {
    LPSPropTagArray tags;
    ~TagsGuard() { MAPIFreeBuffer(tags); }
  } tagsGuard{lpTags};

  std::string messageClass;
  if (readString(lpMessage, PR_MESSAGE_CLASS_A, messageClass) && messageClass == kReportClass) {
    std::string report = buildReportText();
    m_bHasText = true;
    m_pMultipart->addTextPart(PART_TEXT_BODY, PR_BODY_A, "", "text/plain", report);
  }

  std::string html;
  if (readString(lpMessage, PR_BODY_HTML_A, html) && !html.empty()) {
    m_bHasHtml = true;
    m_pMultipart->addHtmlPart(PART_HTML_BODY, PR_BODY_HTML_A, "", "text/html", html);
  }

  for (ULONG i = 0; lpTags && i < lpTags->cValues; ++i) {
    ULONG tag = lpTags->aulPropTag[i];
    if (!m_bHasText && tag == PR_BODY_A) {
      std::string body;
      HRESULT readResult = S_OK;
      if (readString(lpMessage, PR_BODY_A, body, &readResult)) {
        if (!body.empty()) {
          m_bHasText = true;
          m_pMultipart->addTextPart(PART_TEXT_BODY, PR_BODY_A, "", "text/plain", body);
        }
      } else if (readResult == E_OUTOFMEMORY) {
        body = readBodyStream(lpMessage);
        m_bHasText = true;
        m_pMultipart->addTextPart(PART_TEXT_BODY, PR_BODY_A, "", "text/plain", body);
      }
    }
    if (!m_bHasAttachments && tag == PR_HASATTACH) m_bHasAttachments = true;
  }

  m_bCalculated = true;
  if (m_bHasAttachments) {
    m_bMultipart = true;
    createAttachmentParts();
  } else {
    m_bMultipart = m_bHasText || m_bHasHtml;
  }
  mapiLog("CMapiContent::calculateMultipart->Out\n");
}

void CMapiContent::createAttachmentParts() {
  ensureMultipart();
  if (!m_pMessage) {
    mapiLog("CMapiContent::createAttachmentParts ,m_pMessage == NULL \n");
    return;
  }
  LPMESSAGE lpMessage = m_pMessage->m_lpMessage;
  LPMAPITABLE lpTable = nullptr;
  HRESULT hr = lpMessage ? lpMessage->GetAttachmentTable(0, &lpTable) : 0;
  if (!lpMessage || FAILED(hr) || !lpTable) {
    std::string text = "CMapiContent::createattachmentParts GetAttachmentTable failed ";
    m_pMessage->getLastError(hr, text);
    mapiLog("%s \n", text.c_str());
    mapiLog("CMapiContent::createAttachmentParts() failed pMsg : %p, Hresult :%d \n", static_cast<void*>(lpMessage),
            static_cast<int>(hr));
    return;
  }
  struct TableGuard {
    LPMAPITABLE table;
    ~TableGuard() { table->Release(); }
  } tableGuard{lpTable};

  // One read of the table gives every part what it shows: no attachment is
  // opened here (a store may pay a search for each open), only later for
  // the part whose data is written. Table strings are what GetProps gives;
  // a store that cuts long strings in tables (255 characters) cuts only
  // file names no system keeps that long.
  enum { kNum, kSize, kMethod, kLongName, kShortName, kDisplayName, kMimeTag, kContentId, kColumns };
  ULONG ulRows = 0;
  hr = lpTable->GetRowCount(0, &ulRows);
  if (FAILED(hr)) {
    std::string text = mapiErrorText(lpTable, hr);
    mapiLog("CMapiContent::createAttachmentParts :: lpTable->GetRowCount failed: %s \n", text.c_str());
    return;
  }
  if (ulRows == 0) {
    m_bHasAttachments = false;
    return;
  }
  // The columns the parts show, then the MIME fields the parts' MIME form
  // needs (CMapiBodyPart::getMimeFields), so that no attachment is opened for
  // them either; a field whose name the store never kept has no column.
  ULONG mimeTags[CMapiBodyPart::kMimeFields];
  CMapiBodyPart::mimeFieldTags(lpMessage, mimeTags);
  std::vector<ULONG> columnBuffer = {kColumns,
                                     PR_ATTACH_NUM,
                                     PR_ATTACH_SIZE,
                                     PR_ATTACH_METHOD,
                                     PR_ATTACH_LONG_FILENAME_A,
                                     PR_ATTACH_FILENAME_A,
                                     PR_DISPLAY_NAME_A,
                                     PR_ATTACH_MIME_TAG_A,
                                     PR_ATTACH_CONTENT_ID_A};
  int mimeColumn[CMapiBodyPart::kMimeFields];
  for (int k = 0; k < CMapiBodyPart::kMimeFields; ++k) {
    mimeColumn[k] = -1;
    if (mimeTags[k] == CMapiBodyPart::kNoMimeTag) continue;
    mimeColumn[k] = static_cast<int>(columnBuffer.size()) - 1;
    columnBuffer.push_back(mimeTags[k]);
  }
  columnBuffer[0] = static_cast<ULONG>(columnBuffer.size() - 1);
  LPSPropTagArray columns = reinterpret_cast<LPSPropTagArray>(columnBuffer.data());
  if (FAILED(lpTable->SetColumns(columns, 0))) return;
  LPSRowSet lpRows = nullptr;
  hr = lpTable->QueryRows(static_cast<LONG>(ulRows), 0, &lpRows);
  if (FAILED(hr) || !lpRows) {
    std::string text = mapiErrorText(lpTable, hr);
    mapiLog("CMapiContent::createAttachmentParts  lpTable->QueryRows failed: %s\n", text.c_str());
    return;
  }
  struct RowsGuard {
    LPSRowSet rows;
    ~RowsGuard() { FreeProws(rows); }
  } rowsGuard{lpRows};

  for (ULONG i = 0; i < lpRows->cRows; ++i) {
    const SRow& row = lpRows->aRow[i];
    if (row.cValues < columns->cValues || !row.lpProps) continue;
    // A column the row lacks holds a PT_ERROR value with the reason.
    auto has = [&](int column) { return row.lpProps[column].ulPropTag == columns->aulPropTag[column]; };
    auto text = [&](int column) {
      const char* value = has(column) ? reinterpret_cast<const char*>(row.lpProps[column].Value.lpszA) : nullptr;
      return std::string(value ? value : "");
    };
    auto missing = [&](int column) {
      return PROP_TYPE(row.lpProps[column].ulPropTag) == PT_ERROR && row.lpProps[column].Value.err == MAPI_E_NOT_FOUND;
    };
    auto keepMime = [&](CMapiBodyPart* part) {
      SPropValue mime[CMapiBodyPart::kMimeFields] = {};
      for (int k = 0; k < CMapiBodyPart::kMimeFields; ++k) {
        if (mimeColumn[k] >= 0) mime[k] = row.lpProps[mimeColumn[k]];
      }
      part->keepMimeFields(mime, CMapiBodyPart::kMimeFields, mimeTags);
    };
    if (!has(kNum)) continue;
    ULONG ulAttachNum = static_cast<ULONG>(row.lpProps[kNum].Value.l);
    ULONG ulSize = has(kSize) ? static_cast<ULONG>(row.lpProps[kSize].Value.l) : 0;
    LONG method = has(kMethod) ? row.lpProps[kMethod].Value.l : 0;
    std::string contentType = has(kMimeTag) ? text(kMimeTag) : "application/binary";
    std::string contentId = text(kContentId);

    if (method >= static_cast<LONG>(ATTACH_BY_VALUE) && method <= static_cast<LONG>(ATTACH_BY_REF_RESOLVE)) {
      // The short name only stands in for a long name that is missing, not
      // for one that is empty or could not be read.
      std::string name = missing(kLongName) ? text(kShortName) : text(kLongName);
      if (!name.empty())
        keepMime(m_pMultipart->addAttachmentPart(PART_ATTACHMENT, ulAttachNum, name, "attachment", contentType,
                                                 nullptr, contentId, ulSize));
    } else if (method == static_cast<LONG>(ATTACH_EMBEDDED_MSG)) {
      std::string name = has(kDisplayName) ? text(kDisplayName) + ".msg" : "";
      if (!name.empty())
        keepMime(m_pMultipart->addAttachmentPart(PART_ATTACHED_MESSAGE, ulAttachNum, name, "attachment",
                                                 "message/rfc822", m_pMessage, contentId, ulSize));
    }
  }
}
