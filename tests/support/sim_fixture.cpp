#include "sim_fixture.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

void SimTest::SetUp() { vexa_sim_reset(); }

void SimTest::CloseAll() {
  for (KX_HANDLE handle : open_) EXPECT_EQ(KX_Close(handle), KX_OK);
  open_.clear();
}

void SimTest::TearDown() {
  CloseAll();
  EXPECT_EQ(vexa_sim_open_handles(), 0) << "a USB device handle was left open";
  vexa_sim_reset();
}

int SimTest::AddChip(const vexa_sim_chip_config &config) {
  int id = vexa_sim_add_chip(&config);
  EXPECT_GE(id, 0);
  return id;
}

int SimTest::AddSingle(const char *serial, const char *description, uint16_t bcd, int packet,
                       int eeprom_words) {
  return AddChip({0, 0, bcd, serial, description, nullptr, 1, packet, eeprom_words, 0, 0});
}

int SimTest::AddDual(const char *serial, const char *description, int packet, int eeprom_words) {
  return AddChip({0, 0x6010, 0x0500, serial, description, nullptr, 2, packet, eeprom_words, 0, 0});
}

KX_HANDLE SimTest::Open(int index) {
  KX_HANDLE handle = nullptr;
  EXPECT_EQ(KX_Open(index, &handle), KX_OK);
  if (handle) open_.push_back(handle);
  return handle;
}

KX_HANDLE SimTest::OpenBy(const char *name, uint32_t flags) {
  KX_HANDLE handle = nullptr;
  EXPECT_EQ(KX_OpenEx(name, flags, &handle), KX_OK);
  if (handle) open_.push_back(handle);
  return handle;
}

void SimTest::Close(KX_HANDLE handle) {
  auto it = std::find(open_.begin(), open_.end(), handle);
  ASSERT_NE(it, open_.end()) << "not opened through the fixture";
  open_.erase(it);
  EXPECT_EQ(KX_Close(handle), KX_OK);
}

std::vector<vexa_sim_log_entry> SimTest::Log() {
  std::vector<vexa_sim_log_entry> entries(vexa_sim_log(nullptr, 0));
  entries.resize(vexa_sim_log(entries.data(), entries.size()));
  return entries;
}

std::vector<vexa_sim_log_entry> SimTest::ControlLog(int request) {
  std::vector<vexa_sim_log_entry> result;
  for (const auto &entry : Log())
    if (entry.kind == VEXA_SIM_LOG_CONTROL && (request < 0 || entry.request == request))
      result.push_back(entry);
  return result;
}

std::vector<int> SimTest::BulkSizes(int kind) {
  std::vector<int> sizes;
  for (const auto &entry : Log()) if (entry.kind == kind) sizes.push_back(entry.size);
  return sizes;
}

vexa_sim_channel_state SimTest::State(int chip, int channel) {
  vexa_sim_channel_state state = {};
  EXPECT_EQ(vexa_sim_get_state(chip, channel, &state), 0);
  return state;
}

std::string SimTest::TakeTx(int chip, int channel) {
  std::string out(vexa_sim_tx_pending(chip, channel), '\0');
  out.resize(vexa_sim_take_tx(chip, channel, out.data(), out.size()));
  return out;
}

vexa_sim_fault Fault(int kind, int result, int chip, int request, int skip, int count,
                     int channel) {
  return {kind, chip, channel, request, skip, count, result};
}

void Inject(const vexa_sim_fault &fault) { EXPECT_EQ(vexa_sim_add_fault(&fault), 0); }

void OpenChipTest::SetUp() {
  SimTest::SetUp();
  Reopen();
}

void OpenChipTest::Reopen(int packet) {
  CloseAll();
  vexa_sim_reset();
  chip_ = AddSingle("OC1", "Open chip", 0x0600, packet);
  handle_ = Open(0);
  ASSERT_NE(handle_, nullptr);
}

bool Eventually(const std::function<bool()> &cond, int limit_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

uint32_t Queued(KX_HANDLE handle) {
  uint32_t queued = 0xFFFFFFFF;
  KX_GetQueueStatus(handle, &queued);
  return queued;
}

bool Readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

std::vector<uint8_t> ReadExactly(KX_HANDLE handle, size_t n) {
  std::vector<uint8_t> buffer(n);
  uint32_t got = 0;
  EXPECT_EQ(KX_SetTimeouts(handle, 5000, 0), KX_OK);
  EXPECT_EQ(KX_Read(handle, buffer.data(), static_cast<uint32_t>(n), &got), KX_OK);
  buffer.resize(got);
  return buffer;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
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

std::vector<uint16_t> EepromWords(int chip, unsigned count) {
  std::vector<uint16_t> words(count);
  for (unsigned i = 0; i < count; ++i) vexa_sim_eeprom_get(chip, i, &words[i]);
  return words;
}

KX_PROGRAM_DATA ProgramRecord(const char *manufacturer, const char *description, const char *serial,
                              const char *prefix) {
  KX_PROGRAM_DATA record = {};
  record.marker_ones = 0xFFFFFFFFu;
  record.vendor_id = 0x0403;
  record.product_id = 0x6001;
  record.manufacturer = const_cast<char *>(manufacturer);
  record.manufacturer_id = const_cast<char *>(prefix);
  record.description = const_cast<char *>(description);
  record.serial_number = const_cast<char *>(serial);
  record.max_power = 100;
  record.plug_and_play = 1;
  return record;
}

bool Deliver(int chip, int channel, const std::vector<uint8_t> &bytes) {
  vexa_sim_queue_rx(chip, channel, bytes.data(), bytes.size());
  return Eventually([&] { return vexa_sim_rx_pending(chip, channel) == 0; });
}

void AbortAsHung(int limit_ms) {
  ADD_FAILURE() << "call did not return within " << limit_ms << " ms";
  std::fflush(stdout);
  std::abort();
}
