// The optional SHA256Hash keys of ConfigUpdate and FlashUpdate, on the
// operations directly: which values are refused, and ConfigUpdate's check of
// the package file before anything on the instrument changes.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "op_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

class DigestKeysTest : public StoreTest {
  public:
    // A configuration merge in the temporary tree, with an old backup, and
    // `digest` as the section's SHA256Hash.
    void Config(const std::string& digest) {
        FreeAuxInfo();
        fs::create_directories(Path("pkg"));
        fs::create_directories(Path("etc"));
        fs::create_directories(Path("backup"));
        WriteAll(Path("pkg/app.conf"), kPackage);
        WriteAll(Path("etc/app.conf"), kInstalled);
        WriteAll(Path("backup/app.conf.bak"), "old backup\n");
        Load(ManifestText().Section("S", {{"SrcDir", Path("pkg")},
                                          {"SrcFile", "app.conf"},
                                          {"DestDir", Path("etc")},
                                          {"DestFile", "app.conf"},
                                          {"BackupDir", Path("backup")},
                                          {"BackupFile", "app.conf.bak"}}));
        Inject("S", "SHA256Hash", digest);
    }

    static constexpr char kPackage[] = "V2\nGain 1\nMode auto\n";
    static constexpr char kInstalled[] = "V1\nGain 5\n";
};

TEST_F(DigestKeysTest, ConfigUpdateMergesOnlyAPackageWithTheDigestGiven) {
    std::string upper = Sha256Hex(kPackage);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    struct Case {
        const char* what;
        std::string digest;
        int code;  // 0: merged
    };
    const Case cases[] = {
        {"the package's digest", Sha256Hex(kPackage), 0},
        {"the digest of other bytes", Sha256Hex("V2\nGain 9\nMode auto\n"), 670},
        {"the right digest in upper case", upper, 670},
        {"an empty value", "", 670},
        {"511 characters are read", std::string(511, 'a'), 670},
        {"512 characters are refused before anything is read", std::string(512, 'a'), 624},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Config(c.digest);
        info.errorCode = 99;
        EXPECT_EQ(ConfigUpdate("S", &info), c.code == 0 ? 1 : 0);
        EXPECT_EQ(info.errorCode, c.code);
        if (c.code == 0) {
            EXPECT_EQ(ReadAll(Path("etc/app.conf")), "V2\nGain 5\nMode auto\n");
            EXPECT_EQ(ReadAll(Path("backup/app.conf.bak")), kInstalled);
        } else {
            // Refused before the old backup goes: nothing has changed.
            EXPECT_EQ(ReadAll(Path("etc/app.conf")), kInstalled);
            EXPECT_EQ(ReadAll(Path("backup/app.conf.bak")), "old backup\n");
            EXPECT_EQ(std::distance(fs::directory_iterator(Path("etc")), {}), 1);
        }
    }
}

// FlashUpdate's digest is read after its five keys: one that does not fit is
// refused with the operation's code; one that fits lets the presence checks
// decide (here: Device is absent), so nothing is copied.
TEST_F(DigestKeysTest, FlashUpdateRefusesADigestTooLong) {
    for (const auto& [length, code] : {std::pair{511, 634}, std::pair{512, 636}}) {
        SCOPED_TRACE(length);
        FreeAuxInfo();
        Load(ManifestText().Section("F", {{"Offset", "0"},
                                          {"EraseCommand", "true"},
                                          {"WriteCommand", "true"},
                                          {"DataPath1", Path("missing")}}));
        Inject("F", "SHA256Hash", std::string(length, 'a'));
        EXPECT_EQ(FlashUpdate("F", &info), 0);
        EXPECT_EQ(info.errorCode, code);
    }
}

}  // namespace
}  // namespace upd::testing
