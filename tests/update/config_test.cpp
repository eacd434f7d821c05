// ConfigUpdate and GetVersion on a temporary tree: the merge, the version
// gate, and what each failure leaves on disk.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>

#include "files/file.h"
#include "op_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

class ConfigTest : public StoreTest {
  public:
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove_all(entry.path());
        }
        fs::create_directories(Path("pkg"));
        fs::create_directories(Path("etc"));
        fs::create_directories(Path("backup"));
        Load(ManifestText().Section("Cfg", {{"Operation", "ConfigUpdate"},
                                            {"SrcDir", Path("pkg")},
                                            {"SrcFile", "app.conf"},
                                            {"DestDir", Path("etc")},
                                            {"DestFile", "app.conf"},
                                            {"BackupDir", Path("backup")},
                                            {"BackupFile", "app.conf.bak"}}));
    }

    void Files(const std::string& package, const std::string& installed) {
        WriteAll(Path("pkg/app.conf"), package);
        WriteAll(Path("etc/app.conf"), installed);
    }

    int Run() { return ConfigUpdate("Cfg", &info); }

    std::string Installed() const { return ReadAll(Path("etc/app.conf")); }
    std::string Backup() const { return ReadAll(Path("backup/app.conf.bak")); }
    bool NoTemporaryLeft() const {
        for (const auto& entry : fs::directory_iterator(Path("etc"))) {
            if (entry.path().filename() != "app.conf") {
                return false;
            }
        }
        return true;
    }
};

TEST_F(ConfigTest, MergesTheWorkedExample) {
    Files("V2.0\nGain 1\nMode auto\nOffset 0\n", "V1.0\nGain 5\nOffset 2\n");
    info.errorCode = 99;
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(info.errorCode, 0);
    EXPECT_EQ(Installed(), "V2.0\nGain 5\nMode auto\nOffset 2\n");
    EXPECT_EQ(Backup(), "V1.0\nGain 5\nOffset 2\n");
    EXPECT_TRUE(NoTemporaryLeft());
}

TEST_F(ConfigTest, MergeCases) {
    struct Case {
        const char* what;
        std::string package;
        std::string installed;
        std::string merged;
    };
    const Case cases[] = {
        {"installed order differs: the cursor loses Gain", "V2.0\nGain 1\nMode auto\nOffset 0\n",
         "V1.0\nOffset 2\nGain 5\n", "V2.0\nGain 1\nMode auto\nOffset 2\n"},
        {"same order keeps every installed value", "V2\nGain 1\nOffset 0\n",
         "V1\nGain 5\nOffset 2\n", "V2\nGain 5\nOffset 2\n"},
        {"installed holds only its version", "V3 extra words\nA 1\nB 2\n", "V1\n",
         "V3\nA 1\nB 2\n"},
        {"unmatched installed line holds the cursor", "V2\nA 1\nB 2\nC 3\n", "V1\nX 9\nB 8\n",
         "V2\nA 1\nB 2\nC 3\n"},
        {"extra installed lines are dropped", "V2\nA 1\n", "V1\nA 5\nB 6\nC 7\n", "V2\nA 5\n"},
        {"name=value lines match only identical lines", "V2\nrate=5\nmode=fast\n",
         "V1\nrate=9\nmode=fast\n", "V2\nrate=5\nmode=fast\n"},
        {"keyword after leading blanks, '(' kept in it", "V2\n  Gain(1) x\n(Mode) a\n",
         "V1\nGain(2) y\n (Mode) b\n", "V2\nGain(2) y\n (Mode) b\n"},
        {"CRLF and tabs become LF and spaces", "V2\r\nName\tvalue\r\n", "V1\r\nOther 1\r\n",
         "V2\nName    value\n"},
        {"empty lines match empty lines", "V2\n\nA 1\n", "V1\n\nA 7\n", "V2\n\nA 7\n"},
        {"lower-case v and negative versions", "v-0.5\nA 1\n", "V-1\nA 2\n", "v-0.5\nA 2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Files(c.package, c.installed);
        ASSERT_EQ(Run(), 1);
        EXPECT_EQ(Installed(), c.merged);
        EXPECT_EQ(Backup(), c.installed);
        EXPECT_TRUE(NoTemporaryLeft());
    }
}

TEST_F(ConfigTest, NotNewerLeavesInstalledFileButRemovesOldBackup) {
    struct Case {
        const char* package;
        const char* installed;
    };
    const Case cases[] = {
        {"V1\nA 1\n", "V1\nA 2\n"},
        {"V1\nA 1\n", "V2\nA 2\n"},
        {"V1.10\nA 1\n", "V1.9\nA 2\n"},  // compared as numbers: 1.1 < 1.9
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.package);
        SetUp();
        Files(c.package, c.installed);
        WriteAll(Path("backup/app.conf.bak"), "old backup\n");
        ASSERT_EQ(Run(), 1);
        EXPECT_EQ(Installed(), c.installed);
        EXPECT_FALSE(fs::exists(Path("backup/app.conf.bak")));
    }
}

