// IStream on one string or binary property of a store object, as
// OpenProperty hands it out.
//
// A read-only stream reads the stored value in pieces (StoreDb::readRange),
// or a value still held by the object. A writable stream writes into a
// StagedValue that its owner's state already names as the property's new
// value, so the owner's SaveChanges stores what was written; nothing is
// stored before that.
#ifndef TOLVANE_MAPI_STREAM_H
#define TOLVANE_MAPI_STREAM_H

#include "store/propstate.h"

#include <objbase.h>

#include <memory>
#include <string>

namespace tmapi {

// Stream over a stored value (propId: a property id, not a tag).
HRESULT createStoredStream(std::shared_ptr<StoreDb> db, ObjectId id, ULONG propId, uint64_t size, IStream** out);
// Stream over a copy of a value held in memory.
HRESULT createMemoryStream(std::string bytes, IStream** out);
// Stream over a staged value; writable when `writable`.
HRESULT createStagedStream(std::shared_ptr<StagedValue> value, bool writable, IStream** out);

// Opens a property of an object (its state over the store) as a stream.
// flags: MAPI_CREATE (start empty), MAPI_MODIFY (writable); interface
// options STGM_WRITE/STGM_READWRITE also ask for writing. A writable stream
// is registered in `st` at once. text receives the failure.
HRESULT openPropertyStream(const std::shared_ptr<StoreDb>& db, PropState& st, ULONG tag, ULONG options, ULONG flags,
                           bool objectWritable, IStream** out, std::string& text);

}  // namespace tmapi

#endif
