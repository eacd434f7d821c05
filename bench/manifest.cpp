// The manifest store: loading manifests of 10,000 and 100,000 lines (with the
// first lookup, which indexes the store), against the line reader alone on the
// same file (what the store adds to reading); and the lookups a run makes,
// every key of every section, per lookup at both sizes (a lookup must not cost
// more in a larger manifest) and against a walk of the store.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/auxinfo.h"
#include "manifest/line.h"
#include "measure.h"

namespace {

std::string g_dir;

struct Manifest {
    std::string path;
    int lines = 0;
    std::vector<std::pair<std::string, std::string>> keys;  // every section and key
};

Manifest& Get(int lines) {
    static std::map<int, Manifest> manifests;
    return manifests[lines];
}

// A manifest of TransferFile sections, with a comment and a blank line
// between sections, as a package author writes them: `lines` lines in all.
bool Write(int lines) {
    static const char* const kKeys[] = {"Operation",   "SrcDir",  "SrcFile",    "InterimDir",
                                        "InterimFile", "DestDir", "DestFile",   "BackupDir",
                                        "BackupFile",  "MD5Hash", "SHA256Hash", "NoUpdateSame"};
    Manifest& m = Get(lines);
    m.path = g_dir + "/AuxInfo-" + std::to_string(lines) + ".txt";
    std::string text;
    int written = 0;
    for (int section = 0; written < lines; ++section) {
        const std::string name = "Section" + std::to_string(section);
        text += "# " + name + "\n\n" + name + "\n";
        written += 3;
        for (const char* key : kKeys) {
            if (written == lines) {
                break;
            }
            text += std::string(key) + " = value of " + key + " in " + name + "\n";
            m.keys.emplace_back(name, key);
            ++written;
        }
    }
    m.lines = written;
    return bench::WriteText(m.path, text);
}

void BM_Load(benchmark::State& state) {
    const Manifest& m = Get(static_cast<int>(state.range(0)));
    const std::string name = "load " + std::to_string(m.lines);
    for (auto _ : state) {
        // The first lookup builds the store's index: a run always makes one.
        const bool ok = bench::Iteration(state, name, [&] {
            char value[64];
            bool found = false;
            return upd::ReadAuxInfo(m.path.c_str()) == 1 &&
                   upd::GetAuxInfo("SectionList", "Sequence", value, sizeof value, &found) == 1;
        });
        upd::FreeAuxInfo();
        if (!ok) {
            break;
        }
    }
}

void BM_ReadLines(benchmark::State& state) {
    const Manifest& m = Get(static_cast<int>(state.range(0)));
    const std::string name = "lines " + std::to_string(m.lines);
    for (auto _ : state) {
        if (!bench::Iteration(state, name, [&] {
                std::FILE* f = std::fopen(m.path.c_str(), "r");
                if (f == nullptr) {
                    return false;
                }
                char line[256];
                int skipped = 0;
                int len = 0;
                while ((len = upd::nextline(f, line, sizeof line,
                                            upd::kSkipBlankLines | upd::kSkipCommentLines,
                                            &skipped)) >= 0) {
                    benchmark::DoNotOptimize(line);
                }
                return std::fclose(f) == 0 && len == -1;
            })) {
            break;
        }
    }
}

void BM_LookUpEveryKey(benchmark::State& state) {
    const Manifest& m = Get(static_cast<int>(state.range(0)));
    const std::string name = "lookups " + std::to_string(m.lines);
    if (upd::ReadAuxInfo(m.path.c_str()) != 1) {
        state.SkipWithError("load failed");
        return;
    }
    for (auto _ : state) {
        if (!bench::Iteration(state, name, [&] {
                char value[512];
                bool found = false;
                for (const auto& [section, key] : m.keys) {
                    if (!upd::GetAuxInfo(section.c_str(), key.c_str(), value, sizeof value,
                                         &found) ||
                        !found) {
                        return false;
                    }
                }
                return true;
            })) {
            break;
        }
    }
    upd::FreeAuxInfo();
}

// The same lookups by a walk of the store in file order, as it is laid out,
// for comparison.
const upd::AuxPair* Walk(const char* section, const char* key) {
    for (const upd::AuxSection* s = upd::aux_Section; s != nullptr; s = s->next) {
        if (std::strcmp(s->name, section) == 0) {
            for (const upd::AuxPair* p = s->pairs; p != nullptr; p = p->next) {
                if (std::strcmp(p->name, key) == 0) {
                    return p;
                }
            }
            return nullptr;
        }
    }
    return nullptr;
}

void BM_WalkEveryKey(benchmark::State& state) {
    const Manifest& m = Get(static_cast<int>(state.range(0)));
    const std::string name = "walks " + std::to_string(m.lines);
    if (upd::ReadAuxInfo(m.path.c_str()) != 1) {
        state.SkipWithError("load failed");
        return;
    }
    for (auto _ : state) {
        if (!bench::Iteration(state, name, [&] {
                for (const auto& [section, key] : m.keys) {
                    const upd::AuxPair* p = Walk(section.c_str(), key.c_str());
                    if (p == nullptr) {
                        return false;
                    }
                    benchmark::DoNotOptimize(p);
                }
                return true;
            })) {
            break;
        }
    }
    upd::FreeAuxInfo();
}

void Configure(benchmark::internal::Benchmark* b) {
    b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9);
    b->ArgName("lines")->Arg(10000)->Arg(100000);
}

BENCHMARK(BM_Load)->Apply(Configure);
BENCHMARK(BM_ReadLines)->Apply(Configure);
BENCHMARK(BM_LookUpEveryKey)->Apply(Configure);
BENCHMARK(BM_WalkEveryKey)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ArgName("lines")
    ->Arg(10000)
    ->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
    if (!bench::InitializeInterleaved(argc, argv)) {
        return 1;
    }
    bench::ScratchDir dir("manifest");
    g_dir = dir.path();
    if (!dir.ok() || !Write(10000) || !Write(100000)) {
        std::fprintf(stderr, "cannot write the manifests\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double lookups10k = static_cast<double>(Get(10000).keys.size());
    const double lookups100k = static_cast<double>(Get(100000).keys.size());
    std::printf("\nManifest store, best of each (ratio = first / second):\n");
    bench::PrintRatio("load 100,000 lines vs line reader alone", "load 100000", "lines 100000");
    bench::PrintRatio("load 10,000 lines vs line reader alone", "load 10000", "lines 10000");
    auto& best = bench::Best();
    if (best.count("load 100000") && best.count("load 10000")) {
        std::printf("%-44s wall %.2f, cpu %.2f (per line, 100,000 / 10,000)\n", "load growth",
                    (best["load 100000"].wall / 100000) / (best["load 10000"].wall / 10000),
                    (best["load 100000"].cpu / 100000) / (best["load 10000"].cpu / 10000));
    }
    if (best.count("lookups 100000") && best.count("lookups 10000")) {
        std::printf("%-44s %.3f vs %.3f us, ratio %.2f (100,000 / 10,000 lines)\n", "one lookup",
                    best["lookups 100000"].wall * 1e6 / lookups100k,
                    best["lookups 10000"].wall * 1e6 / lookups10k,
                    (best["lookups 100000"].wall / lookups100k) /
                        (best["lookups 10000"].wall / lookups10k));
    }
    bench::PrintRatio("every key of 100,000 lines: index vs walk", "lookups 100000", "walks 100000",
                      lookups100k, "us");
    bench::PrintRatio("every key of 10,000 lines: index vs walk", "lookups 10000", "walks 10000",
                      lookups10k, "us");
    return 0;
}
