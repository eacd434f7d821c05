// The simulated instrument's mounts kept from one run to the next, as a
// failed or killed run leaves them on the instrument: mounted again when a
// run starts, listed with their devices gone or there, and detached.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/sim.h"

namespace upd::platform {
namespace {

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
            // Without exec rights, as the stick is mounted.
            MountStick(m.source.c_str(), m.target.c_str(), MS_NOEXEC);
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

}  // namespace upd::platform
