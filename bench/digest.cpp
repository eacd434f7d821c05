// Digest throughput: our MD5 against OpenSSL's on one 64 MiB buffer, and the
// file digests MD5Hash and SHA256Hash against md5sum and sha256sum on one
// 256 MiB file, all in the same run. Prints the throughput ratios at the end.
// Each iteration is timed by the processor time of the work itself (this
// thread's, or the tool process's user and system time), so that the ratios
// hold on a machine that other jobs keep busy; wall-clock ratios are printed too.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/ssl.h"
#include "files/file.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 20;
constexpr std::size_t kFileSize = std::size_t{256} << 20;

std::vector<std::uint8_t>& Buffer() {
    static std::vector<std::uint8_t> buffer = [] {
        std::vector<std::uint8_t> b(kBufferSize);
        std::uint32_t x = 0x2545f491;
        for (auto& byte : b) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<std::uint8_t>(x);
        }
        return b;
    }();
    return buffer;
}

std::string g_file;

struct Throughput {
    double cpu = 0;   // best bytes per processor second
    double wall = 0;  // best bytes per wall-clock second
};

std::map<std::string, Throughput>& Best() {
    static std::map<std::string, Throughput> best;
    return best;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Processor and wall-clock time of one iteration's work, started at construction.
struct Timer {
    double cpu_start = ThreadCpuSeconds();
    std::chrono::steady_clock::time_point wall_start = std::chrono::steady_clock::now();

    void Stop(benchmark::State& state, const char* name, std::size_t bytes) const {
        Record(state, name, ThreadCpuSeconds() - cpu_start,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count(),
               bytes);
    }
    static void Record(benchmark::State& state, const char* name, double cpu, double wall,
                       std::size_t bytes) {
        state.SetIterationTime(cpu);
        Throughput& best = Best()[name];
        best.cpu = std::max(best.cpu, static_cast<double>(bytes) / cpu);
        best.wall = std::max(best.wall, static_cast<double>(bytes) / wall);
    }
};

void BM_Md5Ours(benchmark::State& state) {
    const auto& buf = Buffer();
    for (auto _ : state) {
        const Timer timer;
        upd::md5_state_s md5;
        upd::md5_init(&md5);
        // md5_append takes an int count: feed the buffer in 16 MiB pieces.
        for (std::size_t at = 0; at < buf.size(); at += 16 << 20) {
            upd::md5_append(&md5, buf.data() + at, 16 << 20);
        }
        std::uint8_t digest[16];
        upd::md5_finish(&md5, digest);
        benchmark::DoNotOptimize(digest);
        timer.Stop(state, "md5 ours", buf.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

void BM_Md5OpenSsl(benchmark::State& state) {
    const auto& buf = Buffer();
    EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        const Timer timer;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestInit_ex(ctx, md5, nullptr);
        EVP_DigestUpdate(ctx, buf.data(), buf.size());
        EVP_DigestFinal_ex(ctx, digest, &size);
        benchmark::DoNotOptimize(digest);
        timer.Stop(state, "md5 openssl", buf.size());
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md5);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

void BM_MD5Hash(benchmark::State& state) {
    for (auto _ : state) {
        const Timer timer;
        char hex[33];
        if (!upd::MD5Hash(g_file.c_str(), hex, sizeof hex)) {
            state.SkipWithError("MD5Hash failed");
            break;
        }
        timer.Stop(state, "MD5Hash", kFileSize);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_SHA256Hash(benchmark::State& state) {
    for (auto _ : state) {
        const Timer timer;
        char hex[65];
        if (!upd::SHA256Hash(g_file.c_str(), hex)) {
            state.SkipWithError("SHA256Hash failed");
            break;
        }
        timer.Stop(state, "SHA256Hash", kFileSize);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// The reference tool as a process, its output thrown away; timed by the
// processor time the process used.
void RunTool(benchmark::State& state, const char* tool) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(tool), g_file.data(), nullptr};
    for (auto _ : state) {
        const auto wall_start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        int status = 0;
        rusage usage{};
        if (posix_spawnp(&pid, tool, &actions, nullptr, argv, environ) != 0 ||
            ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("tool failed");
            break;
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        const double cpu =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        Timer::Record(state, tool, cpu, wall, kFileSize);
    }
    posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_md5sum(benchmark::State& state) {
    RunTool(state, "md5sum");
}
void BM_sha256sum(benchmark::State& state) {
    RunTool(state, "sha256sum");
}

BENCHMARK(BM_Md5Ours)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Md5OpenSsl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MD5Hash)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_md5sum)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_SHA256Hash)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_sha256sum)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// A 256 MiB file of the buffer's bytes, in the temporary directory.
bool MakeFile() {
    const char* base = std::getenv("TMPDIR");
    g_file = std::string(base && *base ? base : "/tmp") + "/bench-digest-XXXXXX";
    const int fd = ::mkstemp(g_file.data());
    if (fd < 0) {
        return false;
    }
    const auto& buf = Buffer();
    bool ok = true;
    for (std::size_t written = 0; ok && written < kFileSize; written += buf.size()) {
        ok = ::write(fd, buf.data(), buf.size()) == static_cast<ssize_t>(buf.size());
    }
    return ::close(fd) == 0 && ok;
}

void PrintRatio(const char* what, const char* ours, const char* theirs) {
    const auto& best = Best();
    if (best.count(ours) && best.count(theirs)) {
        const Throughput& a = best.at(ours);
        const Throughput& b = best.at(theirs);
        std::printf(
            "%-24s cpu %7.1f vs %7.1f MB/s ratio %.3f | wall %7.1f vs %7.1f MB/s ratio %.3f\n",
            what, a.cpu / 1e6, b.cpu / 1e6, a.cpu / b.cpu, a.wall / 1e6, b.wall / 1e6,
            a.wall / b.wall);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (!MakeFile()) {
        std::fprintf(stderr, "cannot write the benchmark file %s\n", g_file.c_str());
        ::unlink(g_file.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(g_file.c_str());

    std::printf("\nBest throughput, ours against the reference (ratio = ours / reference):\n");
    PrintRatio("MD5 buffer vs OpenSSL", "md5 ours", "md5 openssl");
    PrintRatio("MD5Hash vs md5sum", "MD5Hash", "md5sum");
    PrintRatio("SHA256Hash vs sha256sum", "SHA256Hash", "sha256sum");
    return 0;
}
