// The stream pattern is what proves "nothing lost, in order" at line rate,
// and status stripping is the baseline's half of every receive figure: both
// must catch exactly the faults they are there for.
#include <gtest/gtest.h>

#include <utility>

#include "payload.h"

namespace vexa_bench {
namespace {

TEST(Pattern, MatchesItsOwnStreamAndCatchesDroppedRepeatedAndReorderedBytes) {
  const Pattern pattern;
  std::vector<uint8_t> stream = pattern.Make(0, 8192);
  EXPECT_TRUE(pattern.Matches(1234, stream.data() + 1234, 1000));
  const std::vector<uint8_t> tail = pattern.Make(2500, 500);  // the same stream, from an offset
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), stream.begin() + 2500));
  // A lost block of a power-of-two size, as a lost packet or transfer would be.
  for (size_t lost : {1u, 62u, 256u, 4096u}) {
    std::vector<uint8_t> received(stream.begin(), stream.begin() + 1000);
    received.insert(received.end(), stream.begin() + 1000 + lost, stream.end());
    EXPECT_FALSE(pattern.Matches(0, received.data(), received.size())) << lost;
  }
  std::vector<uint8_t> repeated(stream.begin(), stream.begin() + 600);
  repeated.insert(repeated.end(), stream.begin() + 88, stream.begin() + 600);
  EXPECT_FALSE(pattern.Matches(0, repeated.data(), repeated.size()));
  std::swap(stream[10], stream[11]);
  EXPECT_FALSE(pattern.Matches(0, stream.data(), stream.size()));
  // No more than it can check.
  const std::vector<uint8_t> big = pattern.Make(0, Pattern::kMaxCheck + 8);
  EXPECT_TRUE(pattern.Matches(7, big.data() + 7, Pattern::kMaxCheck));
  EXPECT_FALSE(pattern.Matches(0, big.data(), big.size()));
}

TEST(StripStatusBytes, KeepsPayloadOfFullShortAndStatusOnlyPackets) {
  // Two full 8-byte packets, then a third cut by the transfer length.
  const std::vector<uint8_t> transfer = {0x11, 0x60, 1, 2, 3, 4, 5, 6,    //
                                         0x11, 0x60, 7, 8, 9, 10, 11, 12,  //
                                         0x11, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  // Transfer length and payload length: the payload is 1 to 12 and then
  // zeros, and nothing beyond it is written.
  for (const auto &[length, payload] : {std::pair<int, size_t>{18, 12}, {21, 15}, {1, 0}, {0, 0}}) {
    std::vector<uint8_t> out(32, 0xEE);
    EXPECT_EQ(StripStatusBytes(transfer.data(), length, 8, out.data()), payload) << length;
    std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0};
    expected.resize(payload);
    expected.resize(out.size(), 0xEE);
    EXPECT_EQ(out, expected) << length;
  }
}

}  // namespace
}  // namespace vexa_bench
