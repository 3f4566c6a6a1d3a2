// Several messages stored as one transaction of a store of this subsystem:
// what a program that stores many messages at once (tolvane-mapi deliver
// with several files) uses, so that they reach the disk with one sync
// instead of one each.
//
// Not part of the Windows SDK. Between begin and commit every change made
// through the store's objects on this thread joins the transaction (their
// own commits only count), and other writers of the store wait. A change
// inside that fails undoes the whole transaction: active() turns false.
#ifndef TOLVANE_BATCH_H
#define TOLVANE_BATCH_H

#include <mapix.h>

#include <string>

namespace mapibatch {

// Begins the transaction; MAPI_E_INVALID_PARAMETER for a store that is not
// one of this subsystem, and the store's failure (busy, disk) with its text.
HRESULT begin(LPMDB store, std::string& error);
// Whether the transaction begun is still open.
bool active(LPMDB store);
// Commits everything since begin (one sync); on failure nothing of it is
// stored.
HRESULT commit(LPMDB store, std::string& error);
// Undoes everything since begin (nothing when no transaction is open).
void rollback(LPMDB store);

}  // namespace mapibatch

#endif
