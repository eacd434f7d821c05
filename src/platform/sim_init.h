// A simulated instrument laid out from nothing (update-sim --init): the
// updater's folders with firmware 1.0's settings, /mnt, an empty stick
// attached on the first USB port, and stand-ins for the programs that the
// updater and the example package run, so that a package built by
// update-pack installs on it as it stands.
#pragma once

#include <string>
#include <vector>

namespace upd::platform {

// Each stand-in adds a line to this file (an instrument path): its own path
// and its arguments, those with blanks or quotes in single quotes.
inline constexpr char kStandInLog[] = "/.sim/stand-ins";
// A stand-in exits with the status that the file of its name in this folder
// gives: the first line "STATUS" or "STATUS ARGUMENT" whose ARGUMENT is one
// of its arguments; 0 when there is no file or no line applies.
inline constexpr char kStandInExits[] = "/.sim/exit";

// The programs that have stand-ins, as instrument paths.
std::vector<std::string> StandInPrograms();

// Lays out the instrument in the folder `root`, created if missing. Nothing
// that is there already is replaced. Returns true with the instrument paths
// it made added to `made`, or false with `failure` set.
bool LayOutInstrument(const std::string& root, std::vector<std::string>* made,
                      std::string* failure);

}  // namespace upd::platform
