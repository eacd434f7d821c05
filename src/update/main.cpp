// The updater's entry point: the banner, the run context, the command line,
// the usage text, the lock that keeps a second updater out, the removal of
// what an interrupted run left, the wait for the stick's device, the release
// of stale mounts and the mount of the stick on /mnt. The sequence runner
// then carries the run on.
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "diag/dpr.h"
#include "platform/platform.h"
#include "update/update.h"
#include "util/program.h"

namespace upd {
namespace {

constexpr char kBuildDate[] = "Fri Jan 24 12:50:32 2020";

constexpr const char* kUsage[] = {
    "Usage: ./update [-d <device>] [-t <timestamp>] [-f] [-m]\n",
    "       where:\n",
    "            -d  -  device name\n",
    "                   <device> ex: /dev/sda1\n",
    "            -t  -  specify build timestamp of current firmware\n",
    "                   <timestamp> format is YYYY-MM-DD HH:MM:SS\n",
    "            -f  -  force override of timestamp check\n",
    "            -s  -  perform SSL check\n",
    "            -h  -  display usage message, then terminate\n",
    "            -m  -  enable MSG macro\n",
};

// Options that only set a bit of the run context's flags.
struct FlagOption {
    std::string_view name;
    uint32_t bit;
};
constexpr FlagOption kFlagOptions[] = {
    {"-s", UPD_SSL}, {"-f", UPD_FORCE}, {"-h", UPD_HELP}, {"-m", UPD_MSG}, {"-mm", UPD_MESG},
};

void PrintBanner() {
    std::printf("Z4412 firmware updater v%s (%s)\n", Version(), kBuildDate);
}

void PrintUsage() {
    for (const char* line : kUsage) {
        std::fputs(line, stdout);
    }
}

// Copies `text` into the fixed field `field` when it fits; false otherwise.
template <std::size_t N>
bool CopyField(char (&field)[N], const char* text) {
    std::size_t length = std::strlen(text);
    if (length >= N) {
        return false;
    }
    std::memcpy(field, text, length + 1);
    return true;
}

// Parses the arguments after the program name into `info`. Returns 0, or the
// code of a device or time-stamp argument too long for its field, at which
// point parsing stops. The argument after -d is stored as the device path and
// is then also taken as an option if it is one; the argument after -t is
// only stored.
int ParseCommandLine(int argc, char** argv, UpdateInfo* info) {
    bool expect_device = false;
    bool expect_time_stamp = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (expect_device) {
            if (!CopyField(info->device, arg)) {
                return kErrDeviceArgTooLong;
            }
            info->flags |= UPD_DEVICE;
        }
        if (expect_time_stamp) {
            if (!CopyField(info->timeStamp, arg)) {
                return kErrTimeStampArgTooLong;
            }
            info->flags |= UPD_TIMESTAMP;
            expect_device = false;
            expect_time_stamp = false;
            continue;
        }
        std::string_view option(arg);
        expect_device = option == "-d";
        expect_time_stamp = option == "-t";
        for (const FlagOption& flag : kFlagOptions) {
            if (option == flag.name) {
                info->flags |= flag.bit;
            }
        }
    }
    return 0;
}

// Reports a failure of the start-up: nothing is torn down.
int Fail(int code, UpdateInfo* info) {
    info->errorCode = code;
    return Error(code, false, info);
}

}  // namespace

std::string DeviceToMount(int argc, char** argv) {
    UpdateInfo info{};
    if (ParseCommandLine(argc, argv, &info) != 0 || (info.flags & UPD_HELP) != 0) {
        return {};
    }
    return (info.flags & UPD_DEVICE) != 0 ? info.device : kDefaultDevice;
}

int UpdateMain(int argc, char** argv) {
    // The diagnostic facility names this process and stamps its messages with
    // the time; -mm and -m switch message kinds on once the options are known.
    SetThreadName("MAIN");
    PrintBanner();
    dpr_config(1, DPR_TIME);

    UpdateInfo info{};
    info.errorCode = 0;
    info.sections = nullptr;
    info.flags = 0;
    info.timeStamp[0] = '\0';

    // Command line. The usage text changes nothing and needs no lock.
    const int parsed = ParseCommandLine(argc, argv, &info);
    if (parsed == 0 && (info.flags & UPD_HELP)) {
        PrintUsage();
        return Error(0, false, &info);
    }

    // One updater at a time: a second one leaves everything to the first.
    RunLock lock;
    if (!lock.Take()) {
        std::fflush(stdout);
        std::fputs("update: another update is running; this one stops\n", stderr);
        return 1;
    }
    RemoveStaleFlashCopy();

    if (parsed != 0) {
        info.errorCode = parsed;
        UnMount(&info);
        return Error(parsed, false, &info);
    }
    if ((info.flags & UPD_DEVICE) == 0) {
        CopyField(info.device, kDefaultDevice);
    }
    if (info.flags & UPD_MESG) {
        std::fputs("calling dpr_config to enable MESG\n", stderr);
        dpr_config(1, DPR_MESG);
    }
    if (info.flags & UPD_MSG) {
        dpr_config(1, DPR_MSG | DPR_FILTER);  // also loads the filter "./.dpr"
    }

    // Device check: the device path may come some time after the binding.
    platform::Current().Sync();
    if (!WaitForDevice(info.device)) {
        return Fail(kErrDeviceNotFound, &info);
    }

    // Mount, on top of nothing that a pulled stick left. A write-protected
    // stick refuses a read-write mount (EROFS, or EACCES from some drivers);
    // the updater never writes to the stick, so it is then mounted read-only
    // with otherwise the same flags. A busy mount point is taken as the stick
    // already mounted there.
    ReleaseStaleMounts();
    platform::Platform& os = platform::Current();
    int mounted = os.Mount(info.device, kMountPoint, "vfat", MS_NOEXEC, nullptr);
    if (mounted != 0 && (errno == EROFS || errno == EACCES)) {
        mounted = os.Mount(info.device, kMountPoint, "vfat", MS_NOEXEC | MS_RDONLY, nullptr);
    }
    if (mounted != 0 && errno != EBUSY) {
        return Fail(kErrMountFailed, &info);
    }
    Mounted = true;

    return RunSequence(&info);
}

}  // namespace upd
