// The simulated instrument of the end-to-end tests.
#include "support/sim_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace upd::testing {
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr char kSplashRecord[] = "/.test/splash";
constexpr char kRebootRecord[] = "/.test/reboot";

// Stand-in splash program: records the message, its second argument.
constexpr char kSplashScript[] = "printf '%s\\n' \"$2\" >> /.test/splash\n";
// Stand-in reboot: records that it ran.
constexpr char kRebootScript[] = "echo reboot >> /.test/reboot\n";

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

SimInstrument::SimInstrument() : root_(dir_ / "root") {
    fs::create_directory(root_);
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    for (const char* d : {"/home/Brimwood/bin", "/home/Brimwood/log", "/home/Brimwood/download",
                          "/mnt", "/tmp", "/.test"}) {
        MakeDir(d);
    }
    MakeDir(std::string(kStick) + "/firmware");
    BindUsb(kUsbPorts[0]);
    WriteScript("/home/Brimwood/bin/qsplash", kSplashScript);
    WriteScript("/sbin/reboot", kRebootScript);
}

std::string SimInstrument::Stick(const std::string& relative) const {
    std::string base = Unplugged() ? Host("/.sim/unplugged/BRIMWOOD") : Host(kStick);
    return relative.empty() ? base : base + "/" + relative;
}

void SimInstrument::Write(const std::string& inside, const std::string& content,
                          mode_t mode) const {
    fs::path path = Host(inside);
    fs::create_directories(path.parent_path());
    WriteAll(path.string(), content);
    ::chmod(path.c_str(), mode);
}

void SimInstrument::WriteScript(const std::string& inside, const std::string& body) const {
    Write(inside, "#!/bin/sh\n" + body, 0755);
}

void SimInstrument::MakeDir(const std::string& inside) const {
    fs::create_directories(Host(inside));
}

void SimInstrument::Remove(const std::string& inside) const {
    std::error_code ec;
    fs::remove_all(Host(inside), ec);
}

bool SimInstrument::Exists(const std::string& inside) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Host(inside), ec));
}

std::string SimInstrument::Read(const std::string& inside) const {
    return ReadAll(Host(inside));
}

void SimInstrument::BindUsb(const char* port) const {
    MakeDir(std::string(kUsbDrivers) + "/" + port);
}

void SimInstrument::UnbindAllUsb() const {
    Remove(kUsbDrivers);
}

void SimInstrument::WriteStick(const std::string& relative, const std::string& content) const {
    fs::path path = Stick(relative);
    fs::create_directories(path.parent_path());
    WriteAll(path.string(), content);
}

void SimInstrument::WriteManifest(const std::string& text) const {
    WriteStick("firmware/AuxInfo.txt", text);
}

bool SimInstrument::Unplugged() const {
    return !Exists(kStick) && Exists("/.sim/unplugged");
}

void SimInstrument::SetMountErrno(int error) const {
    Write("/.sim/mount-errno", std::to_string(error) + "\n");
}

void SimInstrument::SetUmountErrno(int error) const {
    Write("/.sim/umount-errno", std::to_string(error) + "\n");
}

void SimInstrument::SetUnplugAfter(int sleeps) const {
    Write("/.sim/unplug-after", std::to_string(sleeps) + "\n");
}

void SimInstrument::SetStickReadOnly() const {
    Write("/.sim/stick-readonly", "");
}

void SimInstrument::SetDeviceAfter(int pauses) const {
    Write("/.sim/device-after", std::to_string(pauses) + "\n");
}

void SimInstrument::SetStaleMounts(const std::vector<std::string>& sources) const {
    std::string table;
    for (const std::string& source : sources) {
        table += source + "\t/mnt\n";
    }
    Write("/.sim/mounts", table);
}

bool SimInstrument::StaleMountsLeft() const {
    return Exists("/.sim/mounts");
}

pid_t SimInstrument::Start(const std::vector<std::string>& args) const {
    std::vector<std::string> command{UPD_SIM_BINARY, root_};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& arg : command) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

namespace {

// Moves update-sim's own lines from the run's standard error to its report.
SimRun SplitReport(SimRun run) {
    std::string err;
    for (const std::string& line : SplitLines(run.err)) {
        (line.rfind("update-sim: ", 0) == 0 ? run.report : err) += line + "\n";
    }
    run.err = err;
    return run;
}

}  // namespace

SimRun SimInstrument::Run(const std::vector<std::string>& args) const {
    std::vector<std::string> command{UPD_SIM_BINARY, root_};
    command.insert(command.end(), args.begin(), args.end());
    return SplitReport(Execute(command));
}

SimRun SimInstrument::RunUnprivileged(const std::vector<std::string>& args) const {
    if (::geteuid() != 0) {
        return Run(args);
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        ::lchown(entry.path().c_str(), kNobody, kNobody);
    }
    ::lchown(dir_.path().c_str(), kNobody, kNobody);
    // The build folder may be closed to other users: run a copy of the program
    // from the test's own folder (unless it is a wrapper script for an emulator).
    std::string program = UPD_SIM_BINARY;
    char magic[4] = {};
    std::ifstream(program, std::ios::binary).read(magic, sizeof magic);
    if (std::string(magic, sizeof magic) == "\177ELF") {
        const std::string copy = dir_ / "update-sim";
        fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
        ::chmod(copy.c_str(), 0755);
        program = copy;
    }
    std::vector<std::string> command{"setpriv",        "--reuid=65534", "--regid=65534",
                                     "--clear-groups", program,         root_};
    command.insert(command.end(), args.begin(), args.end());
    return SplitReport(Execute(command));
}

bool SimInstrument::UserNamespacesAvailable() {
    pid_t child = ::fork();
    if (child == 0) {
        bool ok = (::geteuid() != 0 ||
                   (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                    ::setresuid(kNobody, kNobody, kNobody) == 0)) &&
                  ::unshare(CLONE_NEWUSER) == 0;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

SimRun SimInstrument::Execute(const std::vector<std::string>& command) const {
    const std::string out_path = dir_ / "stdout";
    const std::string err_path = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (const std::string& arg : command) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    SimRun run;
    pid_t pid = 0;
    int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << command[0];
        return run;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(out_path);
    run.err = ReadAll(err_path);
    return run;
}

std::optional<std::string> SimInstrument::ErrorFile() const {
    if (!Exists(kErrorFile)) {
        return std::nullopt;
    }
    return Read(kErrorFile);
}

std::vector<std::string> SimInstrument::Messages() const {
    return SplitLines(Read(kSplashRecord));
}

std::vector<std::string> SimInstrument::Trace() const {
    std::vector<std::string> lines;
    for (std::string& line : SplitLines(Read("/.sim/log"))) {
        if (line.rfind("warning ", 0) != 0) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

bool SimInstrument::StickWasVfat() const {
    const std::vector<std::string> lines = SplitLines(Read("/.sim/log"));
    return std::none_of(lines.begin(), lines.end(),
                        [](const std::string& line) { return line.rfind("warning ", 0) == 0; });
}

std::vector<std::string> SimInstrument::TraceOf(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& line : Trace()) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

int SimInstrument::Reboots() const {
    return static_cast<int>(SplitLines(Read(kRebootRecord)).size());
}

std::string SimInstrument::SplashCommand(const std::string& message) {
    return "/home/Brimwood/bin/qsplash /home/Brimwood/bin/BrimwoodSplash.png \"" + message +
           "\" -platform linuxfb:nographicsmodeswitch:size=480x272:mmsize=95x54";
}

}  // namespace upd::testing
