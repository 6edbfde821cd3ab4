// Test fixture over the simulated chip: a clean bus for every test, helpers to
// attach chips and open handles, and a teardown that fails on a leaked handle.
#ifndef VEXA_SIM_FIXTURE_H
#define VEXA_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
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
  void Close(KX_HANDLE handle);
  // Every handle opened through the fixture that is still open.
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

// One single-channel chip (64-byte packets) attached and opened as handle_.
class OpenChipTest : public SimTest {
 protected:
  void SetUp() override;
  // Starts again from a clean bus with one chip of the given packet size.
  void Reopen(int packet = 64);
  int chip_ = -1;
  KX_HANDLE handle_ = nullptr;
};

// An application's event object.
struct EventObject : _EVENT_HANDLE {
  EventObject() : _EVENT_HANDLE{PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER} {}
};

// Polls cond (1 ms apart) until it holds or limit_ms passes; returns cond().
bool Eventually(const std::function<bool()> &cond, int limit_ms = 5000);
// Bytes in the handle's receive ring.
uint32_t Queued(KX_HANDLE handle);
// Whether a poll of fd finds it readable within timeout_ms.
bool Readable(int fd, int timeout_ms);
// A reproducible byte stream in which a lost, repeated or swapped byte shows.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1);
// KX_Read of n bytes with a 5 s time-out (a fault fails the test instead of
// hanging it); returns what the read delivered.
std::vector<uint8_t> ReadExactly(KX_HANDLE handle, size_t n);
// The first `count` words of the chip's EEPROM.
std::vector<uint16_t> EepromWords(int chip, unsigned count = 64);
// A configuration record for KX_EE_Program (or, with buffers, KX_EE_Read).
KX_PROGRAM_DATA ProgramRecord(const char *manufacturer, const char *description, const char *serial,
                              const char *prefix = "AB");
// Queues bytes on the chip and waits until it has sent them all.
bool Deliver(int chip, int channel, const std::vector<uint8_t> &bytes);
// A call still running after `limit_ms` is a hang: reported, then the process
// stops, since a deadlocked thread cannot be taken back.
void AbortAsHung(int limit_ms);
template <typename Fn>
auto Within(int limit_ms, Fn fn) -> decltype(fn()) {
  auto task = std::async(std::launch::async, fn);
  if (task.wait_for(std::chrono::milliseconds(limit_ms)) != std::future_status::ready) AbortAsHung(limit_ms);
  return task.get();
}

#endif  // VEXA_SIM_FIXTURE_H
