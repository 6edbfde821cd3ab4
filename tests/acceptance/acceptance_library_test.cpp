// The optional acceptance library, found by the ordinary library search
// (LD_LIBRARY_PATH is set by the test's registration). VEXA_EXPECT says which
// library the run sees: "library" (it decides) or "builtin" (it lacks the
// symbol, so the built-in table decides).
#include <cstdlib>
#include <string>

#include "sim_fixture.h"

namespace {

class AcceptanceLibrary : public SimTest {
 protected:
  static bool LibraryDecides() { return std::string(std::getenv("VEXA_EXPECT")) == "library"; }
  static uint32_t Count() {
    uint32_t count = 0;
    EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
    return count;
  }
  void AddIds(uint16_t vendor, uint16_t product) {
    AddChip({vendor, product, 0, "T1", nullptr, nullptr, 0, 0, 0, 0, 0});
  }
};

TEST_F(AcceptanceLibrary, DecidesInsteadOfTheTable) {
  ASSERT_NE(std::getenv("VEXA_EXPECT"), nullptr);
  AddIds(0x1111, 0x2222);
  AddIds(0x0403, 0x6001);
  EXPECT_EQ(Count(), 1u);
  KX_HANDLE handle = Open(0);
  unsigned long id = 0;
  EXPECT_EQ(KX_GetDeviceInfo(handle, nullptr, &id, nullptr, nullptr, nullptr), KX_OK);
  EXPECT_EQ(id, LibraryDecides() ? 0x11112222ul : 0x04036001ul);
  // The table's user row has no effect while the library decides.
  KX_SetVIDPID(0x1111, 0x2222);
  EXPECT_EQ(Count(), LibraryDecides() ? 1u : 2u);
}

TEST_F(AcceptanceLibrary, SetUpAndTeardownEntries) {
  KX_SetVIDPID(0x0403, 0x6001);  // undo the previous test's change to the user row
  AddIds(0x1111, 0x2222);
  my_init();
  EXPECT_EQ(Count(), LibraryDecides() ? 1u : 0u);
  my_fini();
  my_fini();  // a second teardown is harmless
  EXPECT_EQ(Count(), LibraryDecides() ? 1u : 0u) << "the next test selects again";
}

}  // namespace
