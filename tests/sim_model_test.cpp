// What the simulated chip does that the library's own tests never reach:
// requests the library never sends.
#include <cerrno>

#include <usb.h>

#include "sim_fixture.h"

namespace {

using SimChipTest = SimTest;

// Requests the library does not send, or refuses itself before sending.
TEST_F(SimChipTest, OnlyRequestsTheChipKnowsAreAnswered) {
  AddDual("S1", "Dual");
  usb_find_busses();
  usb_find_devices();
  usb_dev_handle *h = usb_open(usb_get_busses()->devices);
  ASSERT_NE(h, nullptr);
  const struct {
    const char *what;
    int type, request, value, index, length;
  } rows[] = {
      {"a descriptor the device lacks", 0x80, 6, 0x0F00, 1, 18},
      {"class request", 0xA1, 1, 0, 1, 2},
      {"vendor request to the interface", 0x41, 1, 0x0101, 1, 0},
      {"unknown vendor request", 0x40, 0x20, 0, 1, 0},
      {"a reading request sent as OUT", 0x40, 5, 0, 1, 0},
      {"a setting request sent as IN", 0xC0, 4, 0, 1, 2},
      {"no port 3 on a two-channel chip", 0x40, 4, 8, 3, 0},
      {"no purge code 7", 0x40, 0, 7, 1, 0},
  };
  for (const auto &row : rows) {
    char reply[18] = {};
    const int result = usb_control_msg(h, row.type, row.request, row.value, row.index,
                                       row.length ? reply : nullptr, row.length, 100);
    EXPECT_EQ(result, -EPIPE) << row.what;
  }
  usb_close(h);
}

}  // namespace
