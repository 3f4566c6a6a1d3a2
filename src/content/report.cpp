// The text shown for a non-delivery report in place of its stored body.
#include "content/mapicontent.h"

#include "message/mapimessage.h"
#include "platform/platform.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

namespace {

// A stored (UTC) time as the user's locale writes a date with its time.
std::string dateText(const FILETIME& ft) {
  double date = 0.0;
  std::string text;
  if (!platform::fileTimeToAutomationDate(ft, date) || !platform::automationDateToText(date, text))
    return "Invalid DateTime";
  return text;
}

std::string valueText(const SPropValue& v) { return v.Value.lpszA ? reinterpret_cast<const char*>(v.Value.lpszA) : ""; }

}  // namespace

std::string CMapiContent::buildReportText() {
  std::string text = "Your message did not reach some or all of the intended recipients.\n\n\t";
  LPMESSAGE lpMessage = m_pMessage->m_lpMessage;

  LPSPropValue lpValue = nullptr;
  if (SUCCEEDED(HrGetOneProp(lpMessage, PR_ORIGINAL_SUBJECT_A, &lpValue)) && lpValue) {
    std::string subject = valueText(*lpValue);
    if (!subject.empty()) text += "Subject:   " + subject;
  }
  MAPIFreeBuffer(lpValue);
  lpValue = nullptr;
  if (SUCCEEDED(HrGetOneProp(lpMessage, PR_ORIGINAL_SUBMIT_TIME, &lpValue)) && lpValue) {
    std::string sent = dateText(lpValue->Value.ft);
    if (!sent.empty()) text += "\n\tSent:   " + sent;
  }
  MAPIFreeBuffer(lpValue);

  std::vector<std::string> list;
  getReportData(list);
  const char* const kSeeReport = "For more details, please see attached Non Delivery Report Message";
  if (!list.empty() && !list[0].empty()) {
    text += list[0];
  } else if (!list.empty()) {
    text += std::string("\n") + kSeeReport + " in Advanced Options Tab, Under Tab, Attachment Alternatives";
  } else {
    text += std::string("\n\n") + kSeeReport + " in Advanced Options Tab, Under Tab, Attachment Alternatives.";
  }
  return text;
}

void CMapiContent::getReportData(std::vector<std::string>& list) {
  if (!m_pMessage) {
    mapiLog("CMapiContent::getReportData m_pMessage == NULL\n");
    return;
  }
  LPMESSAGE lpMessage = m_pMessage->m_lpMessage;
  auto fail = [&](const char* prefix, HRESULT hr, LPMAPITABLE lpTable) {
    if (lpTable) lpTable->Release();
    std::string text = prefix;
    m_pMessage->getLastError(hr, text);
    mapiLog("%s\n", text.c_str());
    throw CMapiException(text);
  };

  LPMAPITABLE lpTable = nullptr;
  HRESULT hr = lpMessage ? lpMessage->GetRecipientTable(0, &lpTable) : 0;
  if (!lpMessage || FAILED(hr) || !lpTable) fail("CMapiContent::getReportData GetRecipientTable failed ", hr, nullptr);

  SizedSPropTagArray(4, columns) = {
      4, {PR_EMAIL_ADDRESS_A, PR_REPORT_TIME, PR_REPORT_TEXT_A, PR_SUPPLEMENTARY_INFO_A}};
  if (FAILED(lpTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), TBL_BATCH))) {
    lpTable->Release();
    return;
  }
  ULONG ulRows = 0;
  hr = lpTable->GetRowCount(0, &ulRows);
  if (FAILED(hr)) fail("CMapiContent::getReportData: lpRecipients->GetRowCount failed ", hr, lpTable);
  if (ulRows == 0) {
    lpTable->Release();
    return;
  }
  LPSRowSet lpRows = nullptr;
  hr = lpTable->QueryRows(static_cast<LONG>(ulRows), 0, &lpRows);
  if (FAILED(hr) || !lpRows) fail("CMapiContent::getReportData: lpRecipients->QueryRows failed ", hr, lpTable);

  std::string block;
  if (lpRows->cRows > 0) block = "\n\n The following recipient(s) could not be reached:\n";
  for (ULONG i = 0; i < lpRows->cRows; ++i) {
    const SRow& row = lpRows->aRow[i];
    bool complete = row.cValues >= 4 && row.lpProps;
    for (ULONG c = 0; complete && c < 4; ++c)
      if (PROP_TYPE(row.lpProps[c].ulPropTag) == PT_ERROR) complete = false;
    if (!complete) {
      // A recipient without full details drops the whole block gathered so
      // far, heading included.
      block.clear();
      continue;
    }
    std::string address = valueText(row.lpProps[0]);
    if (!address.empty()) block += "\n\t" + address;
    std::string when = dateText(row.lpProps[1].Value.ft);
    if (!when.empty()) block += "  on  " + when;
    std::string reportText = valueText(row.lpProps[2]);
    if (!reportText.empty()) block += "\n\t" + reportText;
    std::string info = valueText(row.lpProps[3]);
    if (!info.empty()) block += "\n\t" + info + "\n";
  }
  FreeProws(lpRows);
  list.push_back(block);
  lpTable->Release();
}
