// The transfer log: every control request and (unless switched off) every
// bulk transfer, oldest first, keeping only the newest entries.
#include <algorithm>

#include "sim_model.h"

namespace vexa_sim {
namespace {

constexpr size_t kLogCapacity = 200000;

void append(const vexa_sim_log_entry &entry) {
  auto &log = sim().log;
  if (log.size() >= kLogCapacity) log.pop_front();
  log.push_back(entry);
}

}  // namespace

void log_control(int chip, int type, int request, int value, int index, int length, int result) {
  vexa_sim_log_entry entry{};
  entry.kind = VEXA_SIM_LOG_CONTROL;
  entry.chip = chip;
  entry.request_type = static_cast<uint8_t>(type);
  entry.request = static_cast<uint8_t>(request);
  entry.value = static_cast<uint16_t>(value);
  entry.index = static_cast<uint16_t>(index);
  entry.length = static_cast<uint16_t>(length);
  entry.endpoint = -1;
  entry.result = result;
  append(entry);
}

void log_bulk(int kind, int chip, int endpoint, int size, int result) {
  if (!sim().log_bulk) return;
  vexa_sim_log_entry entry{};
  entry.kind = kind;
  entry.chip = chip;
  entry.endpoint = endpoint;
  entry.size = size;
  entry.result = result;
  append(entry);
}

}  // namespace vexa_sim

using namespace vexa_sim;

SIM_EXPORT size_t vexa_sim_log(vexa_sim_log_entry *entries, size_t max) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  const auto &log = sim().log;
  if (entries) std::copy_n(log.begin(), std::min(max, log.size()), entries);
  return log.size();
}

SIM_EXPORT void vexa_sim_log_clear(void) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  sim().log.clear();
}

SIM_EXPORT void vexa_sim_log_bulk(int on) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  sim().log_bulk = on != 0;
}
