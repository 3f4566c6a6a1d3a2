#include "progress.h"

#include "service.h"

#include <cstdio>
#include <unistd.h>

ProgressLine::ProgressLine(std::string who, std::string unit)
    : m_who(std::move(who)),
      m_unit(std::move(unit)),
      m_shown(isatty(STDERR_FILENO) == 1),
      m_start(std::chrono::steady_clock::now()),
      m_last(m_start) {}

double ProgressLine::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void ProgressLine::update(uint64_t done, uint64_t total) {
  if (!m_shown) return;
  auto now = std::chrono::steady_clock::now();
  if (m_drawn && done < total && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  double elapsed = seconds();
  std::string line = m_who + ": " + std::to_string(done) + " of " + std::to_string(total) + " " + m_unit;
  if (elapsed > 0 && done > 0) {
    double rate = done / elapsed;
    char buf[32];
    snprintf(buf, sizeof buf, rate < 10 ? "%.1f/s" : "%.0f/s", rate);
    line += std::string(", ") + buf;
    if (done < total) line += ", " + durationText((total - done) / rate) + " left";
  }
  // Back to the start of the line, the text, the rest of the old one erased.
  line = "\r" + line + "\033[K";
  service::writeAll(STDERR_FILENO, line.data(), line.size());
  m_drawn = true;
}

void ProgressLine::clear() {
  if (!m_drawn) return;
  static const char erase[] = "\r\033[K";
  service::writeAll(STDERR_FILENO, erase, sizeof erase - 1);
  m_drawn = false;
}

std::string durationText(double seconds) {
  char buf[48];
  if (seconds < 60) {
    snprintf(buf, sizeof buf, "%.1f s", seconds);
  } else if (seconds < 3600) {
    long s = static_cast<long>(seconds + 0.5);
    snprintf(buf, sizeof buf, "%ld min %02ld s", s / 60, s % 60);
  } else {
    long m = static_cast<long>(seconds / 60 + 0.5);
    snprintf(buf, sizeof buf, "%ld h %02ld min", m / 60, m % 60);
  }
  return buf;
}
