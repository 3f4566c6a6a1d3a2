// The progress of a long command (deliver with many files, store copy): a
// line on standard error rewritten in place while the work goes on, drawn
// only when standard error is a terminal, and the time the work took for
// the summary line every such command ends with.
#ifndef TOLVANE_TOOL_PROGRESS_H
#define TOLVANE_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

class ProgressLine {
 public:
  // who: the command, as its lines begin ("deliver"); unit: what is
  // counted ("messages").
  ProgressLine(std::string who, std::string unit);
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // "deliver: 120 of 6000 messages, 85/s, 1 min 09 s left", drawn again
  // at most every tenth of a second, and when done reaches total.
  void update(uint64_t done, uint64_t total);
  // Removes the line, so that the next line of standard error (the
  // summary, an error) starts on an empty one.
  void clear();
  // Seconds since the work began.
  double seconds() const;

 private:
  std::string m_who, m_unit;
  bool m_shown;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_start, m_last;
};

// A duration for people: "0.4 s", "12.0 s", "3 min 05 s", "2 h 03 min".
std::string durationText(double seconds);

#endif
