// Uncommitted changes of store objects (messages, attachments) and the
// property reads and lists shared by the store's IMAPIProp objects.
//
// A message or attachment object works on its own copy of its state: the
// values set, deleted or written through streams since it was opened. Its
// SaveChanges hands the copy to its parent (an attachment to its message,
// an embedded message to its attachment), where it stays, immutable, until
// the top-level message's SaveChanges writes the whole tree in one store
// transaction. Objects that are released unsaved simply drop their copy.
#ifndef TOLVANE_MAPI_PROPSTATE_H
#define TOLVANE_MAPI_PROPSTATE_H

#include "runtime/prop.h"
#include "store/storedb.h"

#include <mapidefs.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tmapi {

class StagingFile;

// A string or binary value written through a stream, kept on disk until it
// is stored, so that a value of any size never sits in memory.
//
// Every staged value of a process lives in one shared staging file (a
// temporary file without a name, gone with the process however it ends):
// a value is a list of blocks of that file, taken when written and given
// back (their space freed) when the value goes. So a message of a thousand
// attachments being written holds one descriptor, not a thousand.
class StagedValue {
 public:
  static HRESULT create(std::shared_ptr<StagedValue>& out, std::string& error);
  ~StagedValue();
  StagedValue(const StagedValue&) = delete;
  StagedValue& operator=(const StagedValue&) = delete;

  uint64_t size() const { return m_size; }
  HRESULT write(uint64_t offset, const void* data, size_t n);
  // got < n only at the end of the value.
  HRESULT read(uint64_t offset, void* buf, size_t n, size_t& got) const;
  HRESULT resize(uint64_t size);
  // Writes what the write buffer holds and gives its memory back; called
  // when the stream that wrote the value is released. A failure is kept
  // and fails every later read.
  void settle();

  // Bytes of the staging file this process holds for values (tests).
  static uint64_t stagedBytes();

 private:
  StagedValue() = default;
  // Writes what the buffer holds; a failure of an earlier buffered write
  // surfaces here, and stays: every later read or write fails with it, so
  // the value is never stored short.
  HRESULT flush() const;
  // Writes bytes into the value's blocks, taking blocks as needed.
  HRESULT writeThrough(uint64_t offset, const char* p, size_t n) const;
  // Small sequential writes (a caller copying a file a kilobyte at a time)
  // are gathered here and written in large pieces.
  static constexpr size_t kWriteBuffer = 256 * 1024;
  std::shared_ptr<StagingFile> m_file;
  mutable std::vector<int64_t> m_blocks;  // file offset of each block of the value; -1: none yet (zeros)
  uint64_t m_size = 0;
  mutable HRESULT m_failed = S_OK;
  mutable std::string m_pending;
  mutable uint64_t m_pendingAt = 0;
};

struct StagedEntry {
  ULONG tag = 0;  // stored type: strings as PT_STRING8
  std::shared_ptr<StagedValue> value;
  bool utf16 = false;  // a string written as PT_UNICODE: UTF-16LE, not UTF-8
};

// Converts a string between UTF-8 (as the store keeps it) and UTF-16LE (as
// PT_UNICODE streams carry it), piece by piece: feed pieces, then finish.
// Malformed input becomes U+FFFD.
class TextConverter {
 public:
  explicit TextConverter(bool toUtf16) : m_toUtf16(toUtf16) {}
  void feed(const char* data, size_t n, std::string& out);
  void finish(std::string& out);

 private:
  void utf8Piece(const char* data, size_t n, std::string& out);
  void utf16Piece(const char* data, size_t n, std::string& out);
  bool m_toUtf16;
  std::string m_carry;  // an incomplete sequence from the last piece
};

// Reads a whole value piece by piece (read(offset, buf, n, got)) and writes
// it converted into a new staged value.
using RangeReader = std::function<HRESULT(uint64_t offset, void* buf, size_t n, size_t& got)>;
HRESULT convertToStaged(const RangeReader& read, bool toUtf16, std::shared_ptr<StagedValue>& out, std::string& error);

