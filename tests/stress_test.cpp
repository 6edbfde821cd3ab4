// Stress and soak: eight handles streaming in loopback while another thread
// reconfigures them, and open/close cycles with data in
// flight. VEXA_SOAK_SECONDS stretches the streaming run (default 2 s) and
// scales the open/close cycles (1000 per default run).
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;

double SoakSeconds() {
  const char *text = std::getenv("VEXA_SOAK_SECONDS");
  const double seconds = text ? std::atof(text) : 0.0;
  return seconds > 0 ? seconds : 2.0;
}

// Byte n of stream id: a count modulo a prime, so that a lost, repeated or
// reordered piece of any transfer size shows.
uint8_t StreamByte(int id, uint64_t n) { return static_cast<uint8_t>((n + 37u * id) % 251); }

constexpr int kHandles = 8;  // both channels of four chips

// Stream id runs on channel id % 2 of chip id / 2.
struct Stream {
  KX_HANDLE handle = nullptr;
  std::atomic<uint64_t> sent{0}, received{0};
  std::atomic<uint32_t> failures{0};  // unexpected statuses and wrong bytes
  void Check(KX_STATUS status) {
    if (status != KX_OK) failures.fetch_add(1);
  }
};

// Writes 1 KiB at a time, at most 32 KiB ahead of the reader, until stopped.
void Writer(Stream &s, int id, const std::atomic<bool> &stop) {
  std::vector<uint8_t> batch(1024), drain(1 << 16);
  while (!stop.load()) {
    if (s.sent.load() - s.received.load() > 32768) {
      std::this_thread::sleep_for(milliseconds(1));
      continue;
    }
    for (size_t k = 0; k < batch.size(); ++k) batch[k] = StreamByte(id, s.sent.load() + k);
    uint32_t written = 0;
    s.Check(KX_Write(s.handle, batch.data(), 1024, &written));
    if (written != 1024) s.failures.fetch_add(1);
    s.sent += 1024;
    vexa_sim_take_tx(id / 2, id % 2, drain.data(), drain.size());  // the chip's copy is not needed
  }
}

// Reads in the sizes the ring reports until everything written came back.
void Reader(Stream &s, int id, const std::atomic<bool> &writers_done) {
  std::vector<uint8_t> buffer(8192);
  s.Check(KX_SetTimeouts(s.handle, 50, 0));
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30) +
                       milliseconds(static_cast<int>(SoakSeconds() * 1000));
  while (!(writers_done.load() && s.received.load() == s.sent.load()) &&
         std::chrono::steady_clock::now() < give_up) {
    const uint32_t want = std::clamp<uint32_t>(Queued(s.handle), 1, 8192);
    uint32_t got = 0;
    const KX_STATUS status = KX_Read(s.handle, buffer.data(), want, &got);
    if ((status != KX_OK && status != KX_ERR_IO) || got > want) s.failures.fetch_add(1);
    uint64_t at = s.received.load();
    for (uint32_t k = 0; k < got; ++k)
      if (buffer[k] != StreamByte(id, at++)) s.failures.fetch_add(1);
    s.received.store(at);
  }
}

using StressTest = SimTest;

