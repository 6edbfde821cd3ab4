// Stress and soak: many handles streaming in loopback at once while other
// threads purge, reconfigure and wait on events, and long runs of open/close
// with data in flight. The streams carry sequence-numbered frames so that the
// reader can tell a loss that a purge explains from one that nothing explains.
//
// VEXA_SOAK_SECONDS stretches the streaming run (default 2 s) and scales the
// open/close cycles (1000 per default run).
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SoakSeconds() {
  const char *text = std::getenv("VEXA_SOAK_SECONDS");
  double seconds = text ? std::atof(text) : 0.0;
  return seconds > 0 ? seconds : 2.0;
}

// ---- Frames ----------------------------------------------------------------
// 16 bytes: 0xFF, stream id, sequence number in five 7-bit groups, a stamp in
// three 7-bit groups (how many purges of the stream had finished when the
// frame was written), five payload bytes that follow from the sequence
// number, a 7-bit checksum. 0xFF appears only as the first byte, so after a
// cut the next frame start is unambiguous.
constexpr size_t kFrame = 16;
constexpr uint8_t kStart = 0xFF;

struct Frame {
  uint64_t seq;
  uint32_t stamp;
};

void EncodeFrame(uint32_t id, Frame frame, uint8_t *out) {
  out[0] = kStart;
  out[1] = static_cast<uint8_t>(id & 0x7F);
  for (size_t k = 0; k < 5; ++k) out[2 + k] = static_cast<uint8_t>((frame.seq >> (7 * k)) & 0x7F);
  for (size_t k = 0; k < 3; ++k) out[7 + k] = static_cast<uint8_t>((frame.stamp >> (7 * k)) & 0x7F);
  for (size_t i = 0; i < 5; ++i) out[10 + i] = static_cast<uint8_t>((frame.seq * 7 + i * 13 + id) & 0x7F);
  unsigned sum = 0;
  for (size_t k = 1; k < 15; ++k) sum += out[k];
  out[15] = static_cast<uint8_t>(sum & 0x7F);
}

// True when the 16 bytes are a whole, correct frame of stream id: the fields
// read back and encoded again must give the very same bytes.
bool DecodeFrame(uint32_t id, const uint8_t *in, Frame *frame) {
  Frame value = {0, 0};
  for (size_t k = 0; k < 5; ++k) value.seq |= static_cast<uint64_t>(in[2 + k] & 0x7F) << (7 * k);
  for (size_t k = 0; k < 3; ++k) value.stamp |= static_cast<uint32_t>(in[7 + k] & 0x7F) << (7 * k);
  uint8_t again[kFrame];
  EncodeFrame(id, value, again);
  if (std::memcmp(in, again, kFrame) != 0) return false;
  *frame = value;
  return true;
}

// Checks a received byte stream frame by frame. A discontinuity (bytes that
// are not a frame, or a jump in the sequence) is explained only by a purge
// that was still running, or had not started yet, when the last good frame
// before it was written: one whose number is above that frame's stamp. A
// purge may cut the stream in more than one place (the chip's queue, the
// ring, a transfer in between), so one purge may explain several. A sequence
// number that goes backwards is always a fault.
class StreamChecker {
 public:
  StreamChecker(uint32_t id, const std::atomic<uint64_t> *purges_started)
      : id_(id), purges_started_(purges_started) {}

