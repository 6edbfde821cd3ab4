// Injected failures: each rule lets `skip` matching calls pass, then makes
// `count` of them (or all, with -1) return its result.
#include "sim_model.h"

namespace vexa_sim {

bool fault_fires(int kind, int chip, int channel, int request, int *result) {
  for (FaultRule &entry : sim().faults) {
    const vexa_sim_fault &rule = entry.rule;
    if (rule.kind != kind) continue;
    if (rule.chip != -1 && rule.chip != chip) continue;
    // Calls that address no particular channel match any channel filter.
    if (rule.channel != -1 && channel != -1 && rule.channel != channel) continue;
    if (rule.request != -1 && rule.request != request) continue;
    if (entry.skipped < rule.skip) {
      ++entry.skipped;
      continue;
    }
    if (rule.count != -1 && entry.fired >= rule.count) continue;
    ++entry.fired;
    *result = rule.result;
    return true;
  }
  return false;
}

}  // namespace vexa_sim

using namespace vexa_sim;

SIM_EXPORT int vexa_sim_add_fault(const vexa_sim_fault *fault) {
  if (!fault || fault->kind < VEXA_SIM_FAULT_FIND_BUSSES || fault->kind > VEXA_SIM_FAULT_DETACH ||
      fault->skip < 0 || fault->count < -1)
    return -1;
  std::lock_guard<std::mutex> lock(sim().mutex);
  sim().faults.push_back(FaultRule{*fault, 0, 0});
  return 0;
}

SIM_EXPORT void vexa_sim_clear_faults(void) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  sim().faults.clear();
}
