// Non-delivery reports of the spooler: a REPORT.IPM.Note.NDR message in the
// sender's Inbox that lists the recipients a submitted message could not
// reach, with the values the reading side shows (PR_ORIGINAL_SUBJECT and
// PR_ORIGINAL_SUBMIT_TIME; per recipient row PR_EMAIL_ADDRESS,
// PR_REPORT_TIME, PR_REPORT_TEXT and PR_SUPPLEMENTARY_INFO, the enhanced
// status code), and the original message attached (ATTACH_EMBEDDED_MSG).
#ifndef TOLVANE_SPOOL_NDR_H
#define TOLVANE_SPOOL_NDR_H

#include "store/storedb.h"

#include <mapidefs.h>

#include <string>
#include <vector>

namespace tmapi {

class MsgStore;

// Stores the report in the store's Inbox through its IMAPIFolder and
// IMessage interfaces (one SaveChanges: inside a transaction of the
// caller's, it commits with it). `original` is the submitted message;
// `reporter` the address the report comes from.
HRESULT putNonDeliveryReport(MsgStore* store, IMessage* original, const std::vector<StoreDb::QueueRecipient>& failed,
                             const std::string& reporter, std::string& error);

// The report's text (also its PR_BODY).
std::string reportBody(const std::string& subject, const FILETIME* sent,
                       const std::vector<StoreDb::QueueRecipient>& failed);

}  // namespace tmapi

#endif
