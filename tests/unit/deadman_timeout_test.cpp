// The bulk-transfer time-out that follows the latency timer.
#include <gtest/gtest.h>

#include "usb_control.h"

namespace {

uint32_t Deadman(uint32_t packet, uint32_t transfer, uint8_t latency) {
  norvec_device device;
  device.max_packet_size = packet;
  device.in_transfer_size = transfer;
  device.latency_timer = latency;
  device.transfer_timeout = 1;
  KX_SetDeadmanTimeout(&device);
  return device.transfer_timeout.load();
}

TEST(DeadmanTimeout, GrowsWithPacketsPerTransferTimesLatency) {
  EXPECT_EQ(Deadman(64, 4096, 0), 5000u);
  EXPECT_EQ(Deadman(64, 4096, 16), 6056u);    // 66 packets of 62 payload bytes
  EXPECT_EQ(Deadman(64, 4096, 255), 21830u);
  EXPECT_EQ(Deadman(64, 64, 200), 5200u);     // the reader's smallest transfer: one packet
  EXPECT_EQ(Deadman(512, 4096, 10), 5080u);   // 8 packets of 510
  EXPECT_EQ(Deadman(64, 61, 255), 5000u);     // less than one packet: the division comes first
  // Tiny packet sizes do not divide by zero.
  EXPECT_EQ(Deadman(0, 4096, 1), 4096u + 5000u);
  EXPECT_EQ(Deadman(2, 100, 2), 200u + 5000u);
  EXPECT_EQ(Deadman(3, 100, 2), 200u + 5000u);
}

}  // namespace
