#include "progress.h"

#include <cstdio>
#include <ostream>

namespace vexa_tool {

std::string format_rate(double bytes_per_second) {
  char text[32];
  if (bytes_per_second >= 1e6)
    std::snprintf(text, sizeof text, "%.1f MB/s", bytes_per_second / 1e6);
  else if (bytes_per_second >= 1e3)
    std::snprintf(text, sizeof text, "%.1f kB/s", bytes_per_second / 1e3);
  else
    std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
  return text;
}

std::string format_progress(uint64_t done, uint64_t total, double seconds) {
  const std::string rate = format_rate(seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
  if (total == 0) return std::to_string(done) + " bytes  " + rate;
  if (done > total) done = total;
  const int width = 30;
  const int filled = static_cast<int>(done * width / total);
  const int percent = static_cast<int>(done * 100 / total);
  char head[16];
  std::snprintf(head, sizeof head, "] %3d%%  ", percent);
  return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + head +
         std::to_string(done) + "/" + std::to_string(total) + " bytes  " + rate;
}

Progress::Progress(std::ostream &err, bool enabled, uint64_t total)
    : err_(err), enabled_(enabled), total_(total) {}

Progress::~Progress() { finish(); }

void Progress::update(uint64_t done) {
  done_ = done;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw();
}

void Progress::finish() {
  if (finished_) return;
  finished_ = true;
  if (!enabled_) return;
  draw();
  err_ << '\n' << std::flush;
}

void Progress::draw() {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  // Carriage return and erase-to-end so the bar redraws in place.
  err_ << '\r' << format_progress(done_, total_, seconds) << "\x1b[K" << std::flush;
}

}  // namespace vexa_tool
