// Copies of whole message stores (tolvane/storecopy.h), through the
// StoreDb interface of both ends, so any engine copies into any other.
#include <tolvane/storecopy.h>

#include "store/engines.h"
#include "store/storedb.h"
#include "store/valuecodec.h"

#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace mapistore {

using tmapi::ObjectId;
using tmapi::Prop;
using tmapi::PropRow;
using tmapi::StoreDb;

namespace {

// Values up to this long are copied with their object's row; longer ones
// (bodies, attachment data) piece by piece.
const ULONG kInlineValue = 64 * 1024;
// Values up to this long are compared when a folder the target holds
// already is checked against the source's.
const ULONG kCompareValue = 4096;
// What a message the target holds already is checked by: SaveChanges sets
// the last modification and the size, read marks and submission set the
// flags.
const std::vector<ULONG> kMessageMarks = {PR_MESSAGE_FLAGS, PR_LAST_MODIFICATION_TIME, PR_MESSAGE_SIZE,
                                          PR_SUBMIT_FLAGS};

std::string shown(const std::string& location) { return tmapi::storeEngineFor(location).shown(location); }

// The objects of a store, with each object's children.
struct Tree {
  std::vector<StoreDb::ObjectRow> rows;  // each after its parent
  std::unordered_map<ObjectId, size_t> at;
  std::unordered_map<ObjectId, std::vector<size_t>> children;

  HRESULT load(StoreDb& db) {
    HRESULT hr = db.allObjects(rows);
    if (FAILED(hr)) return hr;
    at.clear();
    children.clear();
    for (size_t k = 0; k < rows.size(); ++k) {
      at[rows[k].id] = k;
      children[rows[k].parent].push_back(k);
    }
    return S_OK;
  }
  const StoreDb::ObjectRow* find(ObjectId id) const {
    auto it = at.find(id);
    return it == at.end() ? nullptr : &rows[it->second];
  }
  // An object and everything below it, each after its parent.
  std::vector<const StoreDb::ObjectRow*> below(ObjectId root) const {
    std::vector<const StoreDb::ObjectRow*> out;
    if (const StoreDb::ObjectRow* r = find(root)) out.push_back(r);
    for (size_t k = 0; k < out.size(); ++k) {
      auto it = children.find(out[k]->id);
      if (it == children.end()) continue;
      for (size_t c : it->second) out.push_back(&rows[c]);
    }
    return out;
  }
};

bool isFolder(const StoreDb::ObjectRow& r) { return r.kind == MAPI_FOLDER; }

// Values in tag order, so rows of two engines compare.
void sortByTag(PropRow& row) {
  std::sort(row.begin(), row.end(), [](const Prop& a, const Prop& b) { return a.tag < b.tag; });
}

bool sameValues(PropRow a, PropRow b) {
  if (a.size() != b.size()) return false;
  sortByTag(a);
  sortByTag(b);
  for (size_t k = 0; k < a.size(); ++k) {
    const Prop& x = a[k];
    const Prop& y = b[k];
    if (x.tag != y.tag || x.i != y.i || x.bytes != y.bytes || x.mv != y.mv || x.mvi != y.mvi ||
        memcmp(&x.d, &y.d, sizeof x.d) != 0)
      return false;
  }
  return true;
}

// Bytes of a value as StoreDb::Totals counts them.
uint64_t countedBytes(const Prop& p) {
  ULONG type = PROP_TYPE(p.tag);
  if (tmapi::isBytesType(tmapi::storedType(type))) return p.bytes.size();
  if (tmapi::isMvBytesType(type) || tmapi::isMvIntType(type)) return tmapi::encodeMv(p).size();
  return 8;
}

class Copier {
 public:
  Copier(StoreDb& src, StoreDb& dst) : m_src(src), m_dst(dst) {}

  uint64_t bytes() const { return m_bytes; }
  // What failed last, in words.
  const std::string& error() const { return m_error; }

