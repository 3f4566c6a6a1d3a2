// Copies of whole message stores, between places and between store
// engines (SQLite files, PostgreSQL mailboxes): what `tolvane-mapi store
// copy` does. Outside the Windows SDK.
//
// A copy holds everything the source holds: every folder, message,
// recipient row, attachment and attached message with all their values
// (long ones in pieces, never whole in memory), read state, the
// named-property map, the submission queue with each recipient's progress,
// and the keys of delivered messages where both engines keep them
// (tolvane/deliverykey.h: PostgreSQL). Ids are kept (objects, names, queue entries) and so is the
// store's identity, so entry identifiers stay valid and the profile of the
// source reads the copy once it names it (`profile set NAME --store`).
//
// The copy is made apart from any store at the target (storedb.h:
// StoreDb::unfinishedCopy) and becomes the store there only at the end,
// in one transaction, once its totals (folders, messages, attachments,
// recipient rows, names, queue entries, bytes of values) match the
// source's; until then opening the target fails, so half of a mailbox is
// never taken for the whole. A target that holds a store with anything
// more than the standard folders is refused before anything is written.
//
// Interrupted (a failure, a kill), the copy is run again and goes on: what
// the target holds already is kept when its values match the source's,
// copied again when they do not, and removed when the source no longer
// has it; nothing is copied twice. The copy writes, each in a transaction
// of its own: the unfinished copy (createCopy), the named properties and
// the folders, then each message of a folder with everything below it,
// then the queue, and last the step that makes it the store at the target.
//
// The source should not change while it is copied (stop deliveries and
// spoolers): a live lease of a spooler on a queued message makes the copy
// refuse, and a source that changes under the copy fails the final check
// (run it again).
#ifndef TOLVANE_STORECOPY_H
#define TOLVANE_STORECOPY_H

#include <mapidefs.h>

#include <cstdint>
#include <functional>
#include <string>

namespace mapistore {

struct CopyProgress {
  uint64_t messages = 0;       // messages of the folders in the copy now
  uint64_t messagesTotal = 0;  // messages of the source's folders
  uint64_t bytes = 0;          // bytes of values this run wrote
};

struct CopyResult {
  uint64_t messages = 0;  // messages of the source's folders
  uint64_t copied = 0;    // of them, copied by this run (the rest were there)
  uint64_t bytes = 0;     // bytes of values the copy holds, as its source
  uint64_t folders = 0;
  uint64_t attachments = 0;
};

// Copies the store at `from` into `to` (store locations as a profile names
// them: a file path, or a PostgreSQL location naming its mailbox).
// progress, when set, is called after each message. error says what failed
// in a sentence, with any password of a location masked.
HRESULT copyStore(const std::string& from, const std::string& to,
                  const std::function<void(const CopyProgress&)>& progress, CopyResult& result, std::string& error);

// A store location as texts may show it: any password masked.
std::string shownLocation(const std::string& location);

}  // namespace mapistore

#endif
