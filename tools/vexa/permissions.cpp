#include "permissions.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "vexa.h"

namespace vexa_tool {

namespace {

// Vendors whose chips the library accepts out of the box, plus the user row.
bool bridge_vendor(unsigned vendor) {
  uint32_t user_vendor = 0, user_product = 0;
  KX_GetVIDPID(&user_vendor, &user_product);
  return vendor == 0x0403 || vendor == 0x08AC || vendor == 0x15D6 || vendor == user_vendor;
}

bool read_number(const std::string &path, int base, unsigned *value) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text)) return false;
  try {
    *value = static_cast<unsigned>(std::stoul(text, nullptr, base));
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

bool may_write(const struct stat &node, uid_t uid, const std::vector<gid_t> &groups) {
  if (uid == 0) return true;
  if (node.st_uid == uid) return node.st_mode & S_IWUSR;
  if (std::find(groups.begin(), groups.end(), node.st_gid) != groups.end())
    return node.st_mode & S_IWGRP;
  return node.st_mode & S_IWOTH;
}

std::vector<std::string> unwritable_chip_nodes(const std::string &sysfs_root,
                                               const std::string &dev_root, uid_t uid,
                                               const std::vector<gid_t> &groups) {
  std::vector<std::string> found;
  DIR *folder = opendir(sysfs_root.c_str());
  if (!folder) return found;
  while (const dirent *entry = readdir(folder)) {
    const std::string device = sysfs_root + "/" + entry->d_name;
    unsigned vendor, product, busnum, devnum;
    if (!read_number(device + "/idVendor", 16, &vendor) ||
        !read_number(device + "/idProduct", 16, &product) ||
        !read_number(device + "/busnum", 10, &busnum) ||
        !read_number(device + "/devnum", 10, &devnum) || !bridge_vendor(vendor))
      continue;
    char node[64], ids[16];
    std::snprintf(node, sizeof node, "/%03u/%03u", busnum, devnum);
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
    struct stat status;
    const std::string path = dev_root + node;
    if (stat(path.c_str(), &status) == 0 && !may_write(status, uid, groups))
      found.push_back(path + " (" + ids + ")");
  }
  closedir(folder);
  std::sort(found.begin(), found.end());
  return found;
}

std::string permission_hint() {
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  groups.resize(static_cast<size_t>(std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  groups.push_back(getegid());
  auto nodes = unwritable_chip_nodes("/sys/bus/usb/devices", "/dev/bus/usb", geteuid(), groups);
  if (nodes.empty()) return "";
  return "no write access to " + nodes.front() +
         ": install the udev rules (70-vexa.rules) and re-plug the chip";
}

}  // namespace vexa_tool
