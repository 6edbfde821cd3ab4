// Test fixture over the simulated chip: a clean bus for every test, helpers to
// attach chips and open handles, and a teardown that fails on a leaked handle.
#ifndef VEXA_SIM_FIXTURE_H
#define VEXA_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vexa.h"
#include "vexa_sim.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Attaches a chip; returns its simulator id.
  int AddChip(const vexa_sim_chip_config &config);
  int AddSingle(const char *serial, const char *description, uint16_t bcd = 0x0400,
                int packet = 64, int eeprom_words = 64);
  int AddDual(const char *serial, const char *description, int packet = 64,
              int eeprom_words = 128);

  // Opens by index / name, asserting success; the fixture closes what is still open.
  KX_HANDLE Open(int index);
  KX_HANDLE OpenBy(const char *name, uint32_t flags);
  // Closes a handle opened through the fixture.
  void Close(KX_HANDLE handle);
  // Closes every handle opened through the fixture that is still open.
  void CloseAll();

  static std::vector<vexa_sim_log_entry> Log();
  // Control requests only, optionally of one request code.
  static std::vector<vexa_sim_log_entry> ControlLog(int request = -1);
  // Sizes of the bulk transfers of one kind (VEXA_SIM_LOG_BULK_IN / _OUT).
  static std::vector<int> BulkSizes(int kind);

  static vexa_sim_channel_state State(int chip, int channel);
  static std::string TakeTx(int chip, int channel);

 private:
  std::vector<KX_HANDLE> open_;
};

// A fault rule in one expression.
vexa_sim_fault Fault(int kind, int result, int chip = -1, int request = -1, int skip = 0,
                     int count = -1, int channel = -1);
// Adds a fault rule to the simulator (asserting it was taken).
void Inject(const vexa_sim_fault &fault);

#endif  // VEXA_SIM_FIXTURE_H
