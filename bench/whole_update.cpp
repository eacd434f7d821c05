// Whole updates, each a real run of update-sim on a simulated instrument in a
// scratch folder: manifests of 100, 1,000 and 10,000 TransferFile sections
// whose files are already installed (NoUpdateSame), and of as many RemoveFiles
// sections, timed per section; an empty manifest for the fixed cost of a run;
// and the peak resident memory of a run that installs one 256 MiB file.
//
// A run is the updater's whole process: start, sandbox, mount, manifest load,
// run list, every section, unmount, the wait for the stick and the restart of
// the main application, with the splash program and the main application
// replaced by empty scripts. update-sim is looked for beside the benchmark's
// folder, or named by BENCH_UPDATE_SIM.
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "measure.h"

namespace {

constexpr std::size_t kBigFileSize = std::size_t{256} << 20;
constexpr char kStick[] = "/dev/disk/by-label/BRIMWOOD";
constexpr char kUnplugged[] = "/.sim/unplugged/BRIMWOOD";
constexpr char kErrorFile[] = "/home/Brimwood/log/UpdateErrorLog.txt";
// A manifest line holds at most 255 characters; lists stay below that.
constexpr std::size_t kListLine = 240;

std::string g_updateSim;

enum class Kind { kEmpty, kTransfer, kRemove, kBigTransfer };

// prefix followed by the decimal number i ("f12").
std::string Numbered(const char* prefix, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%d", prefix, i);
    return text;
}

// What a run of update-sim cost, with its exit status.
struct RunResult {
    bench::Cost cost;
    int status = -1;
    long maxRssKiB = 0;    // peak resident set of the process (VmHWM)
    long ownPeakKiB = 0;   // peak of anonymous memory and the program's own file
    long libsPeakKiB = 0;  // peak of the shared libraries' resident pages
};

// Resident kilobytes of the process from /proc/PID/smaps: the shared
// libraries' pages, and everything else (heap, stack, the program itself).
bool SampleSmaps(pid_t pid, long* own, long* libs) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    if (!smaps) {
        return false;
    }
    *own = *libs = 0;
    bool library = false;
    std::string line;
    while (std::getline(smaps, line)) {
        if (line.rfind("Rss:", 0) == 0) {
            const long kib = std::strtol(line.c_str() + 4, nullptr, 10);
            (library ? *libs : *own) += kib;
        } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                   line.find('-') < line.find(' ')) {
            // A mapping's header line: address range, flags, offset, device,
            // inode and pathname.
            library = line.find(".so") != std::string::npos;
        }
    }
    return true;
}

