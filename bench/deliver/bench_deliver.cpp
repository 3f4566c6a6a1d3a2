// Delivery throughput: the messages of a corpus (gen_corpus.py) delivered
// into a fresh store in one process, against the same messages parsed by
// GMime alone (every part decoded, nothing stored) and read into MAPI
// properties without a store. Prints messages/s and MB/s of each, and the
// cost of storing over parsing. Figures, not a test: nothing is asserted.
//
//   bench_deliver CORPUS_DIR [--benchmark_...]
#include <deliver.h>
#include <mailitem.h>
#include <mimereader.h>

#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapiutil.h>

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> g_files;
uint64_t g_bytes = 0;
double g_parseSeconds = 0, g_readSeconds = 0, g_deliverSeconds = 0;
std::string g_home;

void loadCorpus(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    fprintf(stderr, "bench_deliver: cannot open %s\n", dir.c_str());
    exit(2);
  }
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0) g_files.push_back(dir + "/" + name);
  }
  closedir(d);
  std::sort(g_files.begin(), g_files.end());
  std::vector<char> buf(1 << 20);
  for (const auto& f : g_files) {
    // Read once, so that every pass finds the files in the page cache.
    int fd = open(f.c_str(), O_RDONLY);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) g_bytes += static_cast<uint64_t>(n);
    close(fd);
  }
}

GMimeStream* openStream(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  return fd < 0 ? nullptr : g_mime_stream_fs_new(fd);
}

// Every leaf decoded to nowhere: what storing would have to read.
void decodeAll(GMimeObject* parent, GMimeObject* part, gpointer data) {
  (void)parent;
  size_t* total = static_cast<size_t*>(data);
  if (GMIME_IS_MESSAGE_PART(part)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
    if (inner) g_mime_message_foreach(inner, decodeAll, data);
    return;
  }
  if (!GMIME_IS_PART(part)) return;
  mapimime::DecodedReader reader(part);
  char buf[65536];
  ssize_t n;
  while ((n = reader.read(buf, sizeof buf)) > 0) *total += static_cast<size_t>(n);
}

void finish(benchmark::State& state, double seconds, double& keep) {
  keep = seconds;
  state.SetIterationTime(seconds);
  state.SetItemsProcessed(static_cast<int64_t>(g_files.size()));
  state.SetBytesProcessed(static_cast<int64_t>(g_bytes));
  state.counters["messages"] = static_cast<double>(g_files.size());
  state.counters["MB_per_s"] = static_cast<double>(g_bytes) / 1e6 / seconds;
  state.counters["msgs_per_s"] = static_cast<double>(g_files.size()) / seconds;
}

void BM_GMimeParseOnly(benchmark::State& state) {
  for (auto _ : state) {
    size_t decoded = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto& f : g_files) {
      GMimeStream* s = openStream(f);
      GMimeParser* parser = g_mime_parser_new_with_stream(s);
      g_mime_parser_set_persist_stream(parser, TRUE);
      GMimeMessage* m = g_mime_parser_construct_message(parser, nullptr);
      if (m) {
        g_mime_message_foreach(m, decodeAll, &decoded);
        g_object_unref(m);
      }
      g_object_unref(parser);
      g_object_unref(s);
    }
    benchmark::DoNotOptimize(decoded);
    finish(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), g_parseSeconds);
  }
}

void BM_ReadIntoMapiProperties(benchmark::State& state) {
  for (auto _ : state) {
    size_t attachments = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto& f : g_files) {
      GMimeStream* s = openStream(f);
      mapimime::MailItem item;
      std::string error;
      mapimime::MimeReader::read(s, item, error);
      // Decode the attachment data too, as delivery does.
      for (const auto& a : item.attachments) attachments += mapimime::attachmentData(a).size();
      g_object_unref(s);
    }
    benchmark::DoNotOptimize(attachments);
    finish(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), g_readSeconds);
  }
}

void BM_DeliverIntoStore(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::string cmd = "rm -rf '" + g_home + "'";
    if (system(cmd.c_str()) != 0) state.SkipWithError("cannot clear the MAPI home");
    mapiprofile::Profile p;
    p.name = "bench";
    std::string error;
    if (FAILED(mapiprofile::create(p, error))) state.SkipWithError(error.c_str());
    mapimime::MailDelivery delivery;
    if (FAILED(delivery.open("bench", error))) state.SkipWithError(error.c_str());
    state.ResumeTiming();
    size_t failed = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto& f : g_files)
      if (!delivery.deliverFile(f).ok()) ++failed;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    finish(state, seconds, g_deliverSeconds);
    state.counters["failed"] = static_cast<double>(failed);
    struct stat st;
    if (stat((g_home + "/stores/bench.db").c_str(), &st) == 0)
      state.counters["store_MB"] = static_cast<double>(st.st_size) / 1e6;
  }
}

BENCHMARK(BM_GMimeParseOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ReadIntoMapiProperties)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_DeliverIntoStore)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: bench_deliver CORPUS_DIR [--benchmark_...]\n");
    return 2;
  }
  mapimime::initMime();
  loadCorpus(argv[1]);
  // The store's folder: BENCH_DIR (e.g. a tmpfs, to leave the disk's
  // flushes out), else /tmp.
  const char* dir = getenv("BENCH_DIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tolvane-bench-deliver-XXXXXX";
  std::vector<char> tmpl(pattern.begin(), pattern.end());
  tmpl.push_back('\0');
  if (!mkdtemp(tmpl.data())) return 2;
  g_home = std::string(tmpl.data()) + "/home";
  setenv("TOLVANE_MAPI_HOME", g_home.c_str(), 1);
  printf("corpus: %zu messages, %.1f MB\n", g_files.size(), static_cast<double>(g_bytes) / 1e6);
  benchmark::RunSpecifiedBenchmarks();
  if (g_parseSeconds > 0 && g_deliverSeconds > 0) {
    double n = static_cast<double>(g_files.size()), mb = static_cast<double>(g_bytes) / 1e6;
    printf("\nGMime parse only:        %8.0f messages/s  %7.1f MB/s\n", n / g_parseSeconds, mb / g_parseSeconds);
    if (g_readSeconds > 0)
      printf("read into properties:    %8.0f messages/s  %7.1f MB/s\n", n / g_readSeconds, mb / g_readSeconds);
    printf("deliver into the store:  %8.0f messages/s  %7.1f MB/s\n", n / g_deliverSeconds, mb / g_deliverSeconds);
    printf("storing over parsing:    %8.1f x the time of parsing alone\n", g_deliverSeconds / g_parseSeconds);
  }
  std::string cmd = std::string("rm -rf '") + tmpl.data() + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "bench_deliver: could not remove %s\n", tmpl.data());
  benchmark::Shutdown();
  return 0;
}
