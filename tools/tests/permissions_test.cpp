// Finding the chip device nodes a user cannot write, from a fake sysfs and /dev.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "permissions.h"

using namespace vexa_tool;

namespace {

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vexa-permissions-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    mkdir((root_ + "/sys").c_str(), 0755);
    mkdir((root_ + "/dev").c_str(), 0755);
    mkdir((root_ + "/dev/001").c_str(), 0755);
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

  // A device in the fake sysfs and its node, owned by root:root with this mode.
  void AddDevice(const char *name, const char *vendor, const char *product, int devnum,
                 mode_t mode) {
    const std::string folder = root_ + "/sys/" + name;
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/idVendor") << vendor << "\n";
    std::ofstream(folder + "/idProduct") << product << "\n";
    std::ofstream(folder + "/busnum") << 1 << "\n";
    std::ofstream(folder + "/devnum") << devnum << "\n";
    char node[32];
    std::snprintf(node, sizeof node, "/dev/001/%03d", devnum);
    const std::string path = root_ + node;
    std::ofstream(path).put('\0');
    chmod(path.c_str(), mode);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    }
  }
  std::vector<std::string> Unwritable(uid_t uid, std::vector<gid_t> groups = {}) {
    return unwritable_chip_nodes(root_ + "/sys", root_ + "/dev", uid, groups);
  }

  std::string root_;
};

TEST_F(Permissions, WriteRightsByOwnerGroupAndOthers) {
  struct stat node = {};
  node.st_uid = 0;
  node.st_gid = 46;
  node.st_mode = S_IFCHR | 0664;
  EXPECT_TRUE(may_write(node, 0, {}));
  EXPECT_FALSE(may_write(node, 1000, {}));
  EXPECT_TRUE(may_write(node, 1000, {46}));
  node.st_mode = S_IFCHR | 0646;
  EXPECT_FALSE(may_write(node, 1000, {46})) << "group bits, not others, apply to a member";
  EXPECT_TRUE(may_write(node, 1000, {7}));
  node.st_uid = 1000;
  node.st_mode = S_IFCHR | 0466;
  EXPECT_FALSE(may_write(node, 1000, {})) << "owner bits apply to the owner";
}

TEST_F(Permissions, OnlyBridgeChipNodesAreReported) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the fake nodes root's ownership";
  AddDevice("1-1", "0403", "6001", 5, 0664);
  AddDevice("1-2", "0403", "6010", 6, 0666);
  AddDevice("usb1", "1d6b", "0002", 1, 0664);  // a root hub: not ours to report
  auto nodes = Unwritable(1000);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], root_ + "/dev/001/005 (0403:6001)");
  EXPECT_TRUE(Unwritable(0).empty());
  EXPECT_TRUE(Unwritable(1000, {0}).empty()) << "a member of the owning group may write";
}

TEST_F(Permissions, MissingOrMalformedEntriesAreSkipped) {
  AddDevice("1-1", "zz", "6001", 5, 0600);
  mkdir((root_ + "/sys/1-3").c_str(), 0755);  // no attributes at all
  EXPECT_TRUE(Unwritable(1000).empty());
  EXPECT_TRUE(unwritable_chip_nodes(root_ + "/nowhere", root_ + "/dev", 1000, {}).empty());
}

}  // namespace
