// BackupFiles on a temporary tree: which directories it creates, in which
// order, and what a failure leaves.
#include <sys/stat.h>

#include <filesystem>

#include "op_fixture.h"

namespace upd::testing {
namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;
using BackupTest = StoreTest;

TEST_F(BackupTest, CreatesMissingDirectoriesInOrder) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        Keys keys;  // relative to the temporary directory
        int result;
        std::vector<const char*> exist;
    };
    const Case cases[] = {
        {"nested in a missing DestDir",
         {{"DestDir", "b"}, {"DestDir1", "b/1"}, {"DestDir2", "b/2"}},
         1,
         {"b", "b/1", "b/2"}},
        {"missing parent of DestDir2 keeps the ones before",
         {{"DestDir", "b"}, {"DestDir1", "b/1"}, {"DestDir2", "none/2"}},
         0,
         {"b", "b/1"}},
        {"sources are never looked at",
         {{"DestDir", "b"}, {"SrcDir1", "none/x"}, {"SrcDir2", "none/y"}},
         1,
         {"b"}},
        {"absent destinations are skipped", {{"DestDir1", "c"}}, 1, {"c"}},
        {"a regular file counts as existing",
         {{"DestDir", "file"}, {"DestDir2", "d"}},
         1,
         {"file", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove_all(entry.path());
        }
        WriteAll(Path("file"), "x");
        std::string text = "B\n";
        for (const auto& [k, v] : c.keys) {
            text += k + " = " + Path(v) + "\n";
        }
        FreeAuxInfo();
        Load(ManifestText().Line(text));
        info.errorCode = 1234;
        EXPECT_EQ(BackupFiles("B", &info), c.result);
        EXPECT_EQ(info.errorCode, c.result ? 1234 : 648);
        for (const char* d : c.exist) {
            EXPECT_TRUE(fs::exists(Path(d))) << d;
        }
        if (fs::is_directory(Path("b"))) {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            EXPECT_EQ(fs::status(Path("b")).permissions() & fs::perms::all,
                      fs::perms(0755 & ~mask));
        }
    }
}

}  // namespace
}  // namespace upd::testing
