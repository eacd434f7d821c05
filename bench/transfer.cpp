// Installing one 256 MiB file: TransferFile against the shell pipeline that a
// technician would type for the same work (cp to the interim path, sync,
// md5sum, sha256sum, mv the installed file to the backup, mv the interim file
// into place, chmod), and CopyFile against cp, all in the same run.
//
// The files lie in the instrument's layout under a scratch folder; the stick
// (the package's folder) lies on another file system, as a USB stick does on
// the instrument: /dev/shm when it is there, or BENCH_STICK_DIR. CopyFile is
// also measured with both files on one file system, where cp copies inside
// the kernel.
#include <cstdio>
#include <cstring>
#include <string>

#include "files/file.h"
#include "manifest/auxinfo.h"
#include "measure.h"
#include "update/update.h"

namespace {

constexpr std::size_t kFileSize = std::size_t{256} << 20;

struct Layout {
    std::string stickFile;   // the package's file on the stick
    std::string localFile;   // a copy of it on the instrument's file system
    std::string interimDir;  // /home/Brimwood/download
    std::string destDir;     // /home/Brimwood/bin
    std::string backupDir;   // /home/Brimwood/backup
    std::string md5;
    std::string sha256;
};

Layout g_layout;

std::string Interim() {
    return g_layout.interimDir + "/firmware.bin.new";
}
std::string Dest() {
    return g_layout.destDir + "/firmware.bin";
}
std::string Backup() {
    return g_layout.backupDir + "/firmware.bin.bak";
}

// Loads the one TransferFile section into the store.
bool LoadSection(const std::string& manifestPath) {
    const std::string stickDir = g_layout.stickFile.substr(0, g_layout.stickFile.rfind('/'));
    const std::string text =
        "Install\n"
        "Operation = TransferFile\n"
        "SrcDir = " +
        stickDir +
        "\n"
        "SrcFile = firmware.bin\n"
        "InterimDir = " +
        g_layout.interimDir +
        "\n"
        "InterimFile = firmware.bin.new\n"
        "DestDir = " +
        g_layout.destDir +
        "\n"
        "DestFile = firmware.bin\n"
        "BackupDir = " +
        g_layout.backupDir +
        "\n"
        "BackupFile = firmware.bin.bak\n"
        "MD5Hash = " +
        g_layout.md5 +
        "\n"
        "SHA256Hash = " +
        g_layout.sha256 + "\n";
    return bench::WriteText(manifestPath, text) && upd::ReadAuxInfo(manifestPath.c_str()) == 1;
}

void BM_TransferFile(benchmark::State& state) {
    for (auto _ : state) {
        upd::UpdateInfo info{};
        if (!bench::Iteration(state, "TransferFile",
                              [&] { return upd::TransferFile("Install", &info) == 1; })) {
            break;
        }
    }
}

void BM_Pipeline(benchmark::State& state) {
    const std::string command =
        "cp '" + g_layout.stickFile + "' '" + Interim() + "' && sync && echo '" + g_layout.md5 +
        "  " + Interim() + "' | md5sum -c --status && echo '" + g_layout.sha256 + "  " + Interim() +
        "' | sha256sum -c --status && mv '" + Dest() + "' '" + Backup() + "' && mv '" + Interim() +
        "' '" + Dest() + "' && chmod 755 '" + Dest() + "'";
    for (auto _ : state) {
        if (!bench::Iteration(state, "pipeline", [&] { return bench::Shell(command); })) {
            break;
        }
    }
}

// CopyFile from `from` against "cp && sync" (CopyFile syncs too) and plain cp.
void CopyPair(benchmark::State& state, const std::string& from, const char* tag) {
    const std::string to = g_layout.interimDir + "/copy.bin";
    const std::string cp = "cp '" + from + "' '" + to + "'";
    const std::string ours = std::string("CopyFile ") + tag;
    const std::string cpSync = std::string("cp+sync ") + tag;
    const std::string cpAlone = std::string("cp ") + tag;
    for (auto _ : state) {
        bool ok = false;
        switch (state.range(0)) {
            case 0:
                ok = bench::Iteration(state, ours,
                                      [&] { return upd::CopyFile(from.c_str(), to.c_str()) == 1; });
                break;
            case 1:
                ok = bench::Iteration(state, cpSync, [&] { return bench::Shell(cp + " && sync"); });
                break;
            default:
                ok = bench::Iteration(state, cpAlone, [&] { return bench::Shell(cp); });
                break;
        }
        if (!ok) {
            break;
        }
    }
}

void BM_CopyFromStick(benchmark::State& state) {
    CopyPair(state, g_layout.stickFile, "stick");
}
void BM_CopyLocal(benchmark::State& state) {
    CopyPair(state, g_layout.localFile, "local");
}

// The copies take a fraction of a second: more of them make their best time
// steadier on a shared machine.
template <int Repetitions>
void Configure(benchmark::internal::Benchmark* b) {
    b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(Repetitions);
}

BENCHMARK(BM_TransferFile)->Apply(Configure<7>);
BENCHMARK(BM_Pipeline)->Apply(Configure<7>);
BENCHMARK(BM_CopyFromStick)->ArgName("cp")->DenseRange(0, 2)->Apply(Configure<15>);
BENCHMARK(BM_CopyLocal)->ArgName("cp")->DenseRange(0, 2)->Apply(Configure<15>);

bool SetUp(const bench::ScratchDir& root, const bench::ScratchDir& stick) {
    g_layout.stickFile = stick / "firmware.bin";
    g_layout.localFile = root / "mnt/firmware.bin";
    g_layout.interimDir = root / "home/Brimwood/download";
    g_layout.destDir = root / "home/Brimwood/bin";
    g_layout.backupDir = root / "home/Brimwood/backup";
    for (const std::string& dir :
         {g_layout.interimDir, g_layout.destDir, g_layout.backupDir, root / "mnt"}) {
        std::error_code ec;
        bench::fs::create_directories(dir, ec);
    }
    if (!bench::WriteNoiseFile(g_layout.stickFile, kFileSize) ||
        !bench::WriteNoiseFile(g_layout.localFile, kFileSize) ||
        !bench::WriteText(Dest(), "the installed firmware\n") ||
        !bench::WriteText(Backup(), "the previous firmware\n")) {
        return false;
    }
    g_layout.md5 = bench::ToolDigest("md5sum", g_layout.stickFile);
    g_layout.sha256 = bench::ToolDigest("sha256sum", g_layout.stickFile);
    return g_layout.md5.size() == 32 && g_layout.sha256.size() == 64 &&
           LoadSection(root / "AuxInfo.txt");
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::InitializeInterleaved(argc, argv)) {
        return 1;
    }
    const char* stickBase = std::getenv("BENCH_STICK_DIR");
    if (stickBase == nullptr && bench::fs::is_directory("/dev/shm")) {
        stickBase = "/dev/shm";
    }
    bench::ScratchDir root("transfer");
    bench::ScratchDir stick("stick", stickBase != nullptr ? stickBase : "");
    if (!root.ok() || !stick.ok() || !SetUp(root, stick)) {
        std::fprintf(stderr, "cannot lay out the benchmark's files\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    upd::FreeAuxInfo();

    std::printf("\nBest of each, ours against the reference (ratio = ours / reference):\n");
    bench::PrintRatio("TransferFile 256 MiB vs shell pipeline", "TransferFile", "pipeline");
    bench::PrintRatio("CopyFile 256 MiB from stick vs cp+sync", "CopyFile stick", "cp+sync stick");
    bench::PrintRatio("CopyFile 256 MiB from stick vs cp", "CopyFile stick", "cp stick");
    bench::PrintRatio("CopyFile 256 MiB same fs vs cp+sync", "CopyFile local", "cp+sync local");
    bench::PrintRatio("CopyFile 256 MiB same fs vs cp", "CopyFile local", "cp local");
    return 0;
}
