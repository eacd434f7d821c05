// TransferFile on a temporary tree: key validation, the two gates, and what
// each failure leaves on disk.
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>

#include "op_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

const std::string kNew = "new firmware image\n";
const std::string kOld = "old firmware image\n";
const std::string kOldBackup = "backup of an earlier run\n";

class TransferTest : public StoreTest {
  public:
    // Lays the tree out afresh; loops over cases call it once per case.
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            fs::remove_all(entry.path());
        }
        fs::create_directories(Path("pkg"));
        fs::create_directories(Path("dest"));
        fs::create_directories(Path("backup"));
        WriteAll(Path("pkg/app.bin"), kNew);
        WriteAll(Path("dest/app.bin"), kOld);
        keys = {
            {"Operation", "TransferFile"},   {"SrcDir", Path("pkg")},
            {"SrcFile", "app.bin"},          {"InterimDir", Path("interim")},
            {"InterimFile", "app.tmp"},      {"DestDir", Path("dest")},
            {"DestFile", "app.bin"},         {"BackupDir", Path("backup")},
            {"BackupFile", "app.bak"},       {"MD5Hash", Md5Hex(kNew)},
            {"SHA256Hash", Sha256Hex(kNew)},
        };
    }

    // Loads the section App with the current keys and runs the transfer.
    int Run() {
        std::string text = "App\n";
        for (const auto& [k, v] : keys) {
            text += k + "=" + v + "\n";
        }
        WriteAll(Path("AuxInfo.txt"), text);
        FreeAuxInfo();
        EXPECT_EQ(ReadAuxInfo(Path("AuxInfo.txt").c_str()), 1);
        return TransferFile("App", &info);
    }

    void WithStamp(const char* installed, uint32_t flags) {
        std::snprintf(info.timeStamp, sizeof info.timeStamp, "%s", installed);
        info.flags = flags;
    }

    bool Installed() const { return ReadAll(Path("dest/app.bin")) == kNew; }
    bool Untouched() const {
        return ReadAll(Path("dest/app.bin")) == kOld && !fs::exists(Path("interim")) &&
               !fs::exists(Path("backup/app.bak"));
    }

    std::map<std::string, std::string> keys;
};

TEST_F(TransferTest, InstallsThroughVerifiedInterimCopyAndKeepsBackup) {
    info.errorCode = 123;
    struct stat old {};
    ASSERT_EQ(::stat(Path("dest/app.bin").c_str(), &old), 0);
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(info.errorCode, 0);
    EXPECT_EQ(ReadAll(Path("dest/app.bin")), kNew);
    EXPECT_EQ(ReadAll(Path("backup/app.bak")), kOld);
    EXPECT_FALSE(fs::exists(Path("interim/app.tmp")));
    struct stat st {};
    ASSERT_EQ(::stat(Path("dest/app.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(info.flags, 0u);
    // The backup is the installed file itself, never taken from its path.
    ASSERT_EQ(::stat(Path("backup/app.bak").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, old.st_ino);
}

// The interim copy, the installed file and the backup must be three files,
// however their paths are spelt: a copy onto the installed file or the
// backup, or an old backup that is the installed file, would lose the
// installed file (or report an install that never happened).
TEST_F(TransferTest, InterimInstalledAndBackupMustBeThreeFiles) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> keys;
        int code;
    };
    const Case cases[] = {
        {"interim is the installed file",
         {{"InterimDir", Path("dest")}, {"InterimFile", "app.bin"}},
         kErrTransferCopy},
        {"interim is the backup",
         {{"InterimDir", Path("backup") + "//"}, {"InterimFile", "app.bak"}},
         kErrTransferCopy},
        {"backup is the installed file",
         {{"BackupDir", Path("dest") + "/."}, {"BackupFile", "app.bin"}},
         kErrTransferBackupDest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        WriteAll(Path("backup/app.bak"), kOldBackup);
        for (const auto& [key, value] : c.keys) {
            keys[key] = value;
        }
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, c.code);
        EXPECT_EQ(ReadAll(Path("dest/app.bin")), kOld);
        EXPECT_EQ(ReadAll(Path("backup/app.bak")), kOldBackup);
    }
}

TEST_F(TransferTest, ExistingBackupIsReplaced) {
    WriteAll(Path("backup/app.bak"), kOldBackup);
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReadAll(Path("backup/app.bak")), kOld);
}

// Every refusal of the key checks, in the order they are made; none touches
// the disk.
TEST_F(TransferTest, KeyChecksRefuseInOrderAndChangeNothing) {
    const std::string stamp31(31, '1');
    struct Case {
        const char* what;
        std::map<std::string, std::string> set;  // "" as key value: erase
        std::vector<std::string> erase;
        int code;
    };
    const Case cases[] = {
        {"no SrcDir", {}, {"SrcDir"}, 611},
        {"no SrcFile", {}, {"SrcFile"}, 612},
        {"no InterimDir", {}, {"InterimDir"}, 608},
        {"no InterimFile", {}, {"InterimFile"}, 609},
        {"no DestDir", {}, {"DestDir"}, 603},
        {"no DestFile", {}, {"DestFile"}, 604},
        {"no BackupDir", {}, {"BackupDir"}, 601},
        {"no BackupFile", {}, {"BackupFile"}, 602},
        {"earlier key decides", {}, {"DestFile", "InterimDir"}, 608},
        {"TimeStamp of 32", {{"TimeStamp", stamp31 + "1"}}, {"SrcDir"}, 605},
        {"DestNoExist yes", {{"DestNoExist", "yes"}}, {}, 605},
        {"TimeStampCheck no", {{"TimeStampCheck", "no"}}, {}, 605},
        {"NoUpdateSame empty", {{"NoUpdateSame", ""}}, {}, 605},
        {"switch of 16", {{"DestNoExist", "falsefalsefalse!"}}, {}, 605},
        {"switch too long beats absent key",
         {{"NoUpdateSame", std::string(16, 't')}},
         {"BackupFile"},
         605},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (const auto& [k, v] : c.set) {
            keys[k] = v;
        }
        for (const std::string& k : c.erase) {
            keys.erase(k);
        }
        info.errorCode = 0;
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, c.code);
        EXPECT_TRUE(Untouched());
    }
}

