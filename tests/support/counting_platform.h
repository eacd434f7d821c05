// A platform for unit tests: every service refuses or returns at once, and the
// syncs asked for are counted instead of syncing the machine.
#pragma once

#include "platform/platform.h"

namespace upd::testing {

class CountingPlatform final : public platform::Platform {
  public:
    int Mount(const char*, const char*, const char*, unsigned long, const void*) override {
        return -1;
    }
    int Umount(const char*) override { return -1; }
    void Sync() override { ++syncs; }
    int System(const char*) override { return -1; }
    unsigned Sleep(unsigned) override { return 0; }
    void Pause(unsigned) override {}
    std::vector<platform::MountedFs> MountsOn(const char*) override { return {}; }
    int Detach(const char*) override { return -1; }

    int syncs = 0;
};

}  // namespace upd::testing
