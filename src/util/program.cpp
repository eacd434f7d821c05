// The programs' shared lines. UPD_VERSION is defined for this file alone by
// the build (CMakeLists.txt), so that a new version rebuilds one file.
#include "util/program.h"

#ifndef UPD_VERSION
#error "UPD_VERSION must be defined by the build"
#endif

namespace upd {

const char* Version() {
    return UPD_VERSION;
}

std::string VersionLine(std::string_view program) {
    return std::string(program) + " " + Version() + "\n";
}

std::string UsageErrorLine(std::string_view program, std::string_view problem) {
    return std::string(program) + ": " + std::string(problem) + " (see " + std::string(program) +
           " --help)\n";
}

}  // namespace upd