TEST_F(TransferTest, SwitchesIgnoreCaseAndLongestTimeStampFits) {
    keys["DestNoExist"] = "TRUE";
    keys["TimeStampCheck"] = "False";
    keys["NoUpdateSame"] = "fAlSe";
    keys["TimeStamp"] = "2020-01-24 12:50:32" + std::string(11, ' ') + "x";  // 31 characters
    WithStamp("2030-01-01 00:00:00", UPD_TIMESTAMP);
    ASSERT_EQ(Run(), 1);
    EXPECT_TRUE(Installed());
}

TEST_F(TransferTest, TimeStampGate) {
    const char* kInstalled = "2020-01-24 12:50:32";
    struct Case {
        const char* what;
        const char* installed;
        uint32_t flags;  // before the call
        std::map<std::string, std::string> set;
        int result;
        int code;
        bool installs;
        uint32_t flagsAfter;
    };
    const Case cases[] = {
        {"newer package",
         kInstalled,
         UPD_TIMESTAMP,
         {{"TimeStamp", "2020-01-24 12:50:33"}},
         1,
         0,
         true,
         UPD_TIMESTAMP},
        {"same stamp",
         kInstalled,
         UPD_TIMESTAMP,
         {{"TimeStamp", "20200124 125032"}},
         1,
         0,
         false,
         UPD_TIMESTAMP | UPD_SAME},
        {"older package",
         kInstalled,
         UPD_TIMESTAMP,
         {{"TimeStamp", "2020-01-24 12:50:31"}},
         1,
         0,
         false,
         UPD_TIMESTAMP | UPD_OLDER},
        {"no -t: invalid stamps never converted",
         "garbage",
         0,
         {{"TimeStamp", "garbage"}},
         1,
         0,
         true,
         0},
        {"-f: invalid stamps never converted",
         "garbage",
         UPD_TIMESTAMP | UPD_FORCE,
         {{"TimeStamp", "garbage"}},
         1,
         0,
         true,
         UPD_TIMESTAMP | UPD_FORCE},
        {"invalid -t",
         "2020-13-01 00:00:00",
         UPD_TIMESTAMP,
         {{"TimeStamp", "2020-01-24 12:50:33"}},
         0,
         631,
         false,
         UPD_TIMESTAMP},
        {"invalid TimeStamp",
         kInstalled,
         UPD_TIMESTAMP,
         {{"TimeStamp", "2020-01-24T12:50:33"}},
         0,
         631,
         false,
         UPD_TIMESTAMP},
        {"no TimeStamp key",
         kInstalled,
         UPD_TIMESTAMP | UPD_SAME,
         {},
         1,
         0,
         true,
         UPD_TIMESTAMP | UPD_SAME},
        {"TimeStampCheck false",
         kInstalled,
         UPD_TIMESTAMP | UPD_OLDER,
         {{"TimeStamp", "2000-01-01 00:00:00"}, {"TimeStampCheck", "false"}},
         1,
         0,
         true,
         UPD_TIMESTAMP | UPD_OLDER},
        {"earlier SAME skips a newer file",
         kInstalled,
         UPD_TIMESTAMP | UPD_SAME,
         {{"TimeStamp", "2030-01-01 00:00:00"}},
         1,
         0,
         false,
         UPD_TIMESTAMP | UPD_SAME},
        {"earlier OLDER skips without -t",
         "",
         UPD_OLDER,
         {{"TimeStamp", "garbage"}},
         1,
         0,
         false,
         UPD_OLDER},
        {"earlier OLDER: bad stamp still fails",
         kInstalled,
         UPD_TIMESTAMP | UPD_OLDER,
         {{"TimeStamp", "garbage"}},
         0,
         631,
         false,
         UPD_TIMESTAMP | UPD_OLDER},
        {"stamps after 2038 stay distinct",
         "2040-01-01 00:00:00",
         UPD_TIMESTAMP,
         {{"TimeStamp", "2040-01-01 00:00:01"}},
         1,
         0,
         true,
         UPD_TIMESTAMP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (const auto& [k, v] : c.set) {
            keys[k] = v;
        }
        WithStamp(c.installed, c.flags);
        info.errorCode = 77;
        EXPECT_EQ(Run(), c.result);
        EXPECT_EQ(info.errorCode, c.code);
        EXPECT_EQ(Installed(), c.installs);
        if (!c.installs) {
            EXPECT_TRUE(Untouched());
        }
        EXPECT_EQ(info.flags, c.flagsAfter);
    }
}

TEST_F(TransferTest, SameContentGate) {
    struct Case {
        const char* what;
        std::string installed;  // "" for no installed file
        std::string noUpdateSame;
        bool skips;
    };
    const Case cases[] = {
        {"identical and asked", kNew, "true", true},
        {"identical, not asked", kNew, "false", false},
        {"different content", kOld, "true", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        WriteAll(Path("dest/app.bin"), c.installed);
        WriteAll(Path("backup/app.bak"), kOldBackup);
        keys["NoUpdateSame"] = c.noUpdateSame;
        ASSERT_EQ(Run(), 1);
        EXPECT_EQ(ReadAll(Path("dest/app.bin")), kNew);
        EXPECT_EQ(fs::exists(Path("interim")), !c.skips);
        EXPECT_EQ(ReadAll(Path("backup/app.bak")), c.skips ? kOldBackup : c.installed);
    }
}

TEST_F(TransferTest, InstalledSpecialFileIsNotTheSameAndIsReplaced) {
    MakeFifo(Path("dest/app.bin"));
    keys["NoUpdateSame"] = "true";
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReadAll(Path("dest/app.bin")), kNew);
    EXPECT_TRUE(fs::is_fifo(Path("backup/app.bak")));
}

// The backup's temporary name (".NAME.backup-tmp" beside the backup) is
// removed before use, so a section path that has that name must make the
// backup go under another.
TEST_F(TransferTest, BackupsTemporaryNameIsNoneOfTheSectionsPaths) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> keys;
        std::string installed;  // relative to the tree
        std::string source;
    };
    const Case cases[] = {
        {"installed file, its folder spelt otherwise",
         {{"DestFile", ".app.bak.backup-tmp"}, {"BackupDir", Path("dest") + "/."}},
         "dest/.app.bak.backup-tmp",
         "pkg/app.bin"},
        {"interim copy",
         {{"InterimDir", Path("backup")}, {"InterimFile", ".app.bak.backup-tmp"}},
         "dest/app.bin",
         "pkg/app.bin"},
        {"package file",
         {{"SrcDir", Path("backup")}, {"SrcFile", ".app.bak.backup-tmp"}},
         "dest/app.bin",
         "backup/.app.bak.backup-tmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (const auto& [key, value] : c.keys) {
            keys[key] = value;
        }
        WriteAll(Path(c.installed), kOld);
        WriteAll(Path(c.source), kNew);
        const std::string backup = keys["BackupDir"] + "/app.bak";
        ASSERT_EQ(Run(), 1) << info.errorCode;
        EXPECT_EQ(ReadAll(Path(c.installed)), kNew);
        EXPECT_EQ(ReadAll(backup), kOld);
        EXPECT_EQ(ReadAll(Path(c.source)), kNew);
    }
}

