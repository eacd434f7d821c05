// What a run reports, shows and changes on the instrument, told as it happens
// to the observer installed for the process: on the instrument there is
// none; update-sim installs one that prints its account of the run.
#pragma once

#include <string_view>

namespace upd {

// A change a run made to a file of the instrument.
enum class Change {
    kBackedUp,   // a backup was made at the path
    kInstalled,  // a package's file was installed at the path (TransferFile)
    kMerged,     // a merged configuration was installed at the path (ConfigUpdate)
    kRemoved,    // the file at the path was removed (RemoveFiles)
};

class RunObserver {
  public:
    virtual ~RunObserver() = default;
    // A code written to the error file.
    virtual void Reported(int code) = 0;
    // A message put on the display.
    virtual void Shown(std::string_view message) = 0;
    virtual void Changed(Change change, std::string_view path) = 0;
};

// Installs `observer` (null: none) and returns the one it replaces.
RunObserver* ObserveRun(RunObserver* observer);

// Tell the installed observer, if any.
void NoteReported(int code);
void NoteShown(std::string_view message);
void NoteChanged(Change change, std::string_view path);

}  // namespace upd