// Changes to one object's properties since it was opened; id 0 for an
// object not yet in the store. Keys are property ids.
struct PropState {
  ObjectId id = 0;
  std::map<ULONG, Prop> set;
  std::map<ULONG, StagedEntry> staged;
  std::set<ULONG> deleted;

  void setValue(Prop p);
  // A PT_UNICODE tag marks the staged bytes as UTF-16LE.
  void setStaged(ULONG tag, std::shared_ptr<StagedValue> value);
  void deleteValue(ULONG propId);
  bool changed() const { return !set.empty() || !staged.empty() || !deleted.empty(); }
};

struct AttachState;

struct MessageState : PropState {
  // Recipients: when recipsChanged, recips is the whole new list (each row
  // with its PR_ROWID); otherwise the stored rows hold.
  bool recipsChanged = false;
  std::vector<PropRow> recips;
  // Attachments saved into the message since it was opened, and the
  // numbers deleted; the others are as stored.
  std::map<ULONG, std::shared_ptr<const AttachState>> attachments;
  std::set<ULONG> deletedAttachments;
  ULONG nextAttachNum = 0;  // 0: not yet known
};

struct AttachState : PropState {
  ULONG num = 0;
  // When embeddedChanged, embedded is the attachment's message (null: the
  // attachment has none any more).
  bool embeddedChanged = false;
  std::shared_ptr<const MessageState> embedded;
};

// Whether a stored value of storedTag answers a request for wantedType
// (PT_UNSPECIFIED, or the same type with strings in either width); outTag
// is the tag to report.
bool typeAnswers(ULONG storedTag, ULONG wantedType, ULONG& outTag);

// Reads one property of an object through its uncommitted state, then the
// store: values above sizeLimit come back as PT_ERROR with
// MAPI_E_NOT_ENOUGH_MEMORY, absent ones as PT_ERROR with MAPI_E_NOT_FOUND.
HRESULT readStateProp(StoreDb& db, const PropState& st, ULONG tag, ULONG sizeLimit, Prop& out);
// The tags of the object's values, stored and uncommitted.
HRESULT stateTags(StoreDb& db, const PropState& st, std::vector<ULONG>& tags);
// readStateProp for several tags, out in their order: those the state does
// not answer are read from the store with one statement.
HRESULT readStateProps(StoreDb& db, const PropState& st, const std::vector<ULONG>& tags, ULONG sizeLimit,
                       PropRow& out);
// Writes the state's changes of properties into the store object id
// (inside the caller's transaction).
HRESULT writeStateProps(StoreDb& db, const PropState& st, ObjectId id);

// What the IMAPIProp objects of the store have in common for GetProps and
// GetPropList: computed values first, then the object's own.
class PropReader {
 public:
  virtual ~PropReader() = default;
  // Computed values of the object (entry identifiers, counts, ...).
  virtual PropRow computedProps() = 0;
  virtual HRESULT readOwn(ULONG tag, ULONG sizeLimit, Prop& out) = 0;
  // Several values, in the order of tags: by default one readOwn each; an
  // object whose values are in the store reads them with one statement.
  virtual HRESULT readOwnMany(const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& out);
  virtual HRESULT ownTags(std::vector<ULONG>& tags) = 0;
};

// GetProps and GetPropList for a PropReader; text receives the failure.
HRESULT getPropsFor(PropReader& obj, LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values,
                    std::string& text);
HRESULT getPropListFor(PropReader& obj, ULONG flags, LPSPropTagArray* tags, std::string& text);

// The problem array of SetProps/DeleteProps (null when there are none or
// the caller passed no pointer).
HRESULT makeProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out);

std::string tagText(ULONG tag);  // "0x0037001E"

}  // namespace tmapi

#endif
