// Starting a tool with fork and exec, feeding its input and collecting its
// output through pipes.
#include "pack/tool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

extern char** environ;

namespace upd::pack {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

bool Executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// Writes all of `data`; false when the reader went away.
bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string FindTool(std::string_view name) {
    std::string folders = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    folders += ":/usr/sbin:/sbin";
    std::string_view rest = folders;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty()) {
            continue;
        }
        std::string path = std::string(folder) + "/" + std::string(name);
        if (Executable(path)) {
            return path;
        }
    }
    return {};
}

ToolRun RunTool(const std::vector<std::string>& argv, std::string_view input,
                const std::vector<std::string>& environment) {
    ToolRun run;
    // Everything the child needs is made before the fork.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    // The given variables replace those of the same name: the C library's
    // getenv finds the first entry of a name.
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        const std::size_t equals = entry.find('=');
        bool replaced = false;
        for (const std::string& given : environment) {
            replaced =
                replaced || (equals != std::string_view::npos &&
                             std::string_view(given).starts_with(entry.substr(0, equals + 1)));
        }
        if (!replaced) {
            env.push_back(*e);
        }
    }
    for (const std::string& e : environment) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);

    int in[2];
    int out[2];
    if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0) {
        return run;
    }
    Fd inRead{in[0]}, inWrite{in[1]};
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return run;
    }
    Fd outRead{out[0]}, outWrite{out[1]};

    const pid_t pid = ::fork();
    if (pid < 0) {
        return run;
    }
    if (pid == 0) {
        if (::dup2(inRead.fd, STDIN_FILENO) < 0 || ::dup2(outWrite.fd, STDOUT_FILENO) < 0 ||
            ::dup2(outWrite.fd, STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    inRead.Close();
    outWrite.Close();
    // A tool that stops reading early must not end this program.
    void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
    WriteAll(inWrite.fd, input);
    std::signal(SIGPIPE, previous);
    inWrite.Close();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(outRead.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        run.output.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return run;
        }
    }
    run.ran = true;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace upd::pack