  // Writes every value of the source's object id to the target's object of
  // the same id, which holds none.
  HRESULT copyValues(ObjectId id) {
    std::vector<ULONG> tags;
    HRESULT hr = m_src.propTags(id, tags);
    if (FAILED(hr)) return fromSource(hr);
    // Multi-valued values cannot be written in pieces: they are read whole.
    std::vector<ULONG> limited, whole;
    for (ULONG t : tags)
      (tmapi::isMvBytesType(PROP_TYPE(t)) || tmapi::isMvIntType(PROP_TYPE(t)) ? whole : limited).push_back(t);
    PropRow values, wholeValues;
    hr = m_src.getProps(id, limited, kInlineValue, values);
    if (SUCCEEDED(hr) && !whole.empty()) hr = m_src.getProps(id, whole, 0xFFFFFFFF, wholeValues);
    if (FAILED(hr)) return fromSource(hr);
    PropRow batch;
    std::vector<ULONG> streamed;
    for (size_t k = 0; k < limited.size(); ++k) {
      const Prop& p = values[k];
      // A stored PT_ERROR value is a value like any other.
      bool error = PROP_TYPE(p.tag) == PT_ERROR && PROP_TYPE(limited[k]) != PT_ERROR;
      if (error && p.i == MAPI_E_NOT_ENOUGH_MEMORY) {
        streamed.push_back(PROP_ID(limited[k]));
      } else if (error) {
        m_error = "the source changed while it was read (a value went)";
        return MAPI_E_OBJECT_CHANGED;
      } else {
        batch.push_back(p);
      }
    }
    batch.insert(batch.end(), wholeValues.begin(), wholeValues.end());
    for (const Prop& p : batch) m_bytes += countedBytes(p);
    hr = m_dst.setProps(id, batch);
    if (FAILED(hr)) return fromTarget(hr);
    for (ULONG propId : streamed) {
      hr = copyPieces(id, propId);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  // One message of a folder (or any object) with everything below it, in
  // one transaction of the target; one that was there is replaced.
  HRESULT copyTree(const Tree& source, ObjectId root, bool replace) {
    StoreDb::ReadScope reading(m_src);
    HRESULT hr = m_dst.begin(false);
    if (FAILED(hr)) return fromTarget(hr);
    if (replace && FAILED(hr = m_dst.deleteObject(root))) return m_dst.rollback(), fromTarget(hr);
    for (const StoreDb::ObjectRow* row : source.below(root)) {
      hr = m_dst.putObject(*row);
      if (FAILED(hr)) return m_dst.rollback(), fromTarget(hr);
      hr = copyValues(row->id);
      if (FAILED(hr)) return m_dst.rollback(), hr;
    }
    hr = m_dst.commit();
    return FAILED(hr) ? fromTarget(hr) : S_OK;
  }

  // A folder the target holds already gets the source's values when they
  // differ (inside the caller's transaction).
  HRESULT refreshValues(ObjectId id) {
    PropRow a, b;
    HRESULT hr = m_src.getAllProps(id, kCompareValue, a);
    if (FAILED(hr)) return fromSource(hr);
    hr = m_dst.getAllProps(id, kCompareValue, b);
    if (FAILED(hr)) return fromTarget(hr);
    if (sameValues(a, b)) return S_OK;
    std::vector<ULONG> tags;
    hr = m_dst.propTags(id, tags);
    if (SUCCEEDED(hr)) hr = m_dst.deleteProps(id, tags);
    if (FAILED(hr)) return fromTarget(hr);
    return copyValues(id);
  }

  HRESULT fromSource(HRESULT hr) {
    m_error = m_src.lastError();
    return hr;
  }
  HRESULT fromTarget(HRESULT hr) {
    m_error = m_dst.lastError();
    return hr;
  }

 private:
  HRESULT copyPieces(ObjectId id, ULONG propId) {
    ULONG type = 0;
    uint64_t size = 0;
    bool found = false;
    HRESULT hr = m_src.valueInfo(id, propId, type, size, found);
    if (FAILED(hr)) return fromSource(hr);
    if (!found) {
      m_error = "the source changed while it was read (a value went)";
      return MAPI_E_OBJECT_CHANGED;
    }
    std::string readError;
    auto read = [&](uint64_t offset, void* buf, size_t n) -> HRESULT {
      for (size_t done = 0; done < n;) {
        size_t got = 0;
        HRESULT r = m_src.readRange(id, propId, offset + done, static_cast<char*>(buf) + done, n - done, got);
        if (FAILED(r)) {
          readError = m_src.lastError();
          return r;
        }
        if (got == 0) {
          readError = "the source changed while it was read (a value got shorter)";
          return MAPI_E_OBJECT_CHANGED;
        }
        done += got;
      }
      return S_OK;
    };
    hr = m_dst.setValueFromPieces(id, PROP_TAG(type, propId), size, read);
    if (FAILED(hr)) {
      m_error = readError.empty() ? m_dst.lastError() : readError;
      return hr;
    }
    m_bytes += size;
    return S_OK;
  }

  StoreDb& m_src;
  StoreDb& m_dst;
  uint64_t m_bytes = 0;
  std::string m_error;
};

std::string totalsText(const StoreDb::Totals& a, const StoreDb::Totals& b) {
  struct Field {
    const char* name;
    uint64_t StoreDb::Totals::*value;
  };
  const Field fields[] = {{"folders", &StoreDb::Totals::folders},         {"messages", &StoreDb::Totals::messages},
                          {"attachments", &StoreDb::Totals::attachments}, {"recipient rows", &StoreDb::Totals::recipients},
                          {"named properties", &StoreDb::Totals::namedProps}, {"queued messages", &StoreDb::Totals::queued},
                          {"bytes of values", &StoreDb::Totals::bytes}};
  std::string text;
  for (const Field& f : fields) {
    if (a.*f.value == b.*f.value) continue;
    text += (text.empty() ? "" : "; ") + std::string(f.name) + ": " + std::to_string(a.*f.value) +
            " in the source, " + std::to_string(b.*f.value) + " in the copy";
  }
  return text;
}

// The copy's frame, in one transaction: what the source no longer has goes,
// the names and the folders come (folders the target has are moved and
// refreshed as the source has them).
HRESULT copyFrame(StoreDb& src, StoreDb& dst, const Tree& source, Copier& copier) {
  HRESULT hr = dst.begin();
  if (FAILED(hr)) return copier.fromTarget(hr);
  Tree target;
  hr = target.load(dst);
  if (FAILED(hr)) return dst.rollback(), copier.fromTarget(hr);
  std::unordered_set<ObjectId> gone;
  for (const StoreDb::ObjectRow& row : target.rows) {
    const StoreDb::ObjectRow* there = source.find(row.id);
    if (gone.count(row.parent)) {
      gone.insert(row.id);  // went with its parent
    } else if (!there || there->kind != row.kind) {
      gone.insert(row.id);
      hr = dst.deleteObject(row.id);
      if (FAILED(hr)) return dst.rollback(), copier.fromTarget(hr);
    }
  }
  std::vector<StoreDb::NamedProp> names, have;
  hr = src.allNamedProps(names);
  if (FAILED(hr)) return dst.rollback(), copier.fromSource(hr);
  hr = dst.allNamedProps(have);
  if (FAILED(hr)) return dst.rollback(), copier.fromTarget(hr);
  std::set<ULONG> had;
  for (const auto& n : have) had.insert(n.id);
  for (const auto& n : names) {
    if (had.count(n.id)) continue;  // names are never taken back: one there is the source's
    hr = dst.putNamedProp(n);
    if (FAILED(hr)) return dst.rollback(), copier.fromTarget(hr);
  }
  for (const StoreDb::ObjectRow& row : source.rows) {
    if (!isFolder(row)) continue;
    const StoreDb::ObjectRow* there = gone.count(row.id) ? nullptr : target.find(row.id);
    if (!there) {
      hr = dst.putObject(row);
      if (FAILED(hr)) return dst.rollback(), copier.fromTarget(hr);
      hr = copier.copyValues(row.id);
    } else {
      if (there->parent != row.parent && FAILED(hr = dst.moveObject(row.id, row.parent)))
        return dst.rollback(), copier.fromTarget(hr);
      hr = copier.refreshValues(row.id);
    }
    if (FAILED(hr)) return dst.rollback(), hr;
  }
  hr = dst.commit();
  return FAILED(hr) ? copier.fromTarget(hr) : S_OK;
}

// The source's queue, as it is: a spooler that holds an entry now is
// sending it, and its progress would not reach the copy.
HRESULT readQueue(StoreDb& src, std::vector<StoreDb::QueueEntry>& entries,
                  std::vector<std::vector<StoreDb::QueueRecipient>>& recipients, const std::string& from,
                  std::string& error) {
  HRESULT hr = src.queueEntries(entries);
  if (FAILED(hr)) {
    error = src.lastError();
    return hr;
  }
  StoreDb::LeaseTime now = StoreDb::LeaseTime::now();
  recipients.assign(entries.size(), {});
  for (size_t k = 0; k < entries.size(); ++k) {
    if (entries[k].heldAt(now)) {
      error = "A spooler is sending a queued message of " + shown(from) +
              " now: stop the spoolers of that store and run the copy again; nothing was written";
      return MAPI_E_BUSY;
    }
    hr = src.queueRecipients(entries[k].id, recipients[k]);
    if (FAILED(hr)) {
      error = src.lastError();
      return hr;
    }
  }
  return S_OK;
}

// The unfinished copy at `to` for the source: the one there (of this
// source), or a new one. A store at `to` with more than its standard
// folders is refused before anything is written.
HRESULT targetFor(StoreDb& src, const std::string& from, const std::string& to, std::unique_ptr<StoreDb>& dst,
                  std::string& error) {
  const tmapi::StoreEngine& engine = tmapi::storeEngineFor(to);
  StoreDb* opened = nullptr;
  std::string why;
  HRESULT hr = engine.openCopy(to, &opened, why);
  if (SUCCEEDED(hr)) {
    dst.reset(opened);
    if (memcmp(dst->uid().ab, src.uid().ab, sizeof src.uid().ab) == 0) return S_OK;
    // An unfinished copy of another store holds nothing finished: it goes.
    dst.reset();
    hr = engine.destroyCopy(to, why);
    if (FAILED(hr)) {
      error = "The unfinished copy of another store at " + shown(to) + " cannot be removed: " + why;
      return hr;
    }
  } else if (hr != MAPI_E_NOT_FOUND) {
    error = why;
    return hr;
  }
  hr = StoreDb::open(to, &opened, why);
  if (SUCCEEDED(hr)) {
    std::unique_ptr<StoreDb> there(opened);
    bool bare = false;
    if (memcmp(there->uid().ab, src.uid().ab, sizeof src.uid().ab) == 0) {
      error = "The target " + shown(to) + " holds this store already (it is the source, or a finished copy of it); "
              "nothing was written";
      return MAPI_E_COLLISION;
    }
    hr = there->isBare(bare);
    if (FAILED(hr)) {
      error = there->lastError();
      return hr;
    }
    if (!bare) {
      error = "The target " + shown(to) + " holds a message store with messages, folders or names of its own; "
              "nothing was written";
      return MAPI_E_COLLISION;
    }
  } else if (hr != MAPI_E_NOT_FOUND) {
    error = why;
    return hr;
  }
  tmapi::StoreIdentity identity;
  identity.uid = src.uid();
  identity.displayName = src.displayName();
  identity.folders = src.folders();
  identity.origin = shown(from);
  hr = engine.createCopy(to, identity, why);
  if (SUCCEEDED(hr)) hr = engine.openCopy(to, &opened, why);
  if (FAILED(hr)) {
    error = why;
    return hr;
  }
  dst.reset(opened);
  return S_OK;
}

}  // namespace

std::string shownLocation(const std::string& location) { return shown(location); }

HRESULT copyStore(const std::string& from, const std::string& to,
                  const std::function<void(const CopyProgress&)>& progress, CopyResult& result, std::string& error) {
  result = CopyResult();
  StoreDb* opened = nullptr;
  HRESULT hr = StoreDb::open(from, &opened, error);
  if (FAILED(hr)) return hr;
  std::unique_ptr<StoreDb> src(opened);
  Tree source;
  hr = source.load(*src);
  if (FAILED(hr)) {
    error = src->lastError();
    return hr;
  }
  std::vector<StoreDb::QueueEntry> queue;
  std::vector<std::vector<StoreDb::QueueRecipient>> queueRecipients;
  hr = readQueue(*src, queue, queueRecipients, from, error);
  if (FAILED(hr)) return hr;

  std::unique_ptr<StoreDb> dst;
  hr = targetFor(*src, from, to, dst, error);
  if (FAILED(hr)) return hr;
  const std::string unfinished =
      ". The copy at " + shown(to) + " is unfinished: run the copy again to go on from where it stopped";
  Copier copier(*src, *dst);
  hr = copyFrame(*src, *dst, source, copier);
  if (FAILED(hr)) {
    error = "The folders could not be copied: " + copier.error() + unfinished;
    return hr;
  }

  // The messages of each folder; those the target holds as the source
  // does stay.
  std::vector<ObjectId> folders;
  for (const StoreDb::ObjectRow& row : source.rows)
    if (isFolder(row)) folders.push_back(row.id);
  CopyProgress now;
  for (const StoreDb::ObjectRow& row : source.rows)
    if (row.kind == MAPI_MESSAGE && source.find(row.parent) && isFolder(*source.find(row.parent))) ++now.messagesTotal;
  Tree target;
  hr = target.load(*dst);
  if (FAILED(hr)) {
    error = dst->lastError() + unfinished;
    return hr;
  }
  for (ObjectId folder : folders) {
    std::vector<StoreDb::ChildRow> srcRows, dstRows;
    hr = src->childRows(folder, MAPI_MESSAGE, kMessageMarks, kCompareValue, srcRows);
    if (FAILED(hr)) {
      error = src->lastError();
      return hr;
    }
    hr = dst->childRows(folder, MAPI_MESSAGE, kMessageMarks, kCompareValue, dstRows);
    if (FAILED(hr)) {
      error = dst->lastError() + unfinished;
      return hr;
    }
    std::unordered_map<ObjectId, const StoreDb::ChildRow*> held;
    for (const auto& r : dstRows) held[r.id] = &r;
    for (const StoreDb::ChildRow& r : srcRows) {
      if (!source.find(r.id)) continue;  // delivered after the copy began: the next run takes it
      auto it = held.find(r.id);
      bool same = it != held.end() && it->second->position == r.position && sameValues(it->second->props, r.props);
      if (!same) {
        hr = copier.copyTree(source, r.id, target.find(r.id) != nullptr);
        if (FAILED(hr)) {
          error = "Message " + std::to_string(now.messages + 1) + " of " + std::to_string(now.messagesTotal) +
                  " could not be copied: " + copier.error() + unfinished;
          return hr;
        }
        ++result.copied;
      }
      ++now.messages;
      now.bytes = copier.bytes();
      if (progress) progress(now);
    }
  }

  hr = dst->putQueue(queue, queueRecipients);
  if (FAILED(hr)) {
    error = "The submission queue could not be copied: " + dst->lastError() + unfinished;
    return hr;
  }
  // The keys of delivered messages go along where the target keeps them.
  StoreDb::DeliveryKeys keys;
  hr = src->deliveryKeys(keys);
  if (FAILED(hr)) {
    error = src->lastError();
    return hr;
  }
  // (of messages the copy holds: one stored since the copy began is left to
  // the next run, as its message is).
  keys.erase(std::remove_if(keys.begin(), keys.end(), [&](const auto& k) { return !source.find(k.second); }),
             keys.end());
  hr = dst->putDeliveryKeys(keys);
  if (FAILED(hr)) {
    error = "The delivery keys could not be copied: " + dst->lastError() + unfinished;
    return hr;
  }
  StoreDb::Totals a, b;
  hr = src->totals(a);
  if (FAILED(hr)) {
    error = src->lastError();
    return hr;
  }
  hr = dst->totals(b);
  if (FAILED(hr)) {
    error = dst->lastError() + unfinished;
    return hr;
  }
  if (!(a == b)) {
    error = "The copy does not match its source (" + totalsText(a, b) + "), which may have changed meanwhile" +
            unfinished;
    return MAPI_E_CALL_FAILED;
  }
  hr = dst->finishCopy();
  if (FAILED(hr)) {
    error = dst->lastError() + unfinished;
    return hr;
  }
  result.messages = now.messagesTotal;
  result.bytes = b.bytes;
  result.folders = b.folders;
  result.attachments = b.attachments;
  return S_OK;
}

}  // namespace mapistore
