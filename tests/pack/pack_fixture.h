// A packing workbench for the tests: a source folder with a manifest and its
// files, update-pack's library run on it, and the stick it wrote.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "pack/keys.h"
#include "pack/pack.h"
#include "support/package.h"
#include "support/tempdir.h"

namespace upd::testing {

inline constexpr char kAppContent[] = "application 2.0\n";
inline constexpr char kConfContent[] = "V2.0\nGain 1\n";

// A TransferFile section installing `srcDir`/`file`, without digests.
inline std::string AppSection(const std::string& srcDir = "/mnt/firmware",
                              const std::string& name = "App",
                              const std::string& file = "app.bin") {
    return ManifestText()
        .Section(name, {{"Operation", "TransferFile"},
                        {"SrcDir", srcDir},
                        {"SrcFile", file},
                        {"InterimDir", "/home/Brimwood/download"},
                        {"InterimFile", "app.new"},
                        {"DestDir", "/home/Brimwood/bin"},
                        {"DestFile", "app.bin"},
                        {"BackupDir", "/home/Brimwood/backup"},
                        {"BackupFile", "app.bin"}})
        .str();
}

// A 2048-bit key pair made once for the test program: key.pem and key.pub in
// the folder returned.
inline const TempDir& TestKeys() {
    static const TempDir dir;
    static const bool made = [] {
        std::string error;
        EXPECT_TRUE(pack::GenerateKeyPair(dir / "key.pem", dir / "key.pub", &error, 2048)) << error;
        return true;
    }();
    (void)made;
    return dir;
}

class PackTest : public ::testing::Test {
  protected:
    // Writes a file of the source folder, its folders made as needed.
    void Source(const std::string& relative, const std::string& content) const {
        const std::string path = dir_ / ("src/" + relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        WriteAll(path, content);
    }
    void Manifest(const std::string& text) const { Source("AuxInfo.txt.in", text); }

    // Packs src/ into out/ with `options` for the rest.
    pack::Outcome Pack(pack::Options options = {}) {
        options.source = dir_ / "src/AuxInfo.txt.in";
        options.outputDir = dir_ / "out";
        log_.str("");
        return pack::Pack(options, log_);
    }

    std::string Out(const std::string& relative) const {
        return ReadAll(dir_ / ("out/" + relative));
    }
    std::string Written() const { return Out("firmware/AuxInfo.txt"); }
    bool OutExists(const std::string& relative = "") const {
        return std::filesystem::exists(dir_ / ("out/" + relative));
    }
    // The entries of the work folder: nothing but what the test put there
    // and what the pack published.
    std::size_t Entries() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) {
            ++n;
        }
        return n;
    }

    TempDir dir_;
    std::ostringstream log_;
};

}  // namespace upd::testing
