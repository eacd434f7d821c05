// What every program of the project says the same way: its version, from the
// project's version in CMake, and the one line of a usage error.
#pragma once

#include <string>
#include <string_view>

namespace upd {

// The project's version ("0.4"): update-sim's, update-pack's and
// update-lint's --version, and the version in the updater's banner.
const char* Version();

// "PROGRAM VERSION\n": what `PROGRAM --version` prints.
std::string VersionLine(std::string_view program);

// "PROGRAM: PROBLEM (see PROGRAM --help)\n": a wrong command line in one line
// on standard error, pointing to the help instead of repeating it.
std::string UsageErrorLine(std::string_view program, std::string_view problem);

}  // namespace upd
