// update-pack as a program: each exit status its help gives, and a wrong
// command line in one line that points to the help.
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "digest/command.h"
#include "pack_fixture.h"
#include "util/program.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

struct ProgramCase {
    const char* name;
    std::vector<std::string> args;  // "WORK/" stands for the work folder
    int status;
    std::string out;  // the start of standard output
    // Standard error: the whole of it when empty or ending a line, else a
    // part of its first line.
    std::string err;
};

void PrintTo(const ProgramCase& c, std::ostream* os) {
    *os << c.name;
}

class ProgramTest : public PackTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, ExitsAsItsHelpSays) {
    Manifest("SectionList\nSequence = App\n" + AppSection());
    Source("app.bin", kAppContent);
    Source("missing/AuxInfo.txt.in", "SectionList\nSequence = App\n" + AppSection());
    fs::create_directories(dir_ / "full/x");

    std::string command = Quoted(UPD_PACK_BINARY);
    for (const std::string& arg : GetParam().args) {
        command += " " + Quoted(arg.starts_with("WORK/") ? dir_ / arg.substr(5) : arg);
    }
    const std::string errFile = dir_ / "err";
    const std::string out = CommandOutput(command + " 2>" + Quoted(errFile) + "; echo \"[$?]\"");
    const std::string said = ReadAll(errFile);
    EXPECT_EQ(out.substr(out.rfind('[')), "[" + std::to_string(GetParam().status) + "]\n") << said;
    EXPECT_EQ(out.substr(0, GetParam().out.size()), GetParam().out);
    const std::string& err = GetParam().err;
    if (err.empty() || err.ends_with('\n')) {
        EXPECT_EQ(said, err);  // the whole of it
    } else {
        EXPECT_NE(said.substr(0, said.find('\n')).find(err), std::string::npos) << said;
    }
    if (GetParam().status != 0) {
        EXPECT_FALSE(OutExists());
    }
}

const std::string kSeeHelp = " (see update-pack --help)\n";

INSTANTIATE_TEST_SUITE_P(
    Pack, ProgramTest,
    ::testing::Values(
        ProgramCase{"Help", {"--help"}, 0, "usage: update-pack SOURCE_MANIFEST OUTPUT_DIR", ""},
        ProgramCase{
            "HelpAmongOthers", {"WORK/src/AuxInfo.txt.in", "-h"}, 0, "usage: update-pack", ""},
        ProgramCase{"Version", {"--version"}, 0, VersionLine("update-pack"), ""},
        ProgramCase{"Written", {"WORK/src/AuxInfo.txt.in", "WORK/out", "-q"}, 0, "", ""},
        ProgramCase{"ANamedFileMissing",
                    {"WORK/src/missing/AuxInfo.txt.in", "WORK/out"},
                    1,
                    "",
                    "section App: SrcFile names /mnt/firmware/app.bin, but neither"},
        ProgramCase{"UnknownOption",
                    {"WORK/src/AuxInfo.txt.in", "WORK/out", "--bogus"},
                    2,
                    "",
                    "update-pack: unknown option --bogus" + kSeeHelp},
        ProgramCase{"NoArguments",
                    {},
                    2,
                    "",
                    "update-pack: give SOURCE_MANIFEST and OUTPUT_DIR" + kSeeHelp},
        ProgramCase{"AValueMissing",
                    {"WORK/src/AuxInfo.txt.in", "WORK/out", "--key"},
                    2,
                    "",
                    "update-pack: --key needs a value" + kSeeHelp},
        ProgramCase{"KeygenWithOneFile",
                    {"--keygen", "WORK/key.pem"},
                    2,
                    "",
                    "update-pack: --keygen takes exactly PRIVATE.pem and PUBLIC.pem" + kSeeHelp},
        ProgramCase{"NoSourceManifest",
                    {"WORK/src/none.in", "WORK/out"},
                    2,
                    "",
                    "update-pack: cannot read the source manifest "},
        ProgramCase{"OutputNotEmpty",
                    {"WORK/src/AuxInfo.txt.in", "WORK/full"},
                    2,
                    "",
                    "full exists and is not an empty folder"}));

}  // namespace
}  // namespace upd::testing
