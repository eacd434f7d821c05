// Test tool of the virtual instrument: stops a running process just before it
// renames a file onto a given path, and keeps it stopped there, so that the
// power can be cut at that very moment. Built static for the guest by
// scripts/vm-test.sh.
// Usage: stop-before-rename PID PATH MARK
//   Follows PID's system calls; when it enters rename, renameat or renameat2
//   with PATH as the new name, prints MARK on standard output and waits,
//   holding the process stopped before the call, until it is killed. Exits 1
//   when the process ends first, 2 when it cannot be followed.
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The new name of a rename-family call, from its arguments.
bool NewNameArgument(const __ptrace_syscall_info& info, unsigned long* address) {
    switch (info.entry.nr) {
#ifdef SYS_rename
        case SYS_rename:
            *address = info.entry.args[1];
            return true;
#endif
        case SYS_renameat:
        case SYS_renameat2:
            *address = info.entry.args[3];
            return true;
        default:
            return false;
    }
}

// The NUL-terminated string at `address` in the process, up to 4096 bytes.
std::string ReadString(pid_t pid, unsigned long address) {
    std::string text;
    while (text.size() < 4096) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, address + text.size(), nullptr);
        if (errno != 0) {
            break;
        }
        const char* bytes = reinterpret_cast<const char*>(&word);
        for (std::size_t i = 0; i < sizeof word; ++i) {
            if (bytes[i] == '\0') {
                return text;
            }
            text += bytes[i];
        }
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: stop-before-rename PID PATH MARK\n");
        return 2;
    }
    const pid_t pid = static_cast<pid_t>(std::atol(argv[1]));
    const std::string target = argv[2];
    if (ptrace(PTRACE_SEIZE, pid, nullptr, PTRACE_O_TRACESYSGOOD) != 0 ||
        ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) != 0) {
        std::perror("stop-before-rename: ptrace");
        return 2;
    }
    int signal = 0;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) {
            std::fprintf(stderr, "stop-before-rename: process %d ended\n", pid);
            return 1;
        }
        signal = 0;
        if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            unsigned long address = 0;
            if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) > 0 &&
                info.op == PTRACE_SYSCALL_INFO_ENTRY && NewNameArgument(info, &address) &&
                ReadString(pid, address) == target) {
                std::printf("%s\n", argv[3]);
                std::fflush(stdout);
                for (;;) {
                    pause();
                }
            }
        } else if (status >> 16 == 0) {
            // A signal for the process (not a stop of the tracer's making):
            // it gets it as it would have.
            signal = WSTOPSIG(status);
        }
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, signal) != 0) {
            std::perror("stop-before-rename: ptrace");
            return 2;
        }
    }
}
