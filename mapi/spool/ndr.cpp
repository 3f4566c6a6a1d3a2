#include "spool/ndr.h"
#include "spool/spoolutil.h"

#include "runtime/prop.h"
#include "store/msgstore.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <ctime>

namespace tmapi {

namespace {

std::string utcText(const FILETIME& ft) {
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  time_t t = static_cast<time_t>(ticks / 10000000ULL - 11644473600ULL);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

// The address a report row names: the address, else the name the
// recipient was given.
std::string rowAddress(const StoreDb::QueueRecipient& r) {
  if (!r.address.empty()) return r.address;
  if (!r.displayName.empty()) return r.displayName;
  return "(no address)";
}

HRESULT setValues(IMAPIProp* obj, const PropRow& row, const std::string& what, std::string& error) {
  LPSPropValue values = nullptr;
  ULONG count = 0;
  HRESULT hr = rowToMAPI(row, nullptr, &count, &values);
  if (FAILED(hr)) {
    error = what + ": out of memory";
    return hr;
  }
  hr = obj->SetProps(count, values, nullptr);
  MAPIFreeBuffer(values);
  if (FAILED(hr)) error = callText(obj, hr, what);
  return hr;
}

}  // namespace

std::string reportBody(const std::string& subject, const FILETIME* sent,
                       const std::vector<StoreDb::QueueRecipient>& failed) {
  std::string text = "Your message did not reach some or all of the intended recipients.\n\n";
  text += "\tSubject:   " + subject + "\n";
  if (sent) text += "\tSent:   " + utcText(*sent) + "\n";
  text += "\nThe following recipient(s) could not be reached:\n";
  for (const auto& r : failed) {
    text += "\n\t" + rowAddress(r) + "  on  " + utcText(fileTimeOfMs(r.at)) + "\n";
    text += "\t" + r.detail + "\n";
    text += "\t" + r.status + "\n";
  }
  return text;
}

HRESULT putNonDeliveryReport(MsgStore* store, IMessage* original, const std::vector<StoreDb::QueueRecipient>& failed,
                             const std::string& reporter, std::string& error) {
  // What the report says about the original.
  SizedSPropTagArray(4, tags) = {4, {PR_SUBJECT_A, PR_CLIENT_SUBMIT_TIME, PR_DISPLAY_TO_A, PR_DISPLAY_CC_A}};
  ULONG count = 0;
  LPSPropValue orig = nullptr;
  HRESULT hr = original->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &orig);
  if (FAILED(hr)) {
    error = callText(original, hr, "Cannot read the submitted message");
    return hr;
  }
  PropRow values;
  rowFromMAPI(count, orig, values);
  MAPIFreeBuffer(orig);
  const Prop* subjectValue = findProp(values, PR_SUBJECT_A);
  const Prop* sentValue = findProp(values, PR_CLIENT_SUBMIT_TIME);
  std::string subject = subjectValue ? subjectValue->bytes : "";
  FILETIME sent{};
  if (sentValue) sent = sentValue->fileTime();

  Held<IUnknown> inboxUnk;
  std::string inboxId = store->entryIdOf(MAPI_FOLDER, store->db()->folders().inbox);
  ULONG type = 0;
  hr = store->OpenEntry(static_cast<ULONG>(inboxId.size()), reinterpret_cast<LPENTRYID>(&inboxId[0]), nullptr,
                        MAPI_MODIFY, &type, &inboxUnk.p);
  if (FAILED(hr)) {
    error = callText(store, hr, "Cannot open the Inbox for the non-delivery report");
    return hr;
  }
  IMAPIFolder* inbox = static_cast<IMAPIFolder*>(static_cast<IUnknown*>(inboxUnk.p));
  Held<IMessage> report;
  hr = inbox->CreateMessage(nullptr, 0, &report.p);
  if (FAILED(hr)) {
    error = callText(inbox, hr, "Cannot create the non-delivery report");
    return hr;
  }

  FILETIME now = fileTimeOfMs(static_cast<int64_t>(time(nullptr)) * 1000);
  PropRow props = {
      Prop::String(PR_MESSAGE_CLASS_A, "REPORT.IPM.Note.NDR"),
      Prop::String(PR_SUBJECT_A, subject.empty() ? "Undeliverable" : "Undeliverable: " + subject),
      Prop::String(PR_ORIGINAL_SUBJECT_A, subject),
      Prop::String(PR_SENDER_NAME_A, "Mail Delivery System"),
      Prop::String(PR_SENDER_EMAIL_ADDRESS_A, reporter),
      Prop::String(PR_SENDER_ADDRTYPE_A, "SMTP"),
      Prop::String(PR_SENT_REPRESENTING_NAME_A, "Mail Delivery System"),
      Prop::String(PR_SENT_REPRESENTING_EMAIL_ADDRESS_A, reporter),
      Prop::String(PR_SENT_REPRESENTING_ADDRTYPE_A, "SMTP"),
      Prop::Time(PR_CLIENT_SUBMIT_TIME, now),
      Prop::Time(PR_MESSAGE_DELIVERY_TIME, now),
      Prop::Long(PR_MESSAGE_FLAGS, 0),  // unread
      Prop::String(PR_BODY_A, reportBody(subject, sentValue ? &sent : nullptr, failed)),
  };
  if (sentValue) props.push_back(Prop::Time(PR_ORIGINAL_SUBMIT_TIME, sent));
  if (const Prop* to = findProp(values, PR_DISPLAY_TO_A)) props.push_back(Prop::String(PR_ORIGINAL_DISPLAY_TO_A, to->bytes));
  if (const Prop* cc = findProp(values, PR_DISPLAY_CC_A)) props.push_back(Prop::String(PR_ORIGINAL_DISPLAY_CC_A, cc->bytes));
  hr = setValues(report.p, props, "Cannot write the non-delivery report", error);
  if (FAILED(hr)) return hr;

