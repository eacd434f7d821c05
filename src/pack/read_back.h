// The check of a written image: the files read back from it against the
// staged stick they were copied from, name for name and byte for byte.
#pragma once

#include <string>
#include <vector>

#include "pack/progress.h"

namespace upd::pack {

// Every difference between the folder `expected` and the folder `actual`, one
// line each naming the entry by its path below them: an entry missing from
// `actual` or only there, of another kind (file or folder), or a file whose
// bytes differ. Empty when they hold exactly the same.
std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      Progress* progress);

}  // namespace upd::pack