TEST_F(ConfigTest, FailuresLeaveWhatTheStepsBeforeThemDid) {
    const std::string kPackage = "V2\nA 1\n";
    const std::string kInstalled = "V1\nA 2\n";
    struct Case {
        const char* what;
        std::function<void(ConfigTest&)> arrange;
        int code;
        bool oldBackupGone;
    };
    const Case cases[] = {
        {"package missing", [](ConfigTest& t) { fs::remove(t.Path("pkg/app.conf")); }, 630, false},
        {"installed missing", [](ConfigTest& t) { fs::remove(t.Path("etc/app.conf")); }, 623,
         false},
        {"old backup cannot be removed",
         [](ConfigTest& t) {
             fs::remove(t.Path("backup/app.conf.bak"));
             fs::create_directories(t.Path("backup/app.conf.bak/keep"));
         },
         628, false},
        {"package unreadable",
         [](ConfigTest& t) {
             fs::remove(t.Path("pkg/app.conf"));
             MakeSocket(t.Path("pkg/app.conf"));
         },
         627, true},
        {"package without version", [](ConfigTest& t) { WriteAll(t.Path("pkg/app.conf"), ""); },
         662, true},
        {"package version 0", [](ConfigTest& t) { WriteAll(t.Path("pkg/app.conf"), "V0\n"); }, 662,
         true},
        {"installed unreadable",
         [](ConfigTest& t) {
             fs::remove(t.Path("etc/app.conf"));
             MakeSocket(t.Path("etc/app.conf"));
         },
         626, true},
        {"installed first line Version2",
         [](ConfigTest& t) { WriteAll(t.Path("etc/app.conf"), "Version2\nA 2\n"); }, 663, true},
        {"backup dir missing", [](ConfigTest& t) { fs::remove_all(t.Path("backup")); }, 629, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Files(kPackage, kInstalled);
        WriteAll(Path("backup/app.conf.bak"), "old backup\n");
        c.arrange(*this);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, c.code);
        if (fs::is_regular_file(Path("etc/app.conf")) && c.code != 663) {
            EXPECT_EQ(Installed(), kInstalled);
        }
        if (fs::is_directory(Path("backup"))) {
            EXPECT_EQ(!fs::exists(Path("backup/app.conf.bak")), c.oldBackupGone);
        }
        EXPECT_TRUE(NoTemporaryLeft());
    }
}

// Removing the old backup would remove the installed file, or the package's
// own, if the backup were either of them: the section is refused first.
TEST_F(ConfigTest, BackupThatIsTheInstalledOrThePackageFileIsRefused) {
    for (const char* named : {"etc", "pkg"}) {
        SCOPED_TRACE(named);
        SetUp();
        Files("V2\nA 1\n", "V1\nA 2\n");
        Load(ManifestText().Section("Cfg", {{"Operation", "ConfigUpdate"},
                                            {"SrcDir", Path("pkg")},
                                            {"SrcFile", "app.conf"},
                                            {"DestDir", Path("etc")},
                                            {"DestFile", "app.conf"},
                                            {"BackupDir", Path(named) + "/."},
                                            {"BackupFile", "app.conf"}}));
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, kErrConfigBackupDest);
        EXPECT_EQ(Installed(), "V1\nA 2\n");
        EXPECT_EQ(ReadAll(Path("pkg/app.conf")), "V2\nA 1\n");
    }
}

// The merged file goes beside the installed one under a name of its own,
// whatever DestFile holds and whatever an earlier run left under that name.
TEST_F(ConfigTest, TemporaryNameAlwaysFound) {
    const std::string longName = std::string(250, 'c') + ".conf";
    struct Case {
        const char* what;
        std::string destFile;
        std::string leftover;  // a file an earlier run left, "" for none
        int entries;           // in the installed file's folder afterwards
    };
    const Case cases[] = {
        {"DestFile with a folder", "sub/app.conf", "", 1},
        {"DestFile of 255 characters", longName, "", 1},
        {"leftover directory", "app.conf", ".app.conf.update-tmp/x", 2},
        {"leftover file", "app.conf", ".app.conf.update-tmp", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fs::create_directories(fs::path(Path("etc/" + c.destFile)).parent_path());
        WriteAll(Path("pkg/app.conf"), "V2\nA 1\n");
        WriteAll(Path("etc/" + c.destFile), "V1\nA 2\n");
        if (!c.leftover.empty()) {
            fs::create_directories(fs::path(Path("etc/" + c.leftover)).parent_path());
            WriteAll(Path("etc/" + c.leftover), "stale");
        }
        FreeAuxInfo();
        Load(ManifestText().Section("Cfg", {{"SrcDir", Path("pkg")},
                                            {"SrcFile", "app.conf"},
                                            {"DestDir", Path("etc")},
                                            {"BackupDir", Path("backup")},
                                            {"BackupFile", "app.conf.bak"}}));
        Inject("Cfg", "DestFile", c.destFile);  // longer than a manifest line allows
        ASSERT_EQ(Run(), 1) << info.errorCode;
        EXPECT_EQ(ReadAll(Path("etc/" + c.destFile)), "V2\nA 2\n");
        EXPECT_EQ(Backup(), "V1\nA 2\n");
        const fs::path folder = fs::path(Path("etc/" + c.destFile)).parent_path();
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}),
                  c.entries);
    }
}

