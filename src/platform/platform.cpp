// The process-wide platform selection and the real Linux services.
#include "platform/platform.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
