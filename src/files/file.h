// The files unit: existence and type tests, removal, a rename that never
// replaces an existing file and one that does, a copy that refuses to copy a
// file onto itself, backups made without taking the original away, whole
// files read as lists of lines, and the digest of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace upd {

// 1 when `path` is non-null, non-empty and accessible (any kind of object,
// symbolic links followed); else 0.
int exists(const char* path);

// Opening regular files. A FIFO, device or socket where a file is read or
// written is refused (errno EINVAL) rather than waited on: opened without
// blocking, it is let go as soon as it shows what it is.

// Mode of a file that the updater creates; the process's umask applies.
constexpr unsigned kNewFileMode = 0666;

// Opens the regular file `path` for reading: the descriptor (close-on-exec,
// blocking reads), or -1 with errno set.
int OpenRegularFile(const char* path);

// The same as a stream ("rb"), or null.
FILE* OpenRegularStream(const char* path);

// Opens `path` for writing as fopen's "wb" does (created with kNewFileMode
// when missing, emptied when it is there), but only when it is or becomes a
// regular file: anything else is left as it is. Null with errno set on
// failure.
FILE* CreateRegularStream(const char* path);

// The size of the open file `fd` in bytes; -1 when fstat fails or the size
// does not fit a signed 32-bit value.
int32_t filelen(int fd);
// filelen() of the stream's descriptor.
int32_t filelen_fp(FILE* fp);

// 1 when stat(path) succeeds and the regular-file bit (octal 0100000) of its
// mode is set; else 0. Only that one bit is tested, so a socket counts too.
int isord(const char* path);

// 1 when the two paths are the same text once backslashes are read as
// slashes, compared without regard to letter case on their first 512
// characters; else 0. Both paths must be non-null.
int SamePath(const char* a, const char* b);

// 1 when the two paths name one directory entry however they are spelt: their
// last components are equal and their folders are one folder (same device and
// inode). 0 otherwise, also when a folder does not exist. Two names of one
// file (hard links) are two entries.
int SameEntry(const char* a, const char* b);

// 1 when the file was unlinked; else 0 (directories are not removed).
int RemoveFile(const char* path);

// Results of Rename().
constexpr int kRenameDone = 0;
constexpr int kRenameAccessDenied = -1;  // rename(2) failed with EACCES
constexpr int kRenameNoEntry = -2;       // rename(2) failed with ENOENT
constexpr int kRenameCrossDevice = -3;   // rename(2) failed with EXDEV
constexpr int kRenameTargetExists = -4;  // the new name exists; nothing done
constexpr int kRenameNoNewName = -5;     // the new name is null or empty
constexpr int kRenameOldMissing = -6;    // the old name does not exist
constexpr int kRenameNoOldName = -7;     // the old name is null or empty
constexpr int kRenameFailed = -8;        // rename(2) failed otherwise

// Renames `oldname` to `newname`, never replacing an existing object.
// Returns kRenameDone or one of the negative codes above.
int Rename(const char* oldname, const char* newname);

// Renames `oldname` to `newname` in one atomic step, replacing an existing
// file there: `newname` names the old object or the new one at every moment.
// Returns kRenameDone or one of the negative codes above but
// kRenameTargetExists.
int ReplaceFile(const char* oldname, const char* newname);

// Copies the regular file `src` to `dst` (created, or an existing regular
// file overwritten) and fsyncs `dst`, then syncs the system. 1 when the whole
// file was copied, put on the disk and both files closed without error; else
// 0. Refuses (0, nothing touched) to copy a file onto itself, whether named
// by the same text or as the same inode.
int CopyFile(const char* src, const char* dst);

// CopyFile without the system-wide sync; `dst` is fsync'd all the same.
int CopyFileNoSystemSync(const char* src, const char* dst);

// Durable replacement of installed files.

// fsyncs the directory `dir`, or the one that holds `path`, so that the
// entries made or renamed in it survive a power cut. 1 on success, else 0.
int SyncDirectory(const char* dir);
int SyncDirectoryOf(const char* path);

