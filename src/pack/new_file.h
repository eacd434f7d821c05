// Files and folders that appear whole under their final names: made under a
// temporary name beside their place, then renamed there without ever
// replacing what another program put there meanwhile.
#pragma once

#include <string>

namespace upd::pack {

// A mkstemp/mkdtemp template beside `path` (trailing slashes ignored): its
// folder, a dot, its name and ".update-pack-XXXXXX", hidden from a listing and
// on the same file system, so that the final rename is one step.
std::string TemplateBeside(const std::string& path);

// Renames `from` to `to` unless `to` exists, in one step where the file
// system can (renameat2 with RENAME_NOREPLACE), else after a check. False,
// with errno set, when it did not move.
bool MoveNew(const std::string& from, const std::string& to);

// Makes the entries of the folder holding `path` durable (fsync of the
// folder). False when it cannot be opened or synced.
bool SyncFolderOf(const std::string& path);

}  // namespace upd::pack
