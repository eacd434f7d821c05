// The process's run observer.
#include "update/observer.h"

namespace upd {
namespace {

RunObserver* observer = nullptr;

}  // namespace

RunObserver* ObserveRun(RunObserver* next) {
    RunObserver* previous = observer;
    observer = next;
    return previous;
}

void NoteReported(int code) {
    if (observer != nullptr) {
        observer->Reported(code);
    }
}

void NoteShown(std::string_view message) {
    if (observer != nullptr) {
        observer->Shown(message);
    }
}

void NoteChanged(Change change, std::string_view path) {
    if (observer != nullptr) {
        observer->Changed(change, path);
    }
}

}  // namespace upd
