// The simulator's own control interface (vexa_sim.h): chips, data, state.
#include <algorithm>
#include <cstring>

#include "sim_model.h"

using namespace vexa_sim;

namespace {

using Lock = std::lock_guard<std::mutex>;

// Runs `change` on a channel under the lock and wakes the chip's waiters.
template <typename F>
int with_channel(int chip, int channel, F change) {
  Lock lock(sim().mutex);
  Channel *c = find_channel(chip, channel);
  if (!c) return -1;
  change(*c);
  find_chip(chip)->changed.notify_all();
  return 0;
}

}  // namespace

SIM_EXPORT void vexa_sim_reset(void) {
  Lock lock(sim().mutex);
  Sim &s = sim();
  if (s.on_reset) s.on_reset();
  // Wake anything still waiting on a chip (there should be nothing).
  for (auto &chip : s.chips) {
    chip->changed.notify_all();
    chip->tx_written.notify_all();
  }
  s.chips.clear();
  s.faults.clear();
  s.log.clear();
  s.log_bulk = true;
  s.initialised = false;
  s.chips_added = false;
  s.next_devnum = 2;
}

SIM_EXPORT int vexa_sim_add_chip(const vexa_sim_chip_config *config) {
  if (!config) return -1;
  std::shared_ptr<Chip> chip = make_chip(*config);
  if (!chip) return -1;
  Lock lock(sim().mutex);
  chip->id = static_cast<int>(sim().chips.size());
  sim().chips.push_back(chip);
  sim().chips_added = true;
  return chip->id;
}

SIM_EXPORT int vexa_sim_unplug(int chip) {
  Lock lock(sim().mutex);
  Chip *c = find_chip(chip);
  if (!c) return -1;
  c->unplugged = true;
  c->changed.notify_all();
  c->tx_written.notify_all();
  return 0;
}

SIM_EXPORT int vexa_sim_add_chips_from_text(const char *text) {
  return vexa_sim_add_chips_checked(text, nullptr, 0);
}

SIM_EXPORT int vexa_sim_add_chips_checked(const char *text, char *message, size_t size) {
  Lock lock(sim().mutex);
  std::string why;
  int added = add_chips_from_text(text, &why);
  if (added > 0) sim().chips_added = true;
  if (added < 0 && message && size > 0) {
    std::strncpy(message, why.c_str(), size - 1);
    message[size - 1] = '\0';
  }
  return added;
}

SIM_EXPORT int vexa_sim_queue_rx(int chip, int channel, const void *data, size_t length) {
  if (!data && length) return -1;
  const auto *bytes = static_cast<const uint8_t *>(data);
  return with_channel(chip, channel, [&](Channel &c) { c.rx.append(bytes, length); });
}

SIM_EXPORT size_t vexa_sim_rx_pending(int chip, int channel) {
  Lock lock(sim().mutex);
  Channel *c = find_channel(chip, channel);
  return c ? c->rx.size() : 0;
}

SIM_EXPORT size_t vexa_sim_take_tx(int chip, int channel, void *buffer, size_t max) {
  Lock lock(sim().mutex);
  Channel *c = find_channel(chip, channel);
  if (!c || (!buffer && max)) return 0;
  size_t n = std::min(max, c->tx.size());
  c->tx.take(static_cast<uint8_t *>(buffer), n);
  return n;
}

SIM_EXPORT size_t vexa_sim_tx_pending(int chip, int channel) {
  Lock lock(sim().mutex);
  Channel *c = find_channel(chip, channel);
  return c ? c->tx.size() : 0;
}

SIM_EXPORT size_t vexa_sim_wait_tx(int chip, int channel, int timeout_ms) {
  std::unique_lock<std::mutex> lock(sim().mutex);
  if (!find_channel(chip, channel)) return 0;
  // Keep the chip alive across the wait even if the simulator is reset.
  std::shared_ptr<Chip> keep = sim().chips[static_cast<size_t>(chip)];
  Channel &c = keep->channels[static_cast<size_t>(channel)];
  auto ready = [&] { return !c.tx.empty() || keep->unplugged; };
  if (timeout_ms < 0) keep->tx_written.wait(lock, ready);
  else keep->tx_written.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
  return c.tx.size();
}

SIM_EXPORT int vexa_sim_set_status(int chip, int channel, uint8_t modem_status, uint8_t line_status) {
  return with_channel(chip, channel, [&](Channel &c) {
    c.state.modem_status = modem_status;
    c.state.line_status = line_status;
  });
}

SIM_EXPORT int vexa_sim_set_loopback(int chip, int channel, int on) {
  return with_channel(chip, channel, [&](Channel &c) { c.loopback = on != 0; });
}

SIM_EXPORT int vexa_sim_set_silent(int chip, int channel, int on) {
  return with_channel(chip, channel, [&](Channel &c) { c.silent = on != 0; });
}

SIM_EXPORT int vexa_sim_set_stalled(int chip, int channel, int on) {
  return with_channel(chip, channel, [&](Channel &c) { c.stalled = on != 0; });
}

SIM_EXPORT int vexa_sim_set_pacing(int chip, int channel, int mode) {
  if (mode < 0 || mode > 2) return -1;
  return with_channel(chip, channel, [&](Channel &c) {
    c.pacing = mode;
    c.slot = 0;
  });
}

SIM_EXPORT int vexa_sim_set_write_limit(int chip, int channel, int max_bytes) {
  if (max_bytes < 0) return -1;
  return with_channel(chip, channel, [&](Channel &c) { c.write_limit = max_bytes; });
}

SIM_EXPORT int vexa_sim_set_kernel_driver(int chip, int channel, const char *name) {
  return with_channel(chip, channel, [&](Channel &c) { c.kernel_driver = name ? name : ""; });
}

SIM_EXPORT int vexa_sim_get_state(int chip, int channel, vexa_sim_channel_state *state) {
  Lock lock(sim().mutex);
  Channel *c = find_channel(chip, channel);
  if (!c || !state) return -1;
  *state = c->state;
  state->claimed = c->claimed_by ? 1 : 0;
  return 0;
}

SIM_EXPORT int vexa_sim_eeprom_get(int chip, unsigned address, uint16_t *word) {
  Lock lock(sim().mutex);
  Chip *c = find_chip(chip);
  if (!c || !word) return -1;
  *word = eeprom_read(*c, address);
  return 0;
}

SIM_EXPORT int vexa_sim_eeprom_set(int chip, unsigned address, uint16_t word) {
  Lock lock(sim().mutex);
  Chip *c = find_chip(chip);
  if (!c) return -1;
  eeprom_write(*c, address, word);
  return 0;
}

SIM_EXPORT int vexa_sim_eeprom_fill(int chip, uint16_t value) {
  Lock lock(sim().mutex);
  Chip *c = find_chip(chip);
  if (!c) return -1;
  std::fill(c->eeprom.begin(), c->eeprom.end(), value);
  eeprom_changed(*c);
  return 0;
}

SIM_EXPORT int vexa_sim_open_handles(void) {
  Lock lock(sim().mutex);
  return sim().open_handles;
}
