// A one-line progress bar on stderr for long transfers, drawn only when
// stderr is a terminal and redrawn at most ten times a second.
#ifndef VEXA_TOOL_PROGRESS_H
#define VEXA_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace vexa_tool {

// The bar's text: "[#####     ]  50%  32768/65536 bytes  1.2 MB/s" with a
// known total, "32768 bytes  1.2 MB/s" without (total 0).
std::string format_progress(uint64_t done, uint64_t total, double seconds);

// "512 B/s", "12.5 kB/s", "1.2 MB/s".
std::string format_rate(double bytes_per_second);

class Progress {
 public:
  Progress(std::ostream &err, bool enabled, uint64_t total);
  ~Progress();
  void update(uint64_t done);
  // Draws the final state and ends the line; called by the destructor too.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void draw();
  std::ostream &err_;
  bool enabled_;
  bool finished_ = false;
  uint64_t total_;
  uint64_t done_ = 0;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
};

}  // namespace vexa_tool

#endif