// The peak resident set (VmHWM) of the process in kilobytes, or 0. Unlike
// the rusage of wait4, it counts the process's own program only, not the
// parent's memory it started from.
long PeakResident(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Runs update-sim ROOT, its output and its account of the run discarded, and
// waits for it; with `sample`, watches its memory every few milliseconds
// while it runs.
RunResult RunUpdateSim(const std::string& root, bool sample) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {g_updateSim.data(), const_cast<char*>(root.c_str()), nullptr};
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const bool started =
        ::posix_spawn(&pid, g_updateSim.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) {
        return result;
    }
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid, &status, sample ? WNOHANG : 0, &usage);
        if (done == pid) {
            break;
        }
        if (done < 0) {
            return result;
        }
        long own = 0;
        long libs = 0;
        if (SampleSmaps(pid, &own, &libs)) {
            result.ownPeakKiB = std::max(result.ownPeakKiB, own);
            result.libsPeakKiB = std::max(result.libsPeakKiB, libs);
        }
        result.maxRssKiB = std::max(result.maxRssKiB, PeakResident(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.cost.wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cost.cpu = bench::Seconds(usage.ru_utime) + bench::Seconds(usage.ru_stime);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A simulated instrument whose stick carries one manifest of `sections`
// sections of one kind.
class Instrument {
  public:
    Instrument(Kind kind, int sections) : kind_(kind), sections_(sections), dir_("whole") {}

    bool LayOut() {
        if (!dir_.ok()) {
            return false;
        }
        for (const char* d : {"/home/Brimwood/bin", "/home/Brimwood/log", "/home/Brimwood/download",
                              "/home/Brimwood/backup", "/mnt", "/tmp", "/sbin",
                              "/sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0"}) {
            bench::fs::create_directories(Host(d));
        }
        bench::fs::create_directories(Host(std::string(kStick) + "/firmware"));
        if (!Script("/home/Brimwood/bin/qsplash") || !Script("/home/Brimwood/bin/brimwood") ||
            !Script("/sbin/reboot")) {
            return false;
        }
        std::vector<std::string> names;
        std::string manifest;
        switch (kind_) {
            case Kind::kEmpty:
                break;
            case Kind::kTransfer:
                if (!TransferSections(&manifest, &names)) {
                    return false;
                }
                break;
            case Kind::kRemove:
                RemoveSections(&manifest, &names);
                break;
            case Kind::kBigTransfer:
                if (!BigTransferSection(&manifest, &names)) {
                    return false;
                }
                break;
        }
        if (!names.empty()) {
            manifest = SectionList(names) + manifest;
        }
        return bench::WriteText(Stick("firmware/AuxInfo.txt"), manifest);
    }

    // Puts the pulled stick back and restores what a run changed.
    bool Prepare() const {
        std::error_code ec;
        if (!bench::fs::exists(Host(kStick))) {
            bench::fs::rename(Host(kUnplugged), Host(kStick), ec);
        }
        bench::fs::remove(Host("/.sim/log"), ec);
        bench::fs::remove(Host(kErrorFile), ec);
        if (kind_ == Kind::kRemove) {
            for (int i = 0; i < sections_; ++i) {
                if (!bench::WriteText(Host(RemovedFile(i)), "")) {
                    return false;
                }
            }
        }
        if (kind_ == Kind::kBigTransfer) {
            bench::fs::remove(Host("/home/Brimwood/backup/firmware.bin.bak"), ec);
            bench::fs::remove(Host("/home/Brimwood/bin/firmware.bin"), ec);
            return bench::WriteText(Host("/home/Brimwood/bin/firmware.bin"), "old\n");
        }
        return true;
    }

    // A completed run: status 0, nothing reported, the work done.
    bool Done(const RunResult& run) const {
        if (run.status != 0 || bench::fs::exists(Host(kErrorFile))) {
            return false;
        }
        if (kind_ == Kind::kRemove && sections_ > 0) {
            return !bench::fs::exists(Host(RemovedFile(sections_ - 1)));
        }
        if (kind_ == Kind::kBigTransfer) {
            return bench::fs::file_size(Host("/home/Brimwood/bin/firmware.bin")) == kBigFileSize;
        }
        return true;
    }

    const std::string& root() const { return dir_.path(); }

  private:
    std::string Host(const std::string& inside) const { return dir_.path() + inside; }
    std::string Stick(const std::string& relative) const {
        return Host(std::string(kStick) + "/" + relative);
    }

    bool Script(const std::string& inside) const {
        const std::string path = Host(inside);
        return bench::WriteText(path, "#!/bin/sh\nexit 0\n") && ::chmod(path.c_str(), 0755) == 0;
    }

    // Installed files are spread over 100 folders, as an instrument's are
    // over its few.
    static std::string Folder(int i) { return Numbered("/home/Brimwood/apps/d", i % 100); }
    static std::string RemovedFile(int i) {
        return Numbered("/home/Brimwood/old/d", i % 100) + Numbered("/f", i);
    }

    bool TransferSections(std::string* manifest, std::vector<std::string>* names) const {
        const std::string content(4096, 'u');
        for (int i = 0; i < sections_; ++i) {
            const std::string file = Numbered("f", i);
            if (!bench::WriteText(Host(Folder(i) + "/" + file), content) ||
                !bench::WriteText(Stick("firmware/" + file), content)) {
                return false;
            }
        }
        const std::string md5 = bench::ToolDigest("md5sum", Stick("firmware/f0"));
        const std::string sha = bench::ToolDigest("sha256sum", Stick("firmware/f0"));
        std::ostringstream text;
        for (int i = 0; i < sections_; ++i) {
            const std::string name = Numbered("T", i);
            const std::string file = Numbered("f", i);
            names->push_back(name);
            text << name << "\nOperation = TransferFile\nSrcDir = /mnt/firmware\nSrcFile = " << file
                 << "\nInterimDir = /home/Brimwood/download\nInterimFile = " << file
                 << ".new\nDestDir = " << Folder(i) << "\nDestFile = " << file
                 << "\nBackupDir = /home/Brimwood/backup\nBackupFile = " << file
                 << ".bak\nMD5Hash = " << md5 << "\nSHA256Hash = " << sha
                 << "\nNoUpdateSame = true\n";
        }
        *manifest = text.str();
        return md5.size() == 32 && sha.size() == 64;
    }

    void RemoveSections(std::string* manifest, std::vector<std::string>* names) const {
        std::ostringstream text;
        for (int i = 0; i < sections_; ++i) {
            const std::string name = Numbered("R", i);
            names->push_back(name);
            text << name << "\nOperation = RemoveFiles\nfile1 = " << RemovedFile(i) << "\n";
        }
        *manifest = text.str();
    }

    bool BigTransferSection(std::string* manifest, std::vector<std::string>* names) const {
        if (!bench::WriteNoiseFile(Stick("firmware/firmware.bin"), kBigFileSize)) {
            return false;
        }
        const std::string md5 = bench::ToolDigest("md5sum", Stick("firmware/firmware.bin"));
        const std::string sha = bench::ToolDigest("sha256sum", Stick("firmware/firmware.bin"));
        names->push_back("Firmware");
        *manifest =
            "Firmware\nOperation = TransferFile\nSrcDir = /mnt/firmware\nSrcFile = "
            "firmware.bin\nInterimDir = /home/Brimwood/download\nInterimFile = "
            "firmware.bin.new\nDestDir = /home/Brimwood/bin\nDestFile = firmware.bin\n"
            "BackupDir = /home/Brimwood/backup\nBackupFile = firmware.bin.bak\nMD5Hash = " +
            md5 + "\nSHA256Hash = " + sha + "\n";
        return md5.size() == 32 && sha.size() == 64;
    }

    // The section SectionList whose Sequence expands to `names` in order,
    // through as many levels of sub-lists as the line length asks for.
    static std::string SectionList(std::vector<std::string> names) {
        std::string text;
        for (int level = 0;; ++level) {
            std::vector<std::string> groups;
            std::string line;
            auto flush = [&] {
                const std::string key =
                    "L" + std::to_string(level) + "_" + std::to_string(groups.size());
                text += key + " = " + line + "\n";
                groups.push_back(key);
                line.clear();
            };
            std::string all;
            for (const std::string& n : names) {
                if (!all.empty()) {
                    all += ',';
                }
                all += n;
            }
            if (all.size() <= kListLine) {
                return "SectionList\nSequence = " + all + "\n" + text;
            }
            for (const std::string& n : names) {
                if (line.size() + n.size() + 1 > kListLine) {
                    flush();
                }
                if (!line.empty()) {
                    line += ',';
                }
                line += n;
            }
            flush();
            names = groups;
        }
    }

    Kind kind_;
    int sections_;
    bench::ScratchDir dir_;
};

// One instrument per manifest, laid out on first use and kept for the run.
Instrument* Get(Kind kind, int sections) {
    static std::map<std::pair<Kind, int>, std::unique_ptr<Instrument>> instruments;
    auto& slot = instruments[{kind, sections}];
    if (!slot) {
        slot = std::make_unique<Instrument>(kind, sections);
        if (!slot->LayOut()) {
            slot.reset();
        }
    }
    return slot.get();
}

std::string Name(Kind kind, int sections) {
    switch (kind) {
        case Kind::kEmpty:
            return "empty";
        case Kind::kTransfer:
            return "transfer " + std::to_string(sections);
        case Kind::kRemove:
            return "remove " + std::to_string(sections);
        case Kind::kBigTransfer:
            break;
    }
    return "256 MiB";
}

RunResult g_memory;

void WholeRun(benchmark::State& state, Kind kind) {
    const int sections = static_cast<int>(state.range(0));
    Instrument* instrument = Get(kind, sections);
    if (instrument == nullptr) {
        state.SkipWithError("cannot lay out the instrument");
        return;
    }
    const bool sample = kind == Kind::kBigTransfer;
    for (auto _ : state) {
        if (!instrument->Prepare()) {
            state.SkipWithError("cannot prepare the instrument");
            break;
        }
        const RunResult run = RunUpdateSim(instrument->root(), sample);
        if (!instrument->Done(run)) {
            state.SkipWithError(("run failed with status " + std::to_string(run.status)).c_str());
            break;
        }
        bench::Record(state, Name(kind, sections), run.cost);
        if (sample) {
            g_memory.maxRssKiB = std::max(g_memory.maxRssKiB, run.maxRssKiB);
            g_memory.ownPeakKiB = std::max(g_memory.ownPeakKiB, run.ownPeakKiB);
            g_memory.libsPeakKiB = std::max(g_memory.libsPeakKiB, run.libsPeakKiB);
        }
    }
}

void BM_EmptyRun(benchmark::State& state) {
    WholeRun(state, Kind::kEmpty);
}
void BM_TransferSameRun(benchmark::State& state) {
    WholeRun(state, Kind::kTransfer);
}
void BM_RemoveRun(benchmark::State& state) {
    WholeRun(state, Kind::kRemove);
}
void BM_Install256MiB(benchmark::State& state) {
    WholeRun(state, Kind::kBigTransfer);
}

void Configure(benchmark::internal::Benchmark* b) {
    b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
}

BENCHMARK(BM_EmptyRun)->Arg(0)->Apply(Configure);
BENCHMARK(BM_TransferSameRun)
    ->ArgName("sections")
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Apply(Configure);
BENCHMARK(BM_RemoveRun)->ArgName("sections")->Arg(100)->Arg(1000)->Arg(10000)->Apply(Configure);
BENCHMARK(BM_Install256MiB)->Arg(1)->Apply(Configure);

// Time per section of each size, and the growth from 1,000 to 10,000.
void PrintPerSection(const char* what, Kind kind) {
    auto& best = bench::Best();
    std::printf("%s:\n", what);
    for (int n : {100, 1000, 10000}) {
        const std::string name = Name(kind, n);
        if (best.count(name)) {
            std::printf("  %5d sections: run %9.1f ms, %7.1f us/section, cpu %7.1f us/section\n", n,
                        best[name].wall * 1e3, best[name].wall * 1e6 / n, best[name].cpu * 1e6 / n);
        }
    }
    const std::string k1 = Name(kind, 1000);
    const std::string k10 = Name(kind, 10000);
    if (best.count(k1) && best.count(k10)) {
        std::printf("  per section at 10,000 / at 1,000: wall %.2f, cpu %.2f (target <= 1.5)\n",
                    (best[k10].wall / 10000) / (best[k1].wall / 1000),
                    (best[k10].cpu / 10000) / (best[k1].cpu / 1000));
    }
}

// update-sim beside the benchmark's folder (build/bench/.. = build).
std::string FindUpdateSim() {
    if (const char* named = std::getenv("BENCH_UPDATE_SIM"); named != nullptr && *named) {
        return named;
    }
    std::error_code ec;
    const auto self = bench::fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "update-sim").string();
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::InitializeInterleaved(argc, argv)) {
        return 1;
    }
    g_updateSim = FindUpdateSim();
    if (::access(g_updateSim.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no update-sim at %s (set BENCH_UPDATE_SIM)\n", g_updateSim.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& best = bench::Best();
    std::printf("\nWhole runs of update-sim, best of each (%s):\n", g_updateSim.c_str());
    if (best.count("empty")) {
        std::printf("Empty manifest (fixed cost of a run): %.1f ms, cpu %.1f ms\n",
                    best["empty"].wall * 1e3, best["empty"].cpu * 1e3);
    }
    PrintPerSection("TransferFile sections already installed (NoUpdateSame)", Kind::kTransfer);
    PrintPerSection("RemoveFiles sections, one file each", Kind::kRemove);
    if (g_memory.maxRssKiB > 0) {
        std::printf(
            "Install of one 256 MiB file: run %.0f ms; peak resident %ld KiB in all, "
            "%ld KiB besides the shared libraries (their pages: %ld KiB) (target < 4096)\n",
            best["256 MiB"].wall * 1e3, g_memory.maxRssKiB, g_memory.ownPeakKiB,
            g_memory.libsPeakKiB);
    }
    return 0;
}
