// The updater's error codes: every failure the system stores or reports, as
// named constants, and a table of all of them with a short meaning each.
#pragma once

#include <array>
#include <string_view>

namespace upd {

constexpr int kErrTransferNoBackupDir = 601;
constexpr int kErrTransferNoBackupFile = 602;
// TransferFile: DestDir absent. BackupFiles: DestDir1 or DestDir2 too long.
constexpr int kErrTransferNoDestDir = 603;
constexpr int kErrTransferNoDestFile = 604;
constexpr int kErrTransferBadValue = 605;
constexpr int kErrOperationTooLong = 606;
constexpr int kErrTransferNoInterimDir = 608;
constexpr int kErrTransferNoInterimFile = 609;
constexpr int kErrManifestUnreadable = 610;
// TransferFile: SrcDir absent. BackupFiles: DestDir, SrcDir1 or SrcDir2 too long.
constexpr int kErrTransferNoSrcDir = 611;
constexpr int kErrTransferNoSrcFile = 612;
constexpr int kErrRunListFailed = 613;
constexpr int kErrConfigNoBackupDir = 614;
constexpr int kErrConfigNoBackupFile = 615;
constexpr int kErrConfigNoDestDir = 616;
constexpr int kErrConfigNoDestFile = 617;
constexpr int kErrConfigNoSrcDir = 618;
constexpr int kErrConfigNoSrcFile = 619;
constexpr int kErrTransferChmod = 620;
constexpr int kErrTimeStampArgTooLong = 621;
constexpr int kErrConfigCloseDest = 622;
constexpr int kErrConfigDestMissing = 623;
constexpr int kErrConfigValueTooLong = 624;
constexpr int kErrConfigOpenDest = 625;
constexpr int kErrConfigReadDest = 626;
constexpr int kErrConfigReadSrc = 627;
constexpr int kErrConfigRemoveBackup = 628;
constexpr int kErrConfigBackupDest = 629;
constexpr int kErrConfigSrcMissing = 630;
constexpr int kErrTransferTimeStamp = 631;
constexpr int kErrFlashNoDataPath = 632;
constexpr int kErrFlashNoDevice = 634;
constexpr int kErrFlashNoEraseCommand = 635;
constexpr int kErrFlashValueTooLong = 636;
constexpr int kErrFlashNoOffset = 637;
constexpr int kErrFlashWriteFailed = 638;
constexpr int kErrFlashNoWriteCommand = 639;
constexpr int kErrMspCommand1TooLong = 646;
constexpr int kErrMspCommand2TooLong = 647;
constexpr int kErrMakeDirectory = 648;
constexpr int kErrTransferMd5 = 649;
constexpr int kErrMountFailed = 650;
constexpr int kErrTransferSrcMissing = 651;
constexpr int kErrDeviceNotFound = 652;
constexpr int kErrTransferRemoveBackup = 653;
constexpr int kErrTransferBackupDest = 654;
constexpr int kErrTransferInstall = 655;
constexpr int kErrRemoveValueTooLong = 656;
constexpr int kErrRemoveFailed = 657;
// TransferFile: the interim copy. FlashUpdate with SHA256Hash: the copy of
// the data file on the instrument.
constexpr int kErrTransferCopy = 658;
constexpr int kNoticeOlder = 659;
constexpr int kNoticeSame = 660;
constexpr int kErrUnmountFailed = 661;
constexpr int kErrConfigSrcVersion = 662;
constexpr int kErrConfigDestVersion = 663;
constexpr int kErrMspJtagTooLong = 666;
constexpr int kErrMspJtagFailed = 667;
constexpr int kErrSignature = 668;
constexpr int kErrDeviceArgTooLong = 669;
// TransferFile: the interim copy. ConfigUpdate and FlashUpdate with
// SHA256Hash: the package file as read, and the data file's copy.
constexpr int kErrTransferSha256 = 670;

// The names under which the operations other than TransferFile use its codes.
constexpr int kErrCopyToInstrument = kErrTransferCopy;
constexpr int kErrSha256Differs = kErrTransferSha256;

struct ErrorCodeInfo {
    int code;
    std::string_view meaning;
};

// Every code, in numeric order.
inline constexpr std::array kErrorCodes{
    ErrorCodeInfo{601, "TransferFile: key BackupDir absent"},
    ErrorCodeInfo{602, "TransferFile: key BackupFile absent"},
    ErrorCodeInfo{603,
                  "TransferFile: key DestDir absent; BackupFiles: DestDir1 or DestDir2 too long"},
    ErrorCodeInfo{604, "TransferFile: key DestFile absent"},
    ErrorCodeInfo{605, "TransferFile: a value too long, or a switch neither true nor false"},
    ErrorCodeInfo{606, "Operation value too long"},
    ErrorCodeInfo{608, "TransferFile: key InterimDir absent"},
    ErrorCodeInfo{609, "TransferFile: key InterimFile absent"},
    ErrorCodeInfo{610, "manifest cannot be read (also: not a regular file)"},
    ErrorCodeInfo{
        611, "TransferFile: key SrcDir absent; BackupFiles: DestDir, SrcDir1 or SrcDir2 too long"},
    ErrorCodeInfo{612, "TransferFile: key SrcFile absent"},
    ErrorCodeInfo{613, "run list cannot be built from SectionList and Sequence"},
    ErrorCodeInfo{614, "ConfigUpdate: key BackupDir absent"},
    ErrorCodeInfo{615, "ConfigUpdate: key BackupFile absent"},
    ErrorCodeInfo{616, "ConfigUpdate: key DestDir absent"},
    ErrorCodeInfo{617, "ConfigUpdate: key DestFile absent"},
    ErrorCodeInfo{618, "ConfigUpdate: key SrcDir absent"},
    ErrorCodeInfo{619, "ConfigUpdate: key SrcFile absent"},
    ErrorCodeInfo{620,
                  "TransferFile: setting mode 0755 on the interim copy or the installed file, or "
                  "writing the copy to the disk, failed"},
    ErrorCodeInfo{621, "argument after -t longer than 31 characters"},
    ErrorCodeInfo{622,
                  "ConfigUpdate: writing the merged file to the disk, or renaming it over the "
                  "destination, failed"},
    ErrorCodeInfo{623, "ConfigUpdate: destination file does not exist"},
    ErrorCodeInfo{624, "ConfigUpdate: a value too long"},
    ErrorCodeInfo{625, "ConfigUpdate: destination cannot be opened for writing"},
    ErrorCodeInfo{626, "ConfigUpdate: destination file cannot be read (also: not a regular file)"},
    ErrorCodeInfo{627, "ConfigUpdate: source file cannot be read (also: not a regular file)"},
    ErrorCodeInfo{628, "ConfigUpdate: existing backup file cannot be removed"},
    ErrorCodeInfo{
        629,
        "ConfigUpdate: keeping the destination at the backup path failed (also: the backup path is "
        "the destination or the source file, refused before anything changes)"},
    ErrorCodeInfo{630, "ConfigUpdate: source file does not exist"},
    ErrorCodeInfo{631, "TransferFile: a time stamp cannot be converted"},
    ErrorCodeInfo{632, "FlashUpdate: key DataPath1 absent"},
    ErrorCodeInfo{634, "FlashUpdate: key Device absent"},
    ErrorCodeInfo{635, "FlashUpdate: key EraseCommand absent"},
    ErrorCodeInfo{636, "FlashUpdate: a value too long"},
    ErrorCodeInfo{637, "FlashUpdate: key Offset absent"},
    ErrorCodeInfo{638, "FlashUpdate with SHA256Hash: the write command did not exit 0"},
    ErrorCodeInfo{639, "FlashUpdate: key WriteCommand absent"},
    ErrorCodeInfo{646, "MSP430Update: Command1 too long"},
    ErrorCodeInfo{647, "MSP430Update: Command2 too long"},
    ErrorCodeInfo{648, "creating a missing directory failed"},
    ErrorCodeInfo{649, "TransferFile: MD5 digest differs or cannot be computed"},
    ErrorCodeInfo{650, "mount failed"},
    ErrorCodeInfo{651, "TransferFile: source file does not exist"},
    ErrorCodeInfo{
        652,
        "no USB storage device bound, or the device path does not exist 8 s after the binding"},
    ErrorCodeInfo{653, "TransferFile: existing backup file cannot be removed"},
    ErrorCodeInfo{654,
                  "TransferFile: keeping the destination at the backup path failed (also: no "
                  "backup folder, or no destination while DestNoExist is not true; the backup path "
                  "is the destination, refused before anything changes)"},
    ErrorCodeInfo{655, "TransferFile: moving the interim copy to the destination failed"},
    ErrorCodeInfo{656, "RemoveFiles: a file key's value too long"},
    ErrorCodeInfo{657, "RemoveFiles: a listed file cannot be removed"},
    ErrorCodeInfo{
        658,
        "TransferFile: copying the source to the interim file failed (also: the interim path is "
        "the destination or the backup); FlashUpdate with SHA256Hash: copying the data file onto "
        "the instrument failed (also: the source or data file not a regular file)"},
    ErrorCodeInfo{659, "notice: a file was older than the installed firmware"},
    ErrorCodeInfo{660, "notice: a file was as old as the installed firmware"},
    ErrorCodeInfo{661, "umount of /mnt failed"},
    ErrorCodeInfo{662, "ConfigUpdate: source file has no valid version line"},
    ErrorCodeInfo{663, "ConfigUpdate: destination file has no valid version line"},
    ErrorCodeInfo{666, "MSP430Update: CommandJTAG too long"},
    ErrorCodeInfo{667, "MSP430Update: CommandJTAG failed"},
    ErrorCodeInfo{668,
                  "manifest signature check failed (also: the signature or the public key not a "
                  "regular file)"},
    ErrorCodeInfo{669, "argument after -d longer than 63 characters"},
    ErrorCodeInfo{670,
                  "TransferFile, and ConfigUpdate or FlashUpdate with SHA256Hash: SHA-256 digest "
                  "differs or cannot be computed"},
};

}  // namespace upd