TEST_F(StressTest, EightLoopbackStreamsUnderReconfiguration) {
  vexa_sim_log_bulk(0);  // millions of transfers: keep the log for control requests
  std::array<Stream, kHandles> streams;
  for (int c = 0; c < kHandles / 2; ++c) AddDual(("ST" + std::to_string(c)).c_str(), "Stress");
  for (int h = 0; h < kHandles; ++h) {
    ASSERT_EQ(vexa_sim_set_loopback(h / 2, h % 2, 1), 0);
    streams[h].handle = Open(h);
  }
  std::atomic<bool> stop_disturbing{false}, stop_writing{false}, writers_done{false};
  std::vector<std::thread> writers, readers, others;
  for (int h = 0; h < kHandles; ++h) {
    writers.emplace_back(Writer, std::ref(streams[h]), h, std::cref(stop_writing));
    readers.emplace_back(Reader, std::ref(streams[h]), h, std::cref(writers_done));
  }
  // Line settings: latency timer, baud rate, DTR/RTS, data format.
  others.emplace_back([&] {
    std::mt19937 random(2);
    const unsigned long rates[] = {300, 9600, 115200, 921600, 3000000};
    while (!stop_disturbing.load()) {
      for (Stream &s : streams) {
        s.Check(KX_SetLatencyTimer(s.handle, static_cast<uint8_t>(1 + random() % 16)));
        s.Check(KX_SetBaudRate(s.handle, rates[random() % 5]));
        s.Check(random() & 1 ? KX_SetDtr(s.handle) : KX_ClrDtr(s.handle));
        s.Check(random() & 1 ? KX_SetRts(s.handle) : KX_ClrRts(s.handle));
        s.Check(KX_SetDataCharacteristics(s.handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE));
        unsigned long modem = 0;
        s.Check(KX_GetModemStatus(s.handle, &modem));
        if (modem & 0x0F) s.failures.fetch_add(1);  // only the upper nibble is reported
      }
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  std::this_thread::sleep_for(milliseconds(static_cast<int>(SoakSeconds() * 1000)));
  stop_disturbing = true;
  for (auto &t : others) t.join();
  for (int h = 0; h < kHandles; ++h) vexa_sim_set_status(h / 2, h % 2, 0xB0, 0x60);
  stop_writing = true;
  for (auto &t : writers) t.join();
  writers_done = true;
  for (auto &t : readers) t.join();

  for (int h = 0; h < kHandles; ++h) {
    SCOPED_TRACE("stream " + std::to_string(h));
    Stream &s = streams[h];
    EXPECT_GT(s.sent.load(), 32768u);
    EXPECT_EQ(s.received.load(), s.sent.load()) << "every byte written came back";
    EXPECT_EQ(s.failures.load(), 0u);
    unsigned long modem = 0;
    EXPECT_TRUE(Eventually([&] { return KX_GetModemStatus(s.handle, &modem) == KX_OK && modem == 0xB0; }))
        << "the modem lines of the last packets, got " << modem;
    Close(s.handle);
    EXPECT_EQ(State(h / 2, h % 2).claimed, 0);
  }
}

// Every channel is fed a counting stream, continued across cycles, with more
// queued than the ring holds: the reader is mid-stream or waiting for room
// whenever the handle closes.
TEST_F(StressTest, OpenCloseCyclesWithDataInFlight) {
  vexa_sim_log_bulk(0);
  const int cycles = static_cast<int>(1000 * std::max(1.0, SoakSeconds() / 2.0));
  AddDual("CYC1", "Cycles");
  AddSingle("CYC2", "Cycles single");
  const int chips[3] = {0, 0, 1}, channels[3] = {0, 1, 0};
  uint64_t next[3] = {0, 0, 0};
  // The chip keeps its latency timer across handles: 1 ms keeps an idle
  // transfer short, so that closing does not wait out 16 ms each time.
  KX_HANDLE first = Open(0);
  ASSERT_EQ(KX_SetLatencyTimer(first, 1), KX_OK);
  Close(first);
  for (int i = 0; i < cycles; ++i) {
    const int c = i % 3;
    KX_HANDLE handle = nullptr;
    ASSERT_EQ(KX_Open(c, &handle), KX_OK) << "cycle " << i;
    if (vexa_sim_rx_pending(chips[c], channels[c]) < 65536) {
      std::vector<uint8_t> bytes(131072);
      for (auto &b : bytes) b = StreamByte(0, next[c]++);
      ASSERT_EQ(vexa_sim_queue_rx(chips[c], channels[c], bytes.data(), bytes.size()), 0);
    }
    if (i % 10 == 0) {
      // A piece of a counting stream has no holes and no reordering.
      const std::vector<uint8_t> piece = ReadExactly(handle, 300);
      ASSERT_EQ(piece.size(), 300u) << "cycle " << i;
      for (size_t k = 1; k < piece.size(); ++k)
        ASSERT_EQ(piece[k], (piece[k - 1] + 1) % 251) << "cycle " << i;
    }
    EXPECT_TRUE(i % 7 != 0 || KX_Purge(handle, KX_PURGE_RX | KX_PURGE_TX) == KX_OK) << "cycle " << i;
    ASSERT_EQ(KX_Close(handle), KX_OK) << "cycle " << i;
  }
  for (int c = 0; c < 3; ++c) EXPECT_EQ(State(chips[c], channels[c]).claimed, 0);
}

}  // namespace
