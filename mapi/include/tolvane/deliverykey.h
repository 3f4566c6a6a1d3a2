// The key of a delivered message: what tells one delivery of a message from
// another in its mailbox (its Message-ID and a digest of its header block and
// texts), so that a delivery retried after its answer was lost (a mail
// server that never heard "stored", a database that failed over) stores
// nothing twice.
//
// Not part of the Windows SDK. A delivery sets it on the new message before
// SaveChanges; it is never kept as a value of the message. A store that keeps
// keys (the PostgreSQL engine) keeps it beside the message, in the same
// change, for as long as the message is there; SaveChanges of a message whose
// key the mailbox holds stores nothing and gives MAPI_E_COLLISION (inside a
// batch, the batch goes on). A store that keeps none stores the message.
#ifndef TOLVANE_DELIVERYKEY_H
#define TOLVANE_DELIVERYKEY_H

#include <mapidefs.h>

// In the store provider's secure range: no client value uses it.
#define PR_TOLVANE_DELIVERY_KEY PROP_TAG(PT_BINARY, 0x67F0)

#endif
