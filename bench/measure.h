// Shared by the benchmark programs: the wall-clock and processor time of one
// action (this process and the children it waited for), the best time of each
// named action kept for the ratios printed at the end of a run, shell commands
// run as the reference, and the scratch files the benchmarks work on.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

// What one action cost.
struct Cost {
    double wall = std::numeric_limits<double>::infinity();  // seconds elapsed
    double cpu = std::numeric_limits<double>::infinity();   // user + system seconds
};

inline double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// Processor time used so far by this process and by every child it has waited for.
inline double CpuSoFar() {
    rusage self{};
    rusage children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return Seconds(self.ru_utime) + Seconds(self.ru_stime) + Seconds(children.ru_utime) +
           Seconds(children.ru_stime);
}

// Measures `action`; its result (true for success) is stored in *ok.
template <class Action>
Cost Measure(Action&& action, bool* ok) {
    const double cpu = CpuSoFar();
    const auto start = std::chrono::steady_clock::now();
    *ok = action();
    Cost cost;
    cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.cpu = CpuSoFar() - cpu;
    return cost;
}

// The best (lowest) cost seen for each name: on a shared machine the fastest
// run is the one least disturbed by others.
inline std::map<std::string, Cost>& Best() {
    static std::map<std::string, Cost> best;
    return best;
}

// Reports the iteration's wall time to the benchmark and keeps the best.
inline void Record(benchmark::State& state, const std::string& name, const Cost& cost) {
    state.SetIterationTime(cost.wall);
    Cost& best = Best()[name];
    best.wall = std::min(best.wall, cost.wall);
    best.cpu = std::min(best.cpu, cost.cpu);
}

// Measures `action` once as an iteration of `name`; false (and the benchmark
// marked failed) when the action failed.
template <class Action>
bool Iteration(benchmark::State& state, const std::string& name, Action&& action) {
    bool ok = false;
    const Cost cost = Measure(action, &ok);
    if (!ok) {
        state.SkipWithError((name + " failed").c_str());
        return false;
    }
    Record(state, name, cost);
    return true;
}

// One line: the best times of `ours` and `theirs`, each divided by `per`
// (a count of items, 1 for whole actions), and ours / theirs.
inline void PrintRatio(const std::string& what, const std::string& ours, const std::string& theirs,
                       double per = 1.0, const char* unit = "ms") {
    const auto& best = Best();
    if (!best.count(ours) || !best.count(theirs)) {
        return;
    }
    const Cost& a = best.at(ours);
    const Cost& b = best.at(theirs);
    const double scale = (unit[0] == 'u' ? 1e6 : 1e3) / per;
    std::printf("%-44s wall %9.3f vs %9.3f %s ratio %5.2f | cpu %9.3f vs %9.3f %s ratio %5.2f\n",
                what.c_str(), a.wall * scale, b.wall * scale, unit, a.wall / b.wall, a.cpu * scale,
                b.cpu * scale, unit, a.cpu / b.cpu);
}

// Runs `command` with /bin/sh, its output thrown away; true when it exits 0.
inline bool Shell(const std::string& command) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    int status = 0;
    const bool started = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// A new, empty folder under `base` (TMPDIR or /tmp when empty), removed with
// everything in it when the object goes.
class ScratchDir {
  public:
    explicit ScratchDir(const char* tag, std::string base = "") {
        if (base.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string pattern = base + "/bench-" + tag + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) {
            fs::remove_all(path_, ec);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Writes `size` pseudo-random bytes (the same for every call) to `path`.
inline bool WriteNoiseFile(const std::string& path, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    std::vector<std::uint32_t> block(1 << 18);  // 1 MiB
    std::uint32_t x = 0x2545f491;
    bool ok = true;
    for (std::size_t written = 0; ok && written < size;) {
        for (auto& word : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            word = x;
        }
        const std::size_t n = std::min(size - written, block.size() * sizeof block[0]);
        ok = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
        written += n;
    }
    return ::close(fd) == 0 && ok;
}

// Writes `text` to `path`, creating its parent folders.
inline bool WriteText(const std::string& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

// Lowercase hexadecimal digest of a file by a reference tool ("md5sum",
// "sha256sum"); empty on failure.
inline std::string ToolDigest(const char* tool, const std::string& path) {
    const std::string command = std::string(tool) + " '" + path + "'";
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        return "";
    }
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    const bool exited = ::pclose(p) == 0;
    if (!got || !exited) {
        return "";
    }
    std::string text(line);
    return text.substr(0, text.find(' '));
}

// Initialises Google Benchmark with the runs of every benchmark interleaved, so
// that ours and the reference meet the same machine. false on an unknown flag.
inline bool InitializeInterleaved(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

}  // namespace bench
