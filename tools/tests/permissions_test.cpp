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

TEST(Permissions, WriteRightsByOwnerGroupAndOthers) {
  struct stat node = {};
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

TEST(Permissions, OnlyBridgeChipNodesWithGoodEntriesAreReported) {
  char pattern[] = "/tmp/vexa-permissions-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  for (const char *dir : {"/sys", "/dev", "/dev/001", "/sys/1-3"}) mkdir((root + dir).c_str(), 0755);
  // Devices in the fake sysfs and their nodes, owned by root:root.
  const struct {
    const char *name, *vendor, *product;
    int devnum;
    mode_t mode;
  } devices[] = {{"1-1", "0403", "6001", 5, 0664}, {"1-2", "0403", "6010", 6, 0666},
                 {"usb1", "1d6b", "0002", 1, 0664},  // a root hub: not ours to report
                 {"1-4", "zz", "6001", 7, 0600}};     // malformed; 1-3 has no attributes at all
  const bool root_owned = geteuid() == 0;
  for (const auto &d : devices) {
    const std::string folder = root + "/sys/" + d.name;
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/idVendor") << d.vendor << "\n";
    std::ofstream(folder + "/idProduct") << d.product << "\n";
    std::ofstream(folder + "/busnum") << 1 << "\n";
    std::ofstream(folder + "/devnum") << d.devnum << "\n";
    const std::string node = root + "/dev/001/00" + std::to_string(d.devnum);
    std::ofstream(node).put('\0');
    chmod(node.c_str(), d.mode);
    EXPECT_TRUE(!root_owned || chown(node.c_str(), 0, 0) == 0);
  }
  const auto nodes = unwritable_chip_nodes(root + "/sys", root + "/dev", 1000, {});
  if (root_owned) {
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0], root + "/dev/001/005 (0403:6001)");
    EXPECT_TRUE(unwritable_chip_nodes(root + "/sys", root + "/dev", 1000, {0}).empty())
        << "a member of the owning group may write";
  }
  EXPECT_TRUE(unwritable_chip_nodes(root + "/sys", root + "/dev", 0, {}).empty());
  EXPECT_TRUE(unwritable_chip_nodes(root + "/nowhere", root + "/dev", 1000, {}).empty());
  std::system(("rm -rf " + root).c_str());
}

}  // namespace
