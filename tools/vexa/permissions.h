// On a real system the usual reason a chip is listed but cannot be opened (or
// its strings cannot be read) is a USB device node the user may not write.
// These helpers find such nodes so that the tool can say so, with the fix.
#ifndef VEXA_TOOL_PERMISSIONS_H
#define VEXA_TOOL_PERMISSIONS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace vexa_tool {

// Whether a user with this uid and these groups may write a node of this mode and owner.
bool may_write(const struct stat &node, uid_t uid, const std::vector<gid_t> &groups);

// Device nodes of the bridge chips' vendors, found through sysfs_root
// (normally /sys/bus/usb/devices) under dev_root (normally /dev/bus/usb),
// that the user cannot write; each entry is "NODE (VID:PID)".
std::vector<std::string> unwritable_chip_nodes(const std::string &sysfs_root,
                                               const std::string &dev_root, uid_t uid,
                                               const std::vector<gid_t> &groups);

// One line explaining the first such node for the current user and how to
// fix it, or "" when every node is writable (or there is none).
std::string permission_hint();

}  // namespace vexa_tool

#endif