  // One recipient row per recipient that failed.
  LPADRLIST list = nullptr;
  hr = MAPIAllocateBuffer(CbNewADRLIST(failed.size()), reinterpret_cast<LPVOID*>(&list));
  if (FAILED(hr)) {
    error = "Cannot list the recipients of the non-delivery report: out of memory";
    return hr;
  }
  list->cEntries = 0;
  for (const auto& r : failed) {
    PropRow row = {Prop::Long(PR_RECIPIENT_TYPE, MAPI_TO),
                   Prop::String(PR_DISPLAY_NAME_A, r.displayName.empty() ? rowAddress(r) : r.displayName),
                   Prop::String(PR_EMAIL_ADDRESS_A, rowAddress(r)),
                   Prop::String(PR_ADDRTYPE_A, "SMTP"),
                   Prop::Time(PR_REPORT_TIME, fileTimeOfMs(r.at)),
                   Prop::String(PR_REPORT_TEXT_A, r.detail),
                   Prop::String(PR_SUPPLEMENTARY_INFO_A, r.status)};
    ADRENTRY& entry = list->aEntries[list->cEntries];
    hr = rowToMAPI(row, nullptr, &entry.cValues, &entry.rgPropVals);
    if (FAILED(hr)) break;
    entry.ulReserved1 = 0;
    ++list->cEntries;
  }
  if (SUCCEEDED(hr)) {
    hr = report.p->ModifyRecipients(MODRECIP_ADD, list);
    if (FAILED(hr)) error = callText(report.p, hr, "Cannot add the recipients of the non-delivery report");
  } else {
    error = "Cannot list the recipients of the non-delivery report: out of memory";
  }
  FreePadrlist(list);
  if (FAILED(hr)) return hr;

  // The original, attached as a message.
  Held<IAttach> attach;
  ULONG num = 0;
  hr = report.p->CreateAttach(nullptr, 0, &num, &attach.p);
  if (FAILED(hr)) {
    error = callText(report.p, hr, "Cannot attach the original message to the non-delivery report");
    return hr;
  }
  hr = setValues(attach.p,
                 {Prop::Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG),
                  Prop::String(PR_DISPLAY_NAME_A, subject.empty() ? "Original message" : subject),
                  Prop::Long(PR_RENDERING_POSITION, -1)},
                 "Cannot attach the original message to the non-delivery report", error);
  if (FAILED(hr)) return hr;
  Held<IMessage> copy;
  hr = attach.p->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                              reinterpret_cast<LPUNKNOWN*>(&copy.p));
  if (FAILED(hr)) {
    error = callText(attach.p, hr, "Cannot attach the original message to the non-delivery report");
    return hr;
  }
  // The copy is the message as sent: not the state of its submission.
  SizedSPropTagArray(4, excluded) = {4, {PR_SENTMAIL_ENTRYID, PR_DELETE_AFTER_SUBMIT, PR_SUBMIT_FLAGS, PR_MESSAGE_FLAGS}};
  hr = original->CopyTo(0, nullptr, reinterpret_cast<LPSPropTagArray>(&excluded), 0, nullptr, &IID_IMessage, copy.p, 0,
                        nullptr);
  if (FAILED(hr)) {
    error = callText(original, hr, "Cannot copy the original message into the non-delivery report");
    return hr;
  }
  hr = setValues(copy.p, {Prop::Long(PR_MESSAGE_FLAGS, MSGFLAG_READ)}, "Cannot copy the original message", error);
  if (FAILED(hr)) return hr;
  hr = copy.p->SaveChanges(0);
  if (FAILED(hr)) {
    error = callText(copy.p, hr, "Cannot save the original message in the non-delivery report");
    return hr;
  }
  hr = attach.p->SaveChanges(0);
  if (FAILED(hr)) {
    error = callText(attach.p, hr, "Cannot save the attachment of the non-delivery report");
    return hr;
  }
  hr = report.p->SaveChanges(0);
  if (FAILED(hr)) {
    error = callText(report.p, hr, "Cannot save the non-delivery report");
    return hr;
  }
  return S_OK;
}

}  // namespace tmapi
