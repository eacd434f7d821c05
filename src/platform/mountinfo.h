// The kernel's table of mounts (/proc/self/mountinfo) read for one mount
// point: which file systems are stacked there, and whether the block device
// of one of them is gone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upd::platform {

// One mount of the table.
struct MountRecord {
    std::string source;  // the mount source, as it was given to mount
    unsigned major = 0;  // the file system's device
    unsigned minor = 0;
};

// The mounts of the table text `mountinfo` whose mount point is `target`, the
// lowest first and the one in view last (each is mounted on the one before
// it). Lines that cannot be read are passed over.
std::vector<MountRecord> MountsAt(std::string_view mountinfo, std::string_view target);

// Whether the block device major:minor no longer exists: the kernel lists
// every block device it has in `sys_dev_block` (normally /sys/dev/block) as
// MAJOR:MINOR. A file system without a device (major 0, as tmpfs) is never
// gone, and neither is any device when that folder cannot be looked at.
bool BlockDeviceGone(unsigned major, unsigned minor,
                     const std::string& sys_dev_block = "/sys/dev/block");

}  // namespace upd::platform
