// The simulated instrument's mounts kept from one run to the next, as a
// failed or killed run leaves them on the instrument, and its late device
// path: the stick's link that appears only some pauses after the run began.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/sim.h"

namespace upd::platform {
namespace {

// The stick's device path when no -d names another.
constexpr char kStickDevice[] = "/dev/disk/by-label/BRIMWOOD";

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

// The table holds one mount a line, the lowest first: its source, a tab and
// its target. A source that no longer exists is a pulled stick's: its mount
// shows an empty, read-only file system, as the dead stick's does.
void SimPlatform::LoadMounts() {
    std::ifstream table(ControlFile("mounts"));
    std::string line;
    while (std::getline(table, line)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;
        }
        SimMount m{line.substr(0, tab), line.substr(tab + 1)};
        struct stat st {};
        if (::stat(m.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            ::mount(m.source.c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr);
        } else {
            ::mount("stale", m.target.c_str(), "tmpfs", MS_RDONLY | MS_NOEXEC, "size=4k");
        }
        mounts_.push_back(std::move(m));
    }
}

// Written whole under another name and renamed over the table, so that a
// run killed at any moment leaves one table or the other.
void SimPlatform::SaveMounts() const {
    const std::string path = ControlFile("mounts");
    if (mounts_.empty()) {
        ::unlink(path.c_str());
        return;
    }
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const SimMount& m : mounts_) {
            out << m.source << '\t' << m.target << '\n';
        }
    }
    std::rename(temp.c_str(), path.c_str());
}

void SimPlatform::Mounted(const char* source, const char* target) {
    mounts_.push_back({source, target});
    SaveMounts();
}

void SimPlatform::Unmounted(const char* target) {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (it->target == target) {
            mounts_.erase(std::next(it).base());
            break;
        }
    }
    SaveMounts();
}

std::vector<MountedFs> SimPlatform::MountsOn(const char* target) {
    std::vector<MountedFs> on;
    for (const SimMount& m : mounts_) {
        if (m.target == target) {
            on.push_back({m.source, !Exists(m.source)});
        }
    }
    return on;
}

int SimPlatform::Detach(const char* target) {
    const int result = ::umount2(target, MNT_DETACH);
    const int error = errno;
    if (result == 0) {
        Unmounted(target);
    }
    Trace(std::string("detach ") + target +
          (result == 0 ? " -> 0" : " -> -1 errno " + std::to_string(error)));
    errno = error;
    return result;
}

void SimPlatform::Pause(unsigned milliseconds) {
    if (++pauses_ > kPauseLimit) {
        std::fflush(nullptr);
        std::fprintf(stderr, "update-sim: the updater still polls after %u pauses\n", kPauseLimit);
        std::_Exit(kStuckStatus);
    }
    Trace("pause " + std::to_string(milliseconds));
    if (pauses_ == device_at_) {
        ShowLateDevice();
    }
}

void SimPlatform::HideLateDevice() {
    if (device_at_ == 0 || !Exists(kStickDevice)) {
        return;
    }
    const std::string folder = ControlFile("late");
    ::mkdir(folder.c_str(), 0755);
    device_hidden_ = std::rename(kStickDevice, (folder + "/BRIMWOOD").c_str()) == 0;
}

void SimPlatform::ShowLateDevice() {
    if (!device_hidden_) {
        return;
    }
    device_hidden_ = false;
    if (std::rename(ControlFile("late/BRIMWOOD").c_str(), kStickDevice) == 0) {
        Trace(std::string("link ") + kStickDevice);
    }
}

}  // namespace upd::platform
