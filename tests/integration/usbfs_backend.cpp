// The real-libusb backend: Debian's libusb 0.1 over umockdev's emulated
// usbfs, answered by the chip model. It needs umockdev's preload library,
// which umockdev-wrapper puts in place; without it every scenario is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "scenario_backend.h"
#include "usbfs_emulation.h"

namespace {

class UsbfsBackend : public ScenarioBackend, public ::testing::Environment {
 public:
  // Made at the first scenario, not while the tests are only listed.
  // umockdev-wrapper preloads the library; umockdev's own check only tells
  // whether a testbed exists yet.
  UsbfsBackend &Started() {
    const char *preload = std::getenv("LD_PRELOAD");
    if (!started_ && preload && std::strstr(preload, "libumockdev-preload"))
      emulation_ = std::make_unique<UsbfsEmulation>();
    started_ = true;
    return *this;
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
  // Ends the testbed (and removes its folder) after the last test.
  void TearDown() override { emulation_.reset(); }

 private:
  bool started_ = false;
  std::unique_ptr<UsbfsEmulation> emulation_;
};

// Google Test owns the environment, and so the backend.
auto *const g_backend = static_cast<UsbfsBackend *>(::testing::AddGlobalTestEnvironment(new UsbfsBackend));

}  // namespace

ScenarioBackend &Backend() { return g_backend->Started(); }
