// The stream pattern is what proves "nothing lost, in order" at line rate,
// and status stripping is the baseline's half of every receive figure: both
// must catch exactly the faults they are there for.
#include <gtest/gtest.h>

#include "payload.h"

namespace vexa_bench {
namespace {

TEST(Pattern, MatchesAnyWindowOfItsOwnStream) {
  const Pattern pattern;
  const std::vector<uint8_t> stream = pattern.Make(0, 3000);
  EXPECT_TRUE(pattern.Matches(0, stream.data(), stream.size()));
  EXPECT_TRUE(pattern.Matches(1234, stream.data() + 1234, 1000));
  // Make at an offset continues the same stream.
  const std::vector<uint8_t> tail = pattern.Make(2500, 500);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), stream.begin() + 2500));
  EXPECT_EQ(stream[251], 0);
  EXPECT_EQ(stream[252], 1);
}

TEST(Pattern, CatchesDroppedRepeatedAndReorderedBytes) {
  const Pattern pattern;
  std::vector<uint8_t> stream = pattern.Make(0, 8192);
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
}

TEST(Pattern, RefusesMoreThanItCanCheck) {
  const Pattern pattern;
  const std::vector<uint8_t> big = pattern.Make(0, Pattern::kMaxCheck + 8);
  EXPECT_TRUE(pattern.Matches(7, big.data() + 7, Pattern::kMaxCheck));
  EXPECT_FALSE(pattern.Matches(0, big.data(), big.size()));
}

TEST(StripStatusBytes, KeepsPayloadOfFullShortAndStatusOnlyPackets) {
  // Two full 8-byte packets, a status-only packet, a short packet of 5 bytes.
  const std::vector<uint8_t> transfer = {0x11, 0x60, 1, 2, 3, 4, 5, 6,    //
                                         0x11, 0x60, 7, 8, 9, 10, 11, 12,  //
                                         0x11, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint8_t> out(32, 0xEE);
  // The third packet is cut to its status bytes by the transfer length.
  EXPECT_EQ(StripStatusBytes(transfer.data(), 18, 8, out.data()), 12u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 13),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xEE}));

  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(StripStatusBytes(transfer.data(), 21, 8, out.data()), 15u);
  EXPECT_EQ(out[14], 0x00);
  EXPECT_EQ(out[15], 0xEE);
  // A lone byte or an empty transfer carries nothing.
  EXPECT_EQ(StripStatusBytes(transfer.data(), 1, 8, out.data()), 0u);
  EXPECT_EQ(StripStatusBytes(transfer.data(), 0, 8, out.data()), 0u);
}

}  // namespace
}  // namespace vexa_bench
