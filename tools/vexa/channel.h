// Naming and opening one channel from the command line (DEVICE argument), and
// an owned open handle that is closed on every path out of a command.
#ifndef VEXA_TOOL_CHANNEL_H
#define VEXA_TOOL_CHANNEL_H

#include <cstdint>
#include <memory>
#include <string>

#include "vexa.h"

namespace vexa_tool {

// DEVICE as the user wrote it: an index, "serial:TEXT" or "desc:TEXT". The
// text may end in " A" or " B"; the library picks the channel from it.
struct ChannelSpec {
  enum class Kind { Index, Serial, Description } kind = Kind::Index;
  int index = 0;
  std::string text;
};

// Throws ToolError for anything that is none of the three forms.
ChannelSpec parse_channel_spec(const std::string &device);

// An application-owned event object, registered with the library so that
// received data wakes a waiting thread instead of being polled for.
class RxEvent;

class Channel {
 public:
  // Opens the channel; throws StatusError naming DEVICE on failure.
  explicit Channel(const std::string &device);
  ~Channel();
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;

  KX_HANDLE handle() const { return handle_; }
  const std::string &name() const { return name_; }

  // Registers for KX_EVENT_RX_DATA. Call once before wait_for_data.
  void enable_rx_events();
  // Registers for KX_EVENT_MODEM_CHANGED. Call once before wait_for_modem_change.
  void enable_modem_events();
  // Waits until the modem status changes or interrupt() is called; returns
  // false when interrupted.
  bool wait_for_modem_change();
  // Waits until received bytes are queued, the deadline (ms from now, 0 =
  // none) passes, or interrupt() is called. Returns the queued byte count.
  uint32_t wait_for_data(uint32_t timeout_ms);
  // Ends a wait_for_data in another thread, now and from now on.
  void interrupt();

 private:
  KX_HANDLE handle_ = nullptr;
  std::string name_;
  // Must outlive the handle: the reader thread may signal it until KX_Close.
  std::unique_ptr<RxEvent> event_;
};

}  // namespace vexa_tool

#endif
