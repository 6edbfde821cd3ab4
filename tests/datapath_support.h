// Helpers shared by the data-path device tests.
#ifndef VEXA_DATAPATH_SUPPORT_H
#define VEXA_DATAPATH_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "vexa.h"
#include "vexa_sim.h"

// Polls cond (1 ms apart) until it holds or limit_ms passes; returns cond().
inline bool Eventually(const std::function<bool()> &cond, int limit_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline uint32_t Queued(KX_HANDLE handle) {
  uint32_t queued = 0xFFFFFFFF;
  KX_GetQueueStatus(handle, &queued);
  return queued;
}

// A reproducible byte stream in which a lost, repeated or swapped byte shows.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x >> 11);
  }
  return bytes;
}

// Queues bytes on the chip and waits until it has sent them all.
inline bool Deliver(int chip, int channel, const std::vector<uint8_t> &bytes) {
  vexa_sim_queue_rx(chip, channel, bytes.data(), bytes.size());
  return Eventually([&] { return vexa_sim_rx_pending(chip, channel) == 0; });
}

#endif  // VEXA_DATAPATH_SUPPORT_H
