// The update driver: the run context and the program's entry.
#pragma once

namespace upd {

// The updater's whole run; returns the process's exit status.
int UpdateMain(int argc, char** argv);

}  // namespace upd
