// The in-process backend: the simulated libusb replaces libusb itself.
#include "scenario_backend.h"

namespace {

class SimBackend : public ScenarioBackend {
 public:
  void Reset() override { vexa_sim_reset(); }
  int AddChip(const vexa_sim_chip_config &config) override { return vexa_sim_add_chip(&config); }
  void Unplug(int chip) override { vexa_sim_unplug(chip); }
  bool AllHandlesClosed() override { return vexa_sim_open_handles() == 0; }
};

}  // namespace

ScenarioBackend &Backend() {
  static SimBackend backend;
  return backend;
}
