// What the two whole-run targets (fuzz_run, fuzz_lint_run) share at their
// entry: the one sandbox of the fuzzing process, the sanitizer's settings and
// libFuzzer's initialisation, which takes the rights the sandbox needs. Each
// target includes it in its one source file.
#pragma once

#include "run_sandbox.h"

namespace upd::fuzz {

inline RunSandbox& Sandbox() {
    static RunSandbox sandbox;
    return sandbox;
}

}  // namespace upd::fuzz

// A quarantine of 2 MiB rather than 256: freed memory is still held back for
// many runs, long enough to catch a use after free within one, and is reused
// while it is in the cache. Allocation stacks of six frames still name the
// updater's function that allocated.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=2:malloc_context_size=6";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    upd::fuzz::Sandbox().NoteArguments(*argc, *argv);
    upd::fuzz::Sandbox().GainRights();
    return 0;
}