  void Feed(const uint8_t *data, size_t n) {
    pending_.insert(pending_.end(), data, data + n);
    size_t pos = 0;
    while (pos < pending_.size()) {
      const size_t next = NextStart(pos + 1);
      Frame frame = {0, 0};
      if (pending_[pos] != kStart) {
        Discontinuity("bytes outside a frame");
      } else if (pending_.size() - pos < kFrame) {
        if (next == pending_.size()) break;  // an incomplete frame: wait for more
        Discontinuity("cut frame");
      } else if (!DecodeFrame(id_, &pending_[pos], &frame)) {
        Discontinuity("damaged frame");
      } else {
        if (have_last && frame.seq <= last) {
          Error("frame " + std::to_string(frame.seq) + " after " + std::to_string(last));
        } else {
          if (frame.seq != (have_last ? last + 1 : 0)) Discontinuity("lost frames");
          last = frame.seq;
          last_stamp_ = frame.stamp;
          have_last = true;
          ++frames;
          in_gap_ = false;
        }
        pos += kFrame;
        continue;
      }
      pos = next;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
  }

  bool have_last = false;
  uint64_t last = 0, frames = 0, gaps = 0, errors = 0;
  std::string first_error;

 private:
  size_t NextStart(size_t from) const {
    while (from < pending_.size() && pending_[from] != kStart) ++from;
    return from;
  }
  void Error(const std::string &what) {
    if (errors++ == 0) first_error = what;
  }
  void Discontinuity(const char *what) {
    if (in_gap_) return;  // a cut frame followed by missing ones is one loss
    in_gap_ = true;
    ++gaps;
    if (purges_started_->load() <= last_stamp_)
      Error(std::string(what) + " after frame " + std::to_string(last) + " with no purge to explain it");
  }

  const uint32_t id_;
  const std::atomic<uint64_t> *purges_started_;
  std::vector<uint8_t> pending_;
  uint32_t last_stamp_ = 0;
  bool in_gap_ = false;
};

std::vector<uint8_t> Frames(uint64_t count, uint32_t stamp) {
  std::vector<uint8_t> stream(kFrame * count);
  for (uint64_t s = 0; s < count; ++s) EncodeFrame(3, {s, stamp}, &stream[s * kFrame]);
  return stream;
}

// The checker is what makes the stress test able to fail: it must accept a
// whole stream in any pieces and flag each kind of loss it is meant to see.
TEST(StreamCheckerSelfTest, ExplainedAndUnexplainedLosses) {
  const std::vector<uint8_t> stream = Frames(6, 0);
  // Frame 2 cut in half and frame 3 missing: one loss.
  std::vector<uint8_t> cut(stream);
  cut.erase(cut.begin() + 2 * kFrame + 7, cut.begin() + 4 * kFrame);
  // Frames stamped after a purge had finished, with frame 2 missing.
  std::vector<uint8_t> late = Frames(6, 1);
  late.erase(late.begin() + 2 * kFrame, late.begin() + 3 * kFrame);
  std::vector<uint8_t> swapped(stream), damaged(stream);
  std::swap_ranges(swapped.begin() + kFrame, swapped.begin() + 2 * kFrame, swapped.begin() + 2 * kFrame);
  damaged[3 * kFrame + 12] ^= 0x01;
  const struct {
    const char *what;
    const std::vector<uint8_t> &bytes;
    uint64_t purges, errors, gaps;
  } rows[] = {{"whole stream", stream, 0, 0, 0},
              {"cut, no purge", cut, 0, 1, 1},
              {"cut, explained by a purge", cut, 1, 0, 1},
              {"purge finished before the frames", late, 1, 1, 1},
              {"reordered, purge or not", swapped, 1, 1, 1},
              {"corrupted payload", damaged, 0, 1, 1}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    std::atomic<uint64_t> purges{row.purges};
    StreamChecker checker(3, &purges);
    checker.Feed(row.bytes.data(), 5);  // frames may arrive in any pieces
    checker.Feed(row.bytes.data() + 5, row.bytes.size() - 5);
    EXPECT_EQ(checker.errors, row.errors) << checker.first_error;
    EXPECT_EQ(checker.gaps, row.gaps);
    EXPECT_EQ(checker.last, 5u);
  }
}

// ---- Streaming under disturbance ---------------------------------------------

constexpr int kChips = 4;
constexpr int kHandles = 2 * kChips;
constexpr uint64_t kBatchFrames = 64;     // 1 KiB per write
constexpr uint64_t kWindowFrames = 2048;  // at most 32 KiB unread per stream
constexpr uint64_t kTailFrames = 256;

struct Stream {
  KX_HANDLE handle = nullptr;
  int chip = 0, channel = 0;
  std::atomic<uint64_t> purges_started{0}, purges_finished{0};
  std::atomic<uint64_t> received{0};   // last sequence number checked + 1
  std::atomic<int64_t> final_seq{-1};  // set when the writer is done
  std::atomic<uint32_t> failures{0};   // unexpected status codes
  std::atomic<uint64_t> rx_events{0};
  std::mutex window_lock;
  std::condition_variable window_moved;
  _EVENT_HANDLE event;
  uint8_t last_latency = 16;
  bool dtr = false, rts = false;

