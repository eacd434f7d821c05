// Lays out a simulated instrument: folders, firmware 1.0's settings and the
// stand-in programs, each file written whole before it gets its name.
#include "platform/sim_init.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "update/update.h"

namespace upd::platform {
namespace {

constexpr char kSettingsPath[] = "/home/Brimwood/cfg/brimwood.conf";
constexpr char kSettings[] =
    "V1.0 settings of the main application\nLanguage English\nBrightness 50\n"
    "Backlight(timeout) 120\n";
// The tools that the example package's commands name.
constexpr const char* kTools[] = {"/home/Brimwood/bin/msp430-tool",
                                  "/home/Brimwood/bin/flash-tool"};

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string StandInScript(const std::string& program) {
    const std::string name = NameOf(program);
    const std::string exits = std::string(kStandInExits) + "/" + name;
    return "#!/bin/sh\n"
           "# Stand-in for " +
           program +
           ", laid out by update-sim --init. It adds its path and\n"
           "# arguments to " +
           kStandInLog + " and exits with the status that " + exits +
           "\n"
           "# gives: the first line \"STATUS\" or \"STATUS ARGUMENT\" whose ARGUMENT is one of\n"
           "# its arguments; 0 when no line applies.\n"
           "line=" +
           program +
           "\n"
           "for arg in \"$@\"; do\n"
           "    case $arg in\n"
           "    '' | *[!A-Za-z0-9_./:=+,@%-]*) line=\"$line '$arg'\" ;;\n"
           "    *) line=\"$line $arg\" ;;\n"
           "    esac\n"
           "done\n"
           "printf '%s\\n' \"$line\" >>" +
           kStandInLog +
           "\n"
           "status=0\n"
           "if [ -r " +
           exits +
           " ]; then\n"
           "    while read -r code word; do\n"
           "        [ -n \"$code\" ] || continue\n"
           "        if [ -z \"$word\" ]; then status=$code; break; fi\n"
           "        for arg in \"$@\"; do\n"
           "            if [ \"$arg\" = \"$word\" ]; then status=$code; break 2; fi\n"
           "        done\n"
           "    done <" +
           exits +
           "\n"
           "fi\n"
           "exit \"$status\"\n";
}

class Layout {
  public:
    Layout(std::string root, std::vector<std::string>* made, std::string* failure)
        : root_(std::move(root)), made_(made), failure_(failure) {}

    // The folder `inside` and the folders above it.
    bool Folder(const std::string& inside, mode_t mode = 0755) {
        std::size_t slash = 0;
        while (slash != std::string::npos) {
            slash = inside.find('/', slash + 1);
            const std::string part = inside.substr(0, slash);
            if (::mkdir((root_ + part).c_str(), mode) == 0) {
                ::chmod((root_ + part).c_str(), mode);  // whatever the umask
                made_->push_back(part);
            } else if (errno != EEXIST) {
                return Failed("cannot create " + root_ + part);
            }
        }
        return true;
    }

    // A new file `inside`: written and synced under a temporary name in its
    // folder, then linked to its name, which fails when the name is taken.
    bool File(const std::string& inside, std::string_view content, mode_t mode) {
        if (!Folder(FolderOf(inside))) {
            return false;
        }
        const std::string path = root_ + inside;
        const std::string temporary = FolderOf(path) + "/." + NameOf(path) + ".init-tmp";
        ::unlink(temporary.c_str());
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            return Failed("cannot create " + temporary);
        }
        bool ok = ::fchmod(fd, mode) == 0;
        for (std::size_t done = 0; ok && done < content.size();) {
            const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            ok = n > 0;
            done += ok ? static_cast<std::size_t>(n) : 0;
        }
        ok = ok && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        const bool linked = ok && ::link(temporary.c_str(), path.c_str()) == 0;
        const int error = errno;
        ::unlink(temporary.c_str());
        if (!ok || (!linked && error != EEXIST)) {
            errno = ok ? error : errno;
            return Failed("cannot write " + path);
        }
        if (linked) {
            made_->push_back(inside);
            SyncFolder(FolderOf(path));
        }
        return true;
    }

  private:
    bool Failed(const std::string& what) {
        *failure_ = what + ": " + std::strerror(errno);
        return false;
    }

    static void SyncFolder(const std::string& folder) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }

    std::string root_;
    std::vector<std::string>* made_;
    std::string* failure_;
};

}  // namespace

std::vector<std::string> StandInPrograms() {
    std::vector<std::string> programs{kSplashProgram, kMainApplication};
    programs.insert(programs.end(), std::begin(kTools), std::end(kTools));
    programs.emplace_back(kRebootCommand);
    return programs;
}

bool LayOutInstrument(const std::string& root, std::vector<std::string>* made,
                      std::string* failure) {
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        *failure = "cannot create " + root + ": " + std::strerror(errno);
        return false;
    }
    Layout layout(root, made, failure);
    const std::string folders[] = {FolderOf(kMainApplication),
                                   FolderOf(kSettingsPath),
                                   FolderOf(kErrorFilePath),
                                   kDownloadDir,
                                   kMountPoint,
                                   FolderOf(kRebootCommand),
                                   kUsbStorageBindings[0],
                                   kDefaultDevice,
                                   kStandInExits};
    for (const std::string& folder : folders) {
        if (!layout.Folder(folder)) {
            return false;
        }
    }
    // Every user's programs keep their temporary files there.
    if (!layout.Folder("/tmp", 01777)) {
        return false;
    }
    for (const std::string& program : StandInPrograms()) {
        if (!layout.File(program, StandInScript(program), 0755)) {
            return false;
        }
    }
    return layout.File(kSettingsPath, kSettings, 0644);
}

}  // namespace upd::platform