TEST_F(TransferTest, MissingInstalledFile) {
    struct Case {
        const char* destNoExist;  // null: key absent
        bool noUpdateSame;
        int result;
        int code;
    };
    const Case cases[] = {
        {"true", false, 1, 0},
        {"true", true, 1, 0},  // the same-content gate needs an installed file
        {"false", false, 0, 654},
        {nullptr, false, 0, 654},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destNoExist ? c.destNoExist : "absent");
        SetUp();
        fs::remove(Path("dest/app.bin"));
        WriteAll(Path("backup/app.bak"), kOldBackup);
        if (c.destNoExist) {
            keys["DestNoExist"] = c.destNoExist;
        }
        keys["NoUpdateSame"] = c.noUpdateSame ? "true" : "false";
        EXPECT_EQ(Run(), c.result);
        EXPECT_EQ(info.errorCode, c.code);
        if (c.result) {
            EXPECT_TRUE(Installed());
        } else {
            // The verified interim copy stays; the old backup is already gone.
            EXPECT_EQ(ReadAll(Path("interim/app.tmp")), kNew);
            EXPECT_FALSE(fs::exists(Path("dest/app.bin")));
        }
        EXPECT_FALSE(fs::exists(Path("backup/app.bak")));
    }
}

TEST_F(TransferTest, DestNoExistWithInstalledFileStillBacksUp) {
    keys["DestNoExist"] = "true";
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(ReadAll(Path("backup/app.bak")), kOld);
    EXPECT_TRUE(Installed());
}

