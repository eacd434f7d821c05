// The updater's entry point (being built).
#include <cstdio>

#include "update/update.h"

namespace upd {

int UpdateMain(int /*argc*/, char** /*argv*/) { return 1; }

}  // namespace upd
