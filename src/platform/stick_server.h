// The server of the simulated stick's FUSE file system: what the kernel asks
// of the stick, answered from the stick's folder as the instrument's vfat
// mount would answer it.
#pragma once

#include <atomic>

namespace upd::platform {

// Answers the requests read from `fuse` (an open /dev/fuse whose file system
// is mounted) with the folder open at `root`, until the file system is
// unmounted: names looked up by the FAT rules, files and folders only, mode
// 0755 and owner root, writes refused with EROFS; once `pulled` is non-zero,
// every request fails with EIO.
void ServeStick(int fuse, int root, const std::atomic<int>& pulled);

}  // namespace upd::platform