// fsyncs the file at `path` (data and mode), for a mode changed after its
// data was put on the disk. 1 on success, else 0.
int SyncFile(const char* path);

// The path of a temporary file beside `path`: in the same directory, named
// "." + the last component + "." + `tag`, with "." + `attempt` appended for
// an attempt other than 0. A last component too long for that to stay a
// valid name is shortened and a hash of it added, so different names still
// give different temporary names.
std::string TemporaryPath(std::string_view path, std::string_view tag, int attempt = 0);

// 1 when `candidate` names one of `paths` (null ones are skipped): the same
// text as SamePath reads it, or the same directory entry (SameEntry).
int NamesAnyOf(const char* candidate, std::span<const char* const> paths);

// The temporary names beside `path` that a step tries, in order, `count` at
// most: TemporaryPath's attempts 0, 1, 2, ..., each name that NamesAnyOf
// `avoid` passed over. A temporary name is removed before it is used, so it
// must never be a path the step works on (its installed file, backup,
// interim copy or source); the names depend on the paths alone, so the run
// after an interruption picks the same ones and removes what it left.
std::vector<std::string> TemporaryCandidates(std::string_view path, std::string_view tag,
                                             std::span<const char* const> avoid, int count);

// Makes `backup` hold what `installed` holds while `installed` stays where it
// is: a hard link to a temporary name beside `backup`, renamed over it; where
// the file system has no hard links or the two lie on different file systems,
// a copy to the temporary name, fsync'd with its mode and then renamed. The
// temporary name is none of `installed`, `backup` and `avoid`. 1 on success;
// 0 when neither could be made, with `installed` untouched and nothing left
// at the temporary name. The caller fsyncs the backup's folder.
int MakeBackup(const char* installed, const char* backup,
               std::initializer_list<const char*> avoid = {});

// Whole files as lists of lines.

// One line of a file, as the line reader delivered it.
struct LineList {
    char* text;  // owned heap copy
    LineList* next;
};

// One line of a file cut after its first word; first followed by rest is
// always exactly the line.
struct LineList2 {
    char* first;  // owned: leading spaces, tabs and '(' and the first word
    char* rest;   // owned: from the next space, tab or '(' to the end, or ""
    LineList2* next;
};

// Lines of up to 511 characters (the line reader's buffer); a longer one ends
// the reading of a file.
constexpr int kLineListLineSize = 512;

// Reads the whole file at `path` into *list (null for an empty file), lines
// in file order with tabs expanded and trailing blanks removed. A line longer
// than 511 characters ends the reading there; the lines before it are kept.
// 0 when the file cannot be opened, read or closed or memory runs out, *list
// then untouched.
int ReadFile(const char* path, LineList** list);

// As ReadFile, every line cut into its key part and the remainder.
int ReadFile2(const char* path, LineList2** list);

// As ReadFile2, from `length` bytes held in memory: the lines that reading a
// file of exactly those bytes would give. 0 when memory runs out, *list then
// untouched.
int ReadMemory2(const unsigned char* data, std::size_t length, LineList2** list);

// Release a list with all its strings and set *list to null; null is ignored.
void FreeFile(LineList** list);
void FreeFile2(LineList2** list);

// Owns a LineList2 list for its lifetime and frees it at the end.
class LineList2Owner {
  public:
    LineList2Owner() = default;
    ~LineList2Owner() { FreeFile2(&head_); }
    LineList2Owner(const LineList2Owner&) = delete;
    LineList2Owner& operator=(const LineList2Owner&) = delete;

    // Where a reader puts the list.
    LineList2** out() { return &head_; }
    const LineList2* head() const { return head_; }

  private:
    LineList2* head_ = nullptr;
};

// Digest of a file.

// Writes the MD5 digest of the whole file at `path` into `out` as 32 lowercase
// hexadecimal digits and a NUL. 0 when out_size is below 33, the file cannot be
// opened, a read fails or the close fails; `out` is then untouched.
int MD5Hash(const char* path, char* out, int out_size);

}  // namespace upd
