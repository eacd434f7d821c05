// The process-wide platform selection and the real Linux services.
#include "platform/platform.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/mountinfo.h"

namespace upd::platform {
namespace {

class Linux final : public Platform {
  public:
    int Mount(const char* source, const char* target, const char* fstype, unsigned long flags,
              const void* data) override {
        return ::mount(source, target, fstype, flags, data);
    }
    int Umount(const char* target) override { return ::umount(target); }
    void Sync() override { ::sync(); }
    int System(const char* command) override {
        // The command's output must follow what the updater has written so far.
        std::fflush(nullptr);
        return std::system(command);
    }
    unsigned Sleep(unsigned seconds) override { return ::sleep(seconds); }
    void Pause(unsigned milliseconds) override {
        timespec left{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    std::vector<MountedFs> MountsOn(const char* target) override {
        std::ifstream table("/proc/self/mountinfo");
        std::ostringstream text;
        text << table.rdbuf();
        std::vector<MountedFs> mounts;
        for (const MountRecord& m : MountsAt(text.str(), target)) {
            mounts.push_back({m.source, BlockDeviceGone(m.major, m.minor)});
        }
        return mounts;
    }
    int Detach(const char* target) override { return ::umount2(target, MNT_DETACH); }
};

Platform* current = nullptr;

}  // namespace

Platform& LinuxPlatform() {
    static Linux linux_platform;
    return linux_platform;
}

Platform& Current() {
    return current ? *current : LinuxPlatform();
}

Platform* Install(Platform* p) {
    Platform* previous = &Current();
    current = p;
    return previous;
}

}  // namespace upd::platform
