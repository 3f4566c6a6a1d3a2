#include "support/liveobjects.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace liveobjects {
namespace {

// How many ends are remembered: the most recent ones. A handle of an object
// that went longer ago is answered as an unknown handle.
constexpr std::size_t kRememberedEnds = 1u << 16;

struct Record {
  End end;
  std::uint64_t serial;  // tells a record from a newer one at the same address
};

struct Table {
  std::mutex lock;
  std::unordered_map<const void*, Kind> live;
  std::unordered_map<const void*, Record> ended;
  // Addresses of the remembered ends, oldest first, with their serials.
  std::deque<std::pair<const void*, std::uint64_t>> order;
  std::uint64_t serial = 0;
  std::size_t counts[static_cast<int>(Kind::BodyPart) + 1] = {};
};

// Never destroyed: objects may still leave after the statics of this file
// are gone, at the end of the process.
Table& table() {
  static Table* t = new Table;
  return *t;
}

struct CurrentEnding {
  bool active;
  const char* text;
  const void* owner;
};
thread_local CurrentEnding t_ending = {false, nullptr, nullptr};

}  // namespace

void enter(const void* object, Kind kind) {
  Table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto placed = t.live.emplace(object, kind);
  if (!placed.second) {
    --t.counts[static_cast<int>(placed.first->second)];
    placed.first->second = kind;
  } else {
    t.ended.erase(object);
  }
  ++t.counts[static_cast<int>(kind)];
}

void leave(const void* object) noexcept {
  Table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto found = t.live.find(object);
  if (found == t.live.end()) return;
  Kind kind = found->second;
  --t.counts[static_cast<int>(kind)];
  t.live.erase(found);
  try {
    Record record;
    record.end.kind = kind;
    if (t_ending.active) {
      record.end.text = t_ending.text;
      record.end.owner = t_ending.owner;
    }
    record.serial = ++t.serial;
    t.order.emplace_back(object, record.serial);
    t.ended[object] = record;
    while (t.order.size() > kRememberedEnds) {
      auto oldest = t.order.front();
      t.order.pop_front();
      auto it = t.ended.find(oldest.first);
      if (it != t.ended.end() && it->second.serial == oldest.second) t.ended.erase(it);
    }
  } catch (...) {
    // Without memory the end is not remembered: its handle reads as unknown.
    t.ended.erase(object);
  }
}

Kind kindOf(const void* object) noexcept {
  Table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  auto found = t.live.find(object);
  return found == t.live.end() ? Kind::None : found->second;
}

bool endOf(const void* object, End& end) noexcept {
  Table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  if (t.live.count(object)) return false;
  auto found = t.ended.find(object);
  if (found == t.ended.end()) return false;
  end = found->second.end;
  return true;
}

Ending::Ending(const char* text, const void* owner) noexcept : m_bOutermost(!t_ending.active) {
  if (m_bOutermost) t_ending = {true, text, owner};
}

Ending::~Ending() {
  if (m_bOutermost) t_ending = {false, nullptr, nullptr};
}

std::size_t count(Kind kind) noexcept {
  Table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  return t.counts[static_cast<int>(kind)];
}

}  // namespace liveobjects
