// The real-libusb backend: Debian's libusb 0.1 over umockdev's emulated
// usbfs, answered by the chip model. It needs umockdev's preload library,
// which umockdev-wrapper puts in place; without it every scenario is skipped.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "scenario_backend.h"
#include "usbfs_emulation.h"

namespace {

// umockdev-wrapper preloads this library; umockdev's own check only tells
// whether a testbed exists yet.
bool PreloadActive() {
  const char *preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

class UsbfsBackend : public ScenarioBackend {
 public:
  UsbfsBackend() {
    if (PreloadActive()) emulation_ = std::make_unique<UsbfsEmulation>();
  }
  std::string Unavailable() const override {
    return emulation_ ? std::string()
                      : "not running under umockdev-wrapper: the emulated usbfs needs umockdev's "
                        "preload library, so these scenarios are skipped";
  }
  void Reset() override {
    emulation_->UnplugAll();
    vexa_sim_reset();
  }
  int AddChip(const vexa_sim_chip_config &config) override {
    int chip = vexa_sim_add_chip(&config);
    if (chip >= 0) emulation_->Plug(chip);
    return chip;
  }
  void Unplug(int chip) override {
    vexa_sim_unplug(chip);
    emulation_->Unplug(chip);
  }
  // umockdev does not tell reliably when a descriptor closes, so what is
  // checked is what a closed handle must leave behind: no claimed interface.
  bool AllHandlesClosed() override {
    vexa_sim_channel_state state;
    for (int chip = 0; vexa_sim_get_state(chip, 0, &state) == 0; ++chip)
      for (int channel = 0; vexa_sim_get_state(chip, channel, &state) == 0; ++channel)
        if (state.claimed) return false;
    return true;
  }

 private:
  std::unique_ptr<UsbfsEmulation> emulation_;
};

std::unique_ptr<UsbfsBackend> g_backend;

// Ends the testbed (and removes its folder) after the last test.
class TestbedEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { g_backend.reset(); }
};

const auto *g_environment = ::testing::AddGlobalTestEnvironment(new TestbedEnvironment);

}  // namespace

ScenarioBackend &Backend() {
  if (!g_backend) g_backend = std::make_unique<UsbfsBackend>();
  return *g_backend;
}
