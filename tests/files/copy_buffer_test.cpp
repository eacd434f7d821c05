// Copies larger than the copy's stream buffers: whole files whatever their
// size against the buffer, and a write refused by the system late in the
// copy, at a buffer flush or at the close, still fails the copy.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "files/file.h"
#include "platform/platform.h"
#include "support/tempdir.h"

namespace upd {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

constexpr std::size_t kStreamBuffer = 128 * 1024;

// Syncs nothing: the copies here need no disk.
class QuietPlatform final : public platform::Platform {
  public:
    int Mount(const char*, const char*, const char*, unsigned long, const void*) override {
        return -1;
    }
    int Umount(const char*) override { return -1; }
    void Sync() override {}
    int System(const char*) override { return -1; }
    unsigned Sleep(unsigned) override { return 0; }
    void Pause(unsigned) override {}
    std::vector<platform::MountedFs> MountsOn(const char*) override { return {}; }
    int Detach(const char*) override { return -1; }
};

class CopyBufferTest : public ::testing::Test {
  protected:
    void SetUp() override { previous_ = platform::Install(&platform_); }
    void TearDown() override { platform::Install(previous_); }

    static std::string Content(std::size_t size) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 131) ^ (i >> 9));
        }
        return content;
    }

    TempDir dir;
    QuietPlatform platform_;
    platform::Platform* previous_ = nullptr;
};

TEST_F(CopyBufferTest, CopiesWholeFilesAroundTheStreamBuffer) {
    for (std::size_t size :
         {kStreamBuffer - 1, kStreamBuffer, kStreamBuffer + 1, 3 * kStreamBuffer + 2048 + 5}) {
        const std::string content = Content(size);
        WriteAll(dir / "src", content);
        WriteAll(dir / "dst", std::string(4 * kStreamBuffer, 'x'));  // longer: truncated
        EXPECT_EQ(CopyFile((dir / "src").c_str(), (dir / "dst").c_str()), 1) << size;
        EXPECT_EQ(ReadAll(dir / "dst"), content) << size;
    }
}

TEST_F(CopyBufferTest, AWriteRefusedLateFailsTheCopy) {
    // The file-size limit refuses writes past it; the copy buffers its writes,
    // so the refusal comes at a flush inside the loop or at the final close.
    struct Case {
        std::size_t size;
        rlim_t limit;
    };
    const Case cases[] = {
        {3 * kStreamBuffer, kStreamBuffer + 1000},  // at a flush during the copy
        {kStreamBuffer - 100, 5000},                // at the close
    };
    for (const Case& c : cases) {
        WriteAll(dir / "src", Content(c.size));
        pid_t child = ::fork();
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{c.limit, c.limit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                ::_exit(2);
            }
            ::_exit(CopyFile((dir / "src").c_str(), (dir / "dst").c_str()));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.size;
    }
}

}  // namespace
}  // namespace upd
