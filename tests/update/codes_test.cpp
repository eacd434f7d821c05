// The error-code table: complete, in order, consistent with the named
// constants, and listed in the README.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "support/tempdir.h"
#include "update/codes.h"

namespace upd {
namespace {

TEST(ErrorCodes, TableCoversEveryUsedCodeInOrder) {
    const std::set<int> unused = {600, 607, 633, 638, 640, 641, 642, 643, 644, 645, 664, 665};
    std::set<int> expected;
    for (int code = 601; code <= 670; ++code) {
        if (!unused.count(code)) {
            expected.insert(code);
        }
    }
    std::set<int> listed;
    int previous = 0;
    for (const ErrorCodeInfo& e : kErrorCodes) {
        EXPECT_GT(e.code, previous);
        EXPECT_FALSE(e.meaning.empty()) << e.code;
        listed.insert(e.code);
        previous = e.code;
    }
    EXPECT_EQ(listed, expected);
}

TEST(ErrorCodes, NamedConstantsAreInTheTable) {
    const int named[] = {
        kErrTransferNoBackupDir,
        kErrTransferNoBackupFile,
        kErrTransferNoDestDir,
        kErrTransferNoDestFile,
        kErrTransferBadValue,
        kErrOperationTooLong,
        kErrTransferNoInterimDir,
        kErrTransferNoInterimFile,
        kErrManifestUnreadable,
        kErrTransferNoSrcDir,
        kErrTransferNoSrcFile,
        kErrRunListFailed,
        kErrConfigNoBackupDir,
        kErrConfigNoBackupFile,
        kErrConfigNoDestDir,
        kErrConfigNoDestFile,
        kErrConfigNoSrcDir,
        kErrConfigNoSrcFile,
        kErrTransferChmod,
        kErrTimeStampArgTooLong,
        kErrConfigCloseDest,
        kErrConfigDestMissing,
        kErrConfigValueTooLong,
        kErrConfigOpenDest,
        kErrConfigReadDest,
        kErrConfigReadSrc,
        kErrConfigRemoveBackup,
        kErrConfigBackupDest,
        kErrConfigSrcMissing,
        kErrTransferTimeStamp,
        kErrFlashNoDataPath,
        kErrFlashNoDevice,
        kErrFlashNoEraseCommand,
        kErrFlashValueTooLong,
        kErrFlashNoOffset,
        kErrFlashNoWriteCommand,
        kErrMspCommand1TooLong,
        kErrMspCommand2TooLong,
        kErrMakeDirectory,
        kErrTransferMd5,
        kErrMountFailed,
        kErrTransferSrcMissing,
        kErrDeviceNotFound,
        kErrTransferRemoveBackup,
        kErrTransferBackupDest,
        kErrTransferInstall,
        kErrRemoveValueTooLong,
        kErrRemoveFailed,
        kErrTransferCopy,
        kNoticeOlder,
        kNoticeSame,
        kErrUnmountFailed,
        kErrConfigSrcVersion,
        kErrConfigDestVersion,
        kErrMspJtagTooLong,
        kErrMspJtagFailed,
        kErrSignature,
        kErrDeviceArgTooLong,
        kErrTransferSha256,
    };
    std::set<int> distinct(std::begin(named), std::end(named));
    EXPECT_EQ(distinct.size(), std::size(named));
    EXPECT_EQ(distinct.size(), kErrorCodes.size());
    for (int code : named) {
        EXPECT_TRUE(std::any_of(kErrorCodes.begin(), kErrorCodes.end(),
                                [code](const ErrorCodeInfo& e) { return e.code == code; }))
            << code;
    }
}

TEST(ErrorCodes, ReadmeListsEveryCode) {
    const std::string readme = testing::ReadAll(std::string(UPD_SOURCE_DIR) + "/README.md");
    for (const ErrorCodeInfo& e : kErrorCodes) {
        const std::string row =
            "| " + std::to_string(e.code) + " | " + std::string(e.meaning) + " |";
        EXPECT_NE(readme.find(row), std::string::npos) << row;
    }
}

}  // namespace
}  // namespace upd
