// Sizes of the fixed buffers into which the runner and the operations read
// manifest values: a value of that many characters or more is refused with the
// operation's code. Shared with the stick checker, which must refuse exactly
// what the updater refuses.
#pragma once

namespace upd {

// The runner.
constexpr int kOperationSize = 64;   // Operation
constexpr int kListValueSize = 512;  // Sequence and the lists it names

// TransferFile.
constexpr int kTransferNameSize = 256;    // directories and file names
constexpr int kTransferStampSize = 32;    // TimeStamp
constexpr int kTransferDigestSize = 512;  // MD5Hash, SHA256Hash
constexpr int kTransferSwitchSize = 16;   // DestNoExist, TimeStampCheck, NoUpdateSame

// ConfigUpdate.
constexpr int kConfigNameSize = 256;    // directories and file names
constexpr int kConfigDigestSize = 512;  // SHA256Hash

// BackupFiles: values are refused from this length on.
constexpr int kBackupDirLimit = 514;

// MSP430Update: CommandJTAG, Command1, Command2.
constexpr int kMspCommandSize = 128;

// FlashUpdate.
constexpr int kFlashDeviceSize = 64;
constexpr int kFlashOffsetSize = 32;
constexpr int kFlashCommandSize = 128;  // EraseCommand, WriteCommand
constexpr int kFlashDataPathSize = 514;
constexpr int kFlashDigestSize = 512;  // SHA256Hash

// RemoveFiles: file1, file2, ...
constexpr int kRemovePathSize = 514;

}  // namespace upd