  void Check(KX_STATUS status) {
    if (status != KX_OK) failures.fetch_add(1);
  }
};

void Writer(Stream &s, uint32_t id, const std::atomic<bool> &stop) {
  std::vector<uint8_t> batch(kBatchFrames * kFrame), drain(1 << 16);
  uint64_t seq = 0;
  auto write_batch = [&] {
    const uint32_t stamp = static_cast<uint32_t>(s.purges_finished.load());
    for (uint64_t f = 0; f < kBatchFrames; ++f) EncodeFrame(id, {seq + f, stamp}, &batch[f * kFrame]);
    uint32_t written = 0;
    s.Check(KX_Write(s.handle, batch.data(), static_cast<uint32_t>(batch.size()), &written));
    if (written != batch.size()) s.failures.fetch_add(1);
    seq += kBatchFrames;
    // The chip keeps a copy of everything written; it is not looked at here.
    while (vexa_sim_take_tx(s.chip, s.channel, drain.data(), drain.size()) == drain.size()) {
    }
  };
  while (!stop.load()) {
    {
      // Stay at most a window ahead of the reader; a purge may have eaten the
      // frames it waits for, so the wait is bounded and the writer goes on.
      std::unique_lock<std::mutex> hold(s.window_lock);
      s.window_moved.wait_for(hold, std::chrono::milliseconds(20),
                              [&] { return stop.load() || seq < s.received.load() + kWindowFrames; });
    }
    if (!stop.load()) write_batch();
  }
  for (uint64_t done = 0; done < kTailFrames; done += kBatchFrames) write_batch();
  s.final_seq.store(static_cast<int64_t>(seq - 1));
}

void Reader(Stream &s, StreamChecker &checker, Clock::time_point give_up) {
  std::vector<uint8_t> buffer(8192);
  s.Check(KX_SetTimeouts(s.handle, 50, 0));
  while (Clock::now() < give_up) {
    const int64_t final_seq = s.final_seq.load();
    if (final_seq >= 0 && checker.have_last && checker.last == static_cast<uint64_t>(final_seq)) break;
    uint32_t queued = 0, got = 0;
    s.Check(KX_GetQueueStatus(s.handle, &queued));
    const uint32_t want = std::clamp<uint32_t>(queued, 1, static_cast<uint32_t>(buffer.size()));
    KX_STATUS status = KX_Read(s.handle, buffer.data(), want, &got);
    if ((status != KX_OK && status != KX_ERR_IO) || got > want) s.failures.fetch_add(1);
    checker.Feed(buffer.data(), std::min(got, want));
    if (checker.have_last) {
      std::lock_guard<std::mutex> hold(s.window_lock);
      s.received.store(checker.last + 1);
    }
    s.window_moved.notify_all();
  }
}

timespec RealtimeIn(long ms) {
  timespec at;
  clock_gettime(CLOCK_REALTIME, &at);
  at.tv_sec += ms / 1000;
  at.tv_nsec += (ms % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  return at;
}

// Waits on the stream's event object, reading the event word each time it is
// signalled, until `until` says enough (or, with `bit` set, the bit is seen or
// 5 s pass). Counts the data events it saw.
bool WaitOnEvents(Stream &s, const std::atomic<bool> *until, uint32_t bit) {
  const timespec deadline = RealtimeIn(5000);
  bool seen = false;
  pthread_mutex_lock(&s.event.mutex);
  while (until ? !until->load() : !seen) {
    uint32_t events = 0;
    s.Check(KX_GetEventStatus(s.handle, &events));
    if (events & KX_EVENT_RX_DATA) s.rx_events.fetch_add(1);
    seen = (events & bit) != 0;
    if (events || seen) continue;
    const timespec wake = until ? RealtimeIn(20) : deadline;
    if (pthread_cond_timedwait(&s.event.cond, &s.event.mutex, &wake) != 0 && !until) {
      s.Check(KX_GetEventStatus(s.handle, &events));
      seen = (events & bit) != 0;
      break;
    }
  }
  pthread_mutex_unlock(&s.event.mutex);
  return seen;
}

class StressTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    vexa_sim_log_bulk(0);  // millions of transfers: keep the log for control requests
  }
};

