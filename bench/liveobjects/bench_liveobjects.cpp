// The table of live native objects that every native consults before it follows a
// handle (src/support/liveobjects.h): what one look-up and one object's entry and
// leave cost with a walk's worth of objects alive. A walk of a folder through the
// natives makes about a dozen look-ups and four or five objects per message
// (bench/README.md puts these figures beside the walk's time per message).
#include "support/liveobjects.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

// Objects of a handle's size, alive while the benchmark runs.
struct Objects {
  explicit Objects(int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      items.emplace_back(new char[48]);
      liveobjects::enter(items.back().get(), liveobjects::Kind::Message);
    }
  }
  ~Objects() {
    for (auto& item : items) liveobjects::leave(item.get());
  }
  std::vector<std::unique_ptr<char[]>> items;
};

void BM_LookUp(benchmark::State& state) {
  Objects live(state.range(0));
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> pick(0, live.items.size() - 1);
  std::vector<const void*> order(4096);
  for (auto& o : order) o = live.items[pick(random)].get();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(liveobjects::kindOf(order[i++ & 4095]));
  }
}
BENCHMARK(BM_LookUp)->Arg(1000)->Arg(100000)->Arg(1000000);

void BM_EnterAndLeave(benchmark::State& state) {
  Objects live(state.range(0));
  std::vector<std::unique_ptr<char[]>> fresh;
  for (int i = 0; i < 64; ++i) fresh.emplace_back(new char[48]);
  size_t i = 0;
  for (auto _ : state) {
    const void* o = fresh[i++ & 63].get();
    liveobjects::enter(o, liveobjects::Kind::BodyPart);
    liveobjects::leave(o);
  }
}
BENCHMARK(BM_EnterAndLeave)->Arg(1000)->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
