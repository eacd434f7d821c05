// The updater's composite file steps (the copy of a file, a backup kept
// beside the installed file, a rename that replaces and one that does not),
// taken on the stick checker's view of the instrument with the same checks
// in the same order as the updater takes them, so that a check fails where
// the updater's step fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lint/paths.h"

namespace upd::lint {

// CopyFile: refuses a file onto itself (by text, letter case ignored, or
// one file), a destination that exists and is not a regular file, and a
// source that is not one; else writes the source's bytes to the destination.
bool CopyStep(Paths& paths, const std::string& src, const std::string& dst);

// Why CopyStep refused or failed, for a person ("" when it would succeed).
std::string WhyCopyFails(const Paths& paths, const std::string& src, const std::string& dst);

// KeepBackup: the installed file's content put at `backup` under a temporary
// name beside it (a hard link, else a copy) renamed over `backup`; where
// neither can be made, the installed file moved there. Temporary names that
// are one of the section's own paths `own` are passed over.
bool KeepBackupStep(Paths& paths, const std::string& installed, const std::string& backup,
                    const std::vector<std::string>& own);

// The temporary names beside `path` with `tag` that a step tries, in order:
// eight at most, each attempt's name that is one of the section's own paths
// `own` (the same text as SamePath reads it, or the same entry) passed over.
std::vector<std::string> TemporaryNames(const Paths& paths, const std::string& path,
                                        std::string_view tag, const std::vector<std::string>& own);

// ReplaceFile: the old name must exist; rename over the new one.
bool ReplaceStep(Paths& paths, const std::string& from, const std::string& to);

// exists(dir) || mkdir(dir).
bool EnsureDirectoryStep(Paths& paths, const std::string& dir);

}  // namespace upd::lint
