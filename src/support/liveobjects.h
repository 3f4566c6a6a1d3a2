// The native objects that exist, by address and kind, and what became of the
// ones that no longer do.
//
// The JNI bridge hands Java each object's address as its handle and takes
// handles back from Java. It looks every handle up here before following it,
// so that a handle of a deleted object, or of an object of another kind, is
// refused instead of being followed into freed memory.
//
// Objects enter as they are made (in their constructors) and leave as they
// are deleted (in their destructors), whoever deletes them: a folder its
// messages, a content its multipart and parts, the bridge a store. A leaving
// object leaves a short record of why it went (the Ending in force on its
// thread), so that a later use of its handle can be answered with the reason
// ("The folder of this message is closed"). Those records are kept for the
// most recent deletions only, and dropped when a new object takes the
// address.
#ifndef TOLVANE_SUPPORT_LIVEOBJECTS_H
#define TOLVANE_SUPPORT_LIVEOBJECTS_H

#include <cstddef>

namespace liveobjects {

enum class Kind : unsigned char {
  None = 0,
  Store,
  Transport,
  Folder,
  Message,
  AttachedMessage,
  Multipart,
  BodyPart,
};

// Records `object` as a live object of `kind`; an object entered again (a
// derived class's constructor after its base's) takes the new kind. Throws
// std::bad_alloc.
void enter(const void* object, Kind kind);
// Records that `object` no longer exists, with the thread's Ending.
void leave(const void* object) noexcept;

// The kind of the live object at this address; Kind::None when there is none.
Kind kindOf(const void* object) noexcept;

// Why the last object at an address that holds no live object went.
struct End {
  Kind kind = Kind::None;
  // The Ending's text; null when it went without one.
  const char* text = nullptr;
  // The Ending's owner (the store whose folder closed, say); may be gone too.
  const void* owner = nullptr;
};
// False when nothing is known of the address (never used, or forgotten).
bool endOf(const void* object, End& end) noexcept;

// While one lives on a thread, the objects deleted on that thread leave with
// its text and owner. Endings nest: the outermost one speaks, as the owner
// that went first takes everything under it along. `text` must outlive the
// records (a literal).
class Ending {
 public:
  explicit Ending(const char* text, const void* owner = nullptr) noexcept;
  ~Ending();
  Ending(const Ending&) = delete;
  Ending& operator=(const Ending&) = delete;

 private:
  bool m_bOutermost;
};

// How many live objects of a kind exist (for tests of leaks).
std::size_t count(Kind kind) noexcept;

}  // namespace liveobjects

#endif
