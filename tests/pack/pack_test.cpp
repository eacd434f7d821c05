// update-pack's library on small packages: digests filled in or checked, the
// written manifest loadable with every other line kept, where the package's
// files are found and put, and packs that are refused leave nothing behind.
#include <cctype>
#include <filesystem>

#include "manifest/auxinfo.h"
#include "pack_fixture.h"

namespace upd::testing {
namespace {

using pack::Outcome;

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Lookup(const char* section, const char* key) {
    char value[kManifestLineSize] = {};
    bool found = false;
    GetAuxInfo(section, key, value, sizeof value, &found);
    return found ? value : "<absent>";
}

// Fill in versus check: the App section of a two-section package carries the
// digest lines of each row; a refused row leaves no stick and no staging
// folder.
struct DigestCase {
    const char* name;
    std::string digestLines;  // "MD5Hash = ..." lines given in the source
    Outcome outcome;
    const char* message;  // part of what the refusal says
};

void PrintTo(const DigestCase& c, std::ostream* os) {
    *os << c.name;
}

class DigestTest : public PackTest, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DigestTest, FillsInOrChecks) {
    const std::string md5 = Md5Hex(kAppContent);
    const std::string sha = Sha256Hex(kAppContent);
    ManifestText source;
    source.Line("# the package's comments stay")
        .Section("SectionList", {{"Sequence", "App, Settings"}})
        .Line(AppSection() + GetParam().digestLines + "# about Settings");
    std::string text = source.str() + "# about Settings\n";
    text += ManifestText()
                .Section("Settings", {{"Operation", "ConfigUpdate"},
                                      {"SrcDir", "/mnt/firmware"},
                                      {"SrcFile", "app.conf"},
                                      {"DestDir", "/home/Brimwood/cfg"},
                                      {"DestFile", "app.conf"},
                                      {"BackupDir", "/home/Brimwood/backup"},
                                      {"BackupFile", "app.conf"}})
                .str();
    Manifest(text);
    Source("app.bin", kAppContent);
    Source("app.conf", kConfContent);

    ASSERT_EQ(Pack(), GetParam().outcome) << log_.str();
    if (GetParam().outcome != Outcome::kWritten) {
        EXPECT_NE(log_.str().find(GetParam().message), std::string::npos) << log_.str();
        EXPECT_FALSE(OutExists());
        EXPECT_EQ(Entries(), 1u);  // src alone
        return;
    }
    // Missing keys come at the end of their section, before the comment
    // about the next one; nothing else changes.
    std::string filled = GetParam().digestLines;
    if (filled.find("MD5Hash") == std::string::npos) {
        filled += "MD5Hash = " + md5 + "\n";
    }
    if (filled.find("SHA256Hash") == std::string::npos) {
        filled += "SHA256Hash = " + sha + "\n";
    }
    std::string expected = text;
    const std::size_t keys = text.find("# about");
    expected.replace(keys - GetParam().digestLines.size(), GetParam().digestLines.size(), filled);
    expected += "SHA256Hash = " + Sha256Hex(kConfContent) + "\n";
    EXPECT_EQ(Written(), expected);
    EXPECT_EQ(Out("firmware/app.bin"), kAppContent);
    EXPECT_EQ(Out("firmware/app.conf"), kConfContent);

    ASSERT_EQ(ReadAuxInfo((dir_ / "out/firmware/AuxInfo.txt").c_str()), 1);
    EXPECT_EQ(Lookup("App", "MD5Hash"), md5);
    EXPECT_EQ(Lookup("App", "SHA256Hash"), sha);
    EXPECT_EQ(Lookup("Settings", "SHA256Hash"), Sha256Hex(kConfContent));
    FreeAuxInfo();
}

INSTANTIATE_TEST_SUITE_P(
    Pack, DigestTest,
    ::testing::Values(
        DigestCase{"BothMissing", "", Outcome::kWritten, ""},
        DigestCase{
            "BothRight",
            "MD5Hash = " + Md5Hex(kAppContent) + "\nSHA256Hash = " + Sha256Hex(kAppContent) + "\n",
            Outcome::kWritten, ""},
        DigestCase{"OnlyMd5Given", "MD5Hash = " + Md5Hex(kAppContent) + "\n", Outcome::kWritten,
                   ""},
        DigestCase{"Md5Wrong", "MD5Hash = " + Md5Hex("other") + "\n", Outcome::kRefused,
                   "does not match firmware/app.bin"},
        DigestCase{"Sha256Uppercase", "SHA256Hash = " + Upper(Sha256Hex(kAppContent)) + "\n",
                   Outcome::kRefused, "is not in lowercase"},
        DigestCase{"EmptyValue", "SHA256Hash =\n", Outcome::kRefused, "does not match"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace upd::testing