TEST_F(StressTest, EightLoopbackStreamsUnderPurgesReconfigurationAndEvents) {
  std::array<Stream, kHandles> streams;
  std::vector<StreamChecker> checkers;
  for (int c = 0; c < kChips; ++c) AddDual(("ST" + std::to_string(c)).c_str(), "Stress");
  for (int h = 0; h < kHandles; ++h) {
    Stream &s = streams[h];
    s.chip = h / 2;
    s.channel = h % 2;
    ASSERT_EQ(vexa_sim_set_loopback(s.chip, s.channel, 1), 0);
    s.handle = Open(h);
    pthread_mutex_init(&s.event.mutex, nullptr);
    pthread_cond_init(&s.event.cond, nullptr);
    ASSERT_EQ(KX_SetEventNotification(s.handle, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, &s.event), KX_OK);
    checkers.emplace_back(static_cast<uint32_t>(h), &s.purges_started);
  }

  std::atomic<bool> stop_disturbing{false}, stop_writing{false}, stop_waiting{false};
  const double seconds = SoakSeconds();
  const auto soak = std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  const Clock::time_point give_up = Clock::now() + soak + std::chrono::seconds(30);
  std::vector<std::thread> streamers, disturbers, waiters;
  for (int h = 0; h < kHandles; ++h) {
    streamers.emplace_back(Writer, std::ref(streams[h]), static_cast<uint32_t>(h), std::cref(stop_writing));
    streamers.emplace_back(Reader, std::ref(streams[h]), std::ref(checkers[h]), give_up);
    waiters.emplace_back([&, h] { WaitOnEvents(streams[h], &stop_waiting, 0); });
  }
  // Purges: counted when they start (before any loss they cause can be
  // seen) and when they end (stamped into the frames written afterwards).
  std::atomic<uint64_t> purge_calls{0};
  disturbers.emplace_back([&] {
    std::mt19937 random(1);
    while (!stop_disturbing.load()) {
      Stream &s = streams[random() % kHandles];
      s.purges_started.fetch_add(1);
      s.Check(KX_Purge(s.handle, 1 + random() % 3));
      s.purges_finished.fetch_add(1);
      purge_calls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  // Line settings: latency timer, baud rate, DTR/RTS, data format.
  disturbers.emplace_back([&] {
    std::mt19937 random(2);
    const unsigned long rates[] = {300, 9600, 115200, 921600, 3000000};
    while (!stop_disturbing.load()) {
      for (Stream &s : streams) {
        s.last_latency = static_cast<uint8_t>(1 + random() % 16);
        s.Check(KX_SetLatencyTimer(s.handle, s.last_latency));
        s.Check(KX_SetBaudRate(s.handle, rates[random() % 5]));
        s.dtr = random() & 1;
        s.rts = random() & 1;
        s.Check(s.dtr ? KX_SetDtr(s.handle) : KX_ClrDtr(s.handle));
        s.Check(s.rts ? KX_SetRts(s.handle) : KX_ClrRts(s.handle));
        s.Check(KX_SetDataCharacteristics(s.handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE));
        unsigned long modem = 0;
        s.Check(KX_GetModemStatus(s.handle, &modem));
        if (modem & 0x0F) s.failures.fetch_add(1);  // only the upper nibble is reported
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  // Modem lines flipping on every channel.
  disturbers.emplace_back([&] {
    const uint8_t values[] = {0x00, 0x10, 0x30, 0x70, 0xF0, 0x80};
    for (unsigned k = 0; !stop_disturbing.load(); ++k) {
      for (int h = 0; h < kHandles; ++h) vexa_sim_set_status(h / 2, h % 2, values[(k + h) % 6], 0x60);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  std::this_thread::sleep_for(soak);
  stop_disturbing = true;
  for (auto &t : disturbers) t.join();
  // A status that every packet of the tail carries, to be seen at the end.
  for (int h = 0; h < kHandles; ++h) vexa_sim_set_status(h / 2, h % 2, 0xB0, 0x60);
  stop_writing = true;
  for (Stream &s : streams) s.window_moved.notify_all();
  for (auto &t : streamers) t.join();
  stop_waiting = true;
  for (auto &t : waiters) t.join();

  EXPECT_GT(purge_calls.load(), 0u);
  for (int h = 0; h < kHandles; ++h) {
    Stream &s = streams[h];
    const StreamChecker &checker = checkers[h];
    SCOPED_TRACE("stream " + std::to_string(h));
    EXPECT_EQ(checker.errors, 0u) << checker.first_error;
    ASSERT_GE(s.final_seq.load(), 0);
    // Every frame after the last purge arrived: the stream ends complete.
    EXPECT_TRUE(checker.have_last);
    EXPECT_EQ(checker.last, static_cast<uint64_t>(s.final_seq.load()));
    EXPECT_GE(checker.frames, kTailFrames);
    EXPECT_LE(checker.gaps, 8 * s.purges_started.load());
    EXPECT_GT(s.rx_events.load(), 0u);
    unsigned long modem = 0;
    EXPECT_EQ(KX_GetModemStatus(s.handle, &modem), KX_OK);
    EXPECT_EQ(modem, 0xB0u);
    // While data flows, a data event pending hides modem changes (the word
    // must be clear to raise one), so how many the waiters saw depends on
    // timing. On the now quiet line a change must wake the event object.
    uint32_t events = 0;
    EXPECT_EQ(KX_GetEventStatus(s.handle, &events), KX_OK);
    vexa_sim_set_status(s.chip, s.channel, 0x50, 0x60);
    EXPECT_TRUE(WaitOnEvents(s, nullptr, KX_EVENT_MODEM_CHANGED)) << "no modem event on a quiet line";
    EXPECT_EQ(KX_GetModemStatus(s.handle, &modem), KX_OK);
    EXPECT_EQ(modem, 0x50u);
    EXPECT_EQ(s.failures.load(), 0u);
    // The chip holds what each handle asked for last.
    vexa_sim_channel_state state = State(s.chip, s.channel);
    EXPECT_EQ(state.latency_timer, s.last_latency);
    EXPECT_EQ(state.dtr, s.dtr ? 1 : 0);
    EXPECT_EQ(state.rts, s.rts ? 1 : 0);
    unsigned char latency = 0;
    EXPECT_EQ(KX_GetLatencyTimer(s.handle, &latency), KX_OK);
    EXPECT_EQ(latency, s.last_latency);
    Close(s.handle);
    EXPECT_EQ(State(s.chip, s.channel).claimed, 0);
    pthread_cond_destroy(&s.event.cond);
    pthread_mutex_destroy(&s.event.mutex);
  }
}

// ---- Open/close cycles with data in flight --------------------------------------

TEST_F(StressTest, OpenCloseCyclesWithDataInFlight) {
  const int cycles = static_cast<int>(1000 * std::max(1.0, SoakSeconds() / 2.0));
  const int dual = AddDual("CYC1", "Cycles");
  const int single = AddSingle("CYC2", "Cycles single");
  // Channel A of the dual chip loops its writes back; the others are fed
  // bytes that count up modulo 251, continued across cycles.
  ASSERT_EQ(vexa_sim_set_loopback(dual, 0, 1), 0);
  const int chips[3] = {dual, dual, single}, channels[3] = {0, 1, 0};
  uint32_t next[3] = {0, 0, 0};
  auto take = [&](int c, size_t n) {
    std::vector<uint8_t> bytes(n);
    for (auto &b : bytes) b = static_cast<uint8_t>(next[c]++ % 251);
    return bytes;
  };
  // The chip keeps its latency timer across handles: 1 ms keeps an idle
  // transfer short, so that closing does not wait out 16 ms each time.
  KX_HANDLE first = Open(0);
  ASSERT_EQ(KX_SetLatencyTimer(first, 1), KX_OK);
  Close(first);

  int verified = 0;
  for (int i = 0; i < cycles; ++i) {
    const int c = i % 3;
    KX_HANDLE handle = nullptr;
    ASSERT_EQ(KX_Open(c, &handle), KX_OK) << "cycle " << i;
    if (c == 0) {
      std::vector<uint8_t> bytes = take(c, 700);
      uint32_t written = 0;
      ASSERT_EQ(KX_Write(handle, bytes.data(), 700, &written), KX_OK);
      EXPECT_EQ(written, 700u);
      TakeTx(chips[c], channels[c]);
    } else if (vexa_sim_rx_pending(chips[c], channels[c]) < 65536) {
      // Keep more queued than the ring holds: the reader is mid-stream or
      // waiting for room whenever the handle closes.
      std::vector<uint8_t> bytes = take(c, 131072);
      ASSERT_EQ(vexa_sim_queue_rx(chips[c], channels[c], bytes.data(), bytes.size()), 0);
    }
    if (i % 10 == 0) {
      // A piece of a counting stream has no holes and no reordering.
      uint8_t piece[300];
      uint32_t got = 0;
      ASSERT_EQ(KX_SetTimeouts(handle, 5000, 0), KX_OK);
      ASSERT_EQ(KX_Read(handle, piece, sizeof piece, &got), KX_OK) << "cycle " << i;
      ASSERT_EQ(got, sizeof piece);
      for (size_t k = 1; k < got; ++k) ASSERT_EQ(piece[k], (piece[k - 1] + 1) % 251) << "cycle " << i;
      ++verified;
    }
    if (i % 7 == 0) {
      EXPECT_EQ(KX_Purge(handle, KX_PURGE_RX | KX_PURGE_TX), KX_OK);
    }
    ASSERT_EQ(KX_Close(handle), KX_OK) << "cycle " << i;
  }
  EXPECT_EQ(verified, (cycles + 9) / 10);
  EXPECT_EQ(vexa_sim_open_handles(), 0);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(State(chips[c], channels[c]).claimed, 0);
}

}  // namespace
