// Structured storage written as a compound file (MS-CFB) with libgsf:
// StgCreateDocfile, and the IStorage and IStream objects it hands out.
//
// libgsf writes a compound file front to back: a stream's bytes go to the
// file while it is written and must not interleave with another stream's. So
// the element tree is kept here, and each stream is held back (in memory, or
// in a private temporary file once it grows) until Commit writes the tree in
// order. The exception is the one big stream being written at a time: once
// it passes the memory limit and no other stream is passing through, its
// bytes go straight into the file, so that attachment data of any size is
// neither held in memory nor copied twice.
//
// The file is written under a temporary name beside the target and renamed
// over it by the root's Commit: a target is either the empty file made by
// StgCreateDocfile or a complete compound file, never a half-written one.
// After a successful Commit the file is final; new elements are refused.
//
// Stat hands out the element's name (unless STATFLAG_NONAME) in a block of
// MAPIGetDefaultMalloc()'s allocator, to be freed with its Free.
//
// Not offered: reading back (OpenStream, OpenStorage, EnumElements, Read),
// moving, renaming and destroying elements; these return
// STG_E_INVALIDFUNCTION.
#ifndef TOLVANE_MAPI_MSGFILE_STORAGE_H
#define TOLVANE_MAPI_MSGFILE_STORAGE_H

#include <objbase.h>

#include <string>

namespace tmapi {
namespace msgfile {

// StgCreateDocfile on a UTF-8 path (the wide entry point converts and calls
// this). The writer is the module libtolvane-mapi-cfb.so (runtime/modules.h),
// loaded by the first call; when it cannot be loaded the call fails with
// STG_E_UNIMPLEMENTEDFUNCTION.
HRESULT createDocfile(const std::string& path, DWORD grfMode, IStorage** storage);

// Stream bytes kept in memory before a stream passes through to the file or
// moves to a temporary file. Tests lower it to reach those paths quickly.
void setStreamMemoryLimit(size_t bytes);  // 0 restores the default
size_t streamMemoryLimit();

// Mode and flag words as the call journal shows them ("0x1012").
std::string flagsText(DWORD v);

}  // namespace msgfile
}  // namespace tmapi

#endif