// Each failing step and what it leaves behind.
TEST_F(TransferTest, FailuresLeaveWhatTheStepsBeforeThemDid) {
    struct Case {
        const char* what;
        std::function<void(TransferTest&)> arrange;
        int code;
        std::function<void(TransferTest&)> check;
    };
    const Case cases[] = {
        {"source missing", [](TransferTest& t) { fs::remove(t.Path("pkg/app.bin")); }, 651,
         [](TransferTest& t) { EXPECT_TRUE(t.Untouched()); }},
        {"interim parent missing",
         [](TransferTest& t) { t.keys["InterimDir"] = t.Path("none/interim"); }, 648,
         [](TransferTest& t) { EXPECT_TRUE(t.Untouched()); }},
        {"dest dir parent missing",
         [](TransferTest& t) { t.keys["DestDir"] = t.Path("none/dest"); }, 648,
         [](TransferTest& t) {
             EXPECT_TRUE(fs::is_directory(t.Path("interim")));
             EXPECT_FALSE(fs::exists(t.Path("interim/app.tmp")));
         }},
        {"interim is the source in other letter case",
         [](TransferTest& t) {
             t.keys["InterimDir"] = t.Path("PKG");
             t.keys["InterimFile"] = "APP.BIN";
             fs::create_directories(t.Path("PKG"));
         },
         658, [](TransferTest& t) { EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld); }},
        {"uppercase MD5",
         [](TransferTest& t) {
             std::string md5 = Md5Hex(kNew);
             for (char& ch : md5) {
                 ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
             }
             t.keys["MD5Hash"] = md5;
         },
         649,
         [](TransferTest& t) {
             EXPECT_EQ(ReadAll(t.Path("interim/app.tmp")), kNew);
             EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld);
         }},
        {"no MD5Hash", [](TransferTest& t) { t.keys.erase("MD5Hash"); }, 649,
         [](TransferTest& t) { EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld); }},
        {"uppercase SHA-256",
         [](TransferTest& t) {
             std::string sha = Sha256Hex(kNew);
             for (char& ch : sha) {
                 ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
             }
             t.keys["SHA256Hash"] = sha;
         },
         670,
         [](TransferTest& t) {
             EXPECT_EQ(ReadAll(t.Path("interim/app.tmp")), kNew);
             EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld);
         }},
        {"no SHA256Hash", [](TransferTest& t) { t.keys.erase("SHA256Hash"); }, 670,
         [](TransferTest& t) { EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld); }},
        {"old backup cannot be removed",
         [](TransferTest& t) { fs::create_directories(t.Path("backup/app.bak/keep")); }, 653,
         [](TransferTest& t) {
             EXPECT_EQ(ReadAll(t.Path("interim/app.tmp")), kNew);
             EXPECT_TRUE(fs::is_directory(t.Path("backup/app.bak/keep")));
             EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld);
         }},
        {"backup dir missing (never created)",
         [](TransferTest& t) { t.keys["BackupDir"] = t.Path("nobackup"); }, 654,
         [](TransferTest& t) {
             EXPECT_FALSE(fs::exists(t.Path("nobackup")));
             EXPECT_EQ(ReadAll(t.Path("interim/app.tmp")), kNew);
             EXPECT_EQ(ReadAll(t.Path("dest/app.bin")), kOld);
         }},
        {"interim cannot be moved into place",
         [](TransferTest& t) {
             fs::remove(t.Path("dest/app.bin"));
             t.keys["DestNoExist"] = "true";
             t.keys["DestFile"] = "missing-subdir/app.bin";
         },
         655,
         [](TransferTest& t) {
             EXPECT_EQ(ReadAll(t.Path("interim/app.tmp")), kNew);
             EXPECT_FALSE(fs::exists(t.Path("dest/missing-subdir")));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.arrange(*this);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(info.errorCode, c.code);
        c.check(*this);
    }
}

}  // namespace
}  // namespace upd::testing