// The merge's and the backup's temporary names are removed before use, so a
// section path that has one of those names must make the file go under
// another name: the merge still happens and the backup holds the old file.
TEST_F(ConfigTest, TemporaryNamesAreNoneOfTheSectionsPaths) {
    struct Case {
        const char* what;
        std::string srcDir, srcFile, backupDir, backupFile;
    };
    const Case cases[] = {
        {"backup named as the merged file's", "pkg", "app.conf", "etc", ".app.conf.update-tmp"},
        {"package named as the merged file's", "etc", ".app.conf.update-tmp", "backup",
         "app.conf.bak"},
        {"package named as the backup's", "backup", ".app.conf.bak.backup-tmp", "backup",
         "app.conf.bak"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string src = Path(c.srcDir + "/" + c.srcFile);
        const std::string backup = Path(c.backupDir + "/" + c.backupFile);
        WriteAll(src, "V2\nA 1\nB 1\n");
        WriteAll(Path("etc/app.conf"), "V1\nA 2\n");
        Load(ManifestText().Section("Cfg", {{"Operation", "ConfigUpdate"},
                                            {"SrcDir", Path(c.srcDir)},
                                            {"SrcFile", c.srcFile},
                                            {"DestDir", Path("etc")},
                                            {"DestFile", "app.conf"},
                                            {"BackupDir", Path(c.backupDir)},
                                            {"BackupFile", c.backupFile}}));
        ASSERT_EQ(Run(), 1) << info.errorCode;
        EXPECT_EQ(Installed(), "V2\nA 2\nB 1\n");
        EXPECT_EQ(ReadAll(backup), "V1\nA 2\n");
        EXPECT_EQ(ReadAll(src), "V2\nA 1\nB 1\n");
    }
}

TEST_F(ConfigTest, MissingKeysInOrder) {
    struct Case {
        std::vector<std::string> missing;
        int code;
    };
    const Case cases[] = {
        {{"SrcDir"}, 618},
        {{"SrcFile"}, 619},
        {{"DestDir"}, 616},
        {{"DestFile"}, 617},
        {{"BackupDir"}, 614},
        {{"BackupFile"}, 615},
        {{"BackupFile", "SrcFile"}, 619},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        SetUp();
        Files("V2\n", "V1\n");
        std::string text = "Cfg\n";
        for (const char* key :
             {"SrcDir", "SrcFile", "DestDir", "DestFile", "BackupDir", "BackupFile"}) {
            if (std::find(c.missing.begin(), c.missing.end(), key) == c.missing.end()) {
                text += std::string(key) + "=" + Path("x") + "\n";
            }
        }
        FreeAuxInfo();
        Load(ManifestText().Line(text));
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, c.code);
        EXPECT_EQ(Installed(), "V1\n");
    }
}

// A value longer than any manifest line can carry is still refused, before
// any presence is looked at.
TEST_F(ConfigTest, OverlongValueIsRefusedFirst) {
    Inject("Cfg", "BackupFile", std::string(256, 'b'));
    Inject("Cfg", "SrcDir", "");
    Files("V2\n", "V1\n");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(info.errorCode, 624);
    EXPECT_EQ(Installed(), "V1\n");
}

// A write that fails part way (here: the file-size limit, as a full disk
// would) gives 622 before the installed configuration is touched: it stays
// in place, no backup is made and the temporary file is removed.
TEST_F(ConfigTest, FailedWriteNeverLeavesAPartialFileInstalled) {
    const std::string package = "V2\n" + std::string(200, 'p') + " 1\n";
    Files(package, "V1\nA 2\n");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int result = Run();
        ::_exit(result == 0 && info.errorCode == 622 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "expected 622";
    EXPECT_EQ(Installed(), "V1\nA 2\n");
    EXPECT_FALSE(fs::exists(Path("backup/app.conf.bak")));
    EXPECT_TRUE(NoTemporaryLeft());
}

TEST(GetVersionTest, ReadsTheKeyPartOfTheFirstLine) {
    struct Case {
        const char* first;
        int result;
        double version;
    };
    const Case cases[] = {
        {"V1.5", 1, 1.5}, {"v2", 1, 2.0},    {"V-1", 1, -1.0},   {"  V3", 1, 3.0},
        {"V0", 0, 0},     {"V", 0, 0},       {"Version2", 0, 0}, {"", 0, 0},
        {"(V3", 0, 0},    {"V2abc", 1, 2.0}, {"x1", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        LineList2 line{const_cast<char*>(c.first), const_cast<char*>(" rest"), nullptr};
        double version = 42.0;
        EXPECT_EQ(GetVersion(&line, &version), c.result);
        EXPECT_EQ(version, c.result ? c.version : 42.0);
    }
    double version = 0;
    EXPECT_EQ(GetVersion(nullptr, &version), 0);
}

}  // namespace
}  // namespace upd::testing
