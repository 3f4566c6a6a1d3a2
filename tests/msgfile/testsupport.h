// Helpers of the msgfile tests: temporary folders, the independent reader,
// checksums and memory figures.
#ifndef TOLVANE_TESTS_MSGFILE_TESTSUPPORT_H
#define TOLVANE_TESTS_MSGFILE_TESTSUPPORT_H

#include <tolvane/mapitest.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

namespace msgtest {

// A fresh folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::string listing() const;

 private:
  std::string m_path;
};

std::wstring wide(const std::string& s);  // UTF-8 -> wchar_t

// SHA-256 of bytes given in pieces, as lowercase hex.
class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t n);
  std::string hex();

 private:
  void block(const unsigned char* p);
  uint32_t m_h[8];
  unsigned char m_buf[64];
  size_t m_fill = 0;
  uint64_t m_total = 0;
};

// What the independent reader read: "path" -> JSON value, e.g.
// "attachments.0.size" -> "3145728", "subject" -> "\"Hello\"".
struct ReaderResult {
  bool ran = false;
  std::string why;  // when !ran
  std::map<std::string, std::string> values;
  std::string get(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? "<absent>" : it->second;
  }
  bool hasTag(const std::string& prefix, const std::string& tag) const;
};
ReaderResult readWithIndependentReader(const std::string& msgPath);

// A string as JSON.stringify writes it.
std::string json(const std::string& utf8);

// Peak resident memory of the process (kB), and resetting the peak to now.
long peakRssKiB();
void resetPeakRss();
long fileSize(const std::string& path);

// Every test ends with the objects and buffers it found.
class LiveCountsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  long m_objects = 0;
  long m_buffers = 0;
};

}  // namespace msgtest

#endif
