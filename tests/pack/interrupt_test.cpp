// A pack that a signal interrupts leaves neither its staging folder nor its
// staged image.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <streambuf>

#include "pack_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

// A log that, at its first line, tells the test through a pipe and then
// waits for the signal: the first line of a pack whose only section is a
// FlashUpdate without a digest is the notice written once the stick is
// staged.
class WaitingLog : public std::streambuf {
  public:
    explicit WaitingLog(int tell) : tell_(tell) {}

  protected:
    int overflow(int ch) override {
        if (ch == '\n') {
            (void)!::write(tell_, "!", 1);
            for (;;) {
                ::pause();
            }
        }
        return ch;
    }

  private:
    int tell_;
};

TEST_F(PackTest, AnInterruptedPackLeavesNothingBehind) {
    Manifest(
        "SectionList\nSequence = Flash\nFlash\nOperation = FlashUpdate\nDevice = /dev/mtd1\n"
        "Offset = 0\nEraseCommand = erase\nWriteCommand = sh /mnt/tools/write\n"
        "DataPath1 = /mnt/flash/f.img\n");
    Source("f.img", "flash");
    Source("write", "w");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            WaitingLog waiting(pipe[1]);
            std::ostream log(&waiting);
            pack::Options options{.source = dir_ / "src/AuxInfo.txt.in",
                                  .outputDir = dir_ / "out",
                                  .image = dir_ / "stick.img"};
            pack::Pack(options, log);
            ::_exit(0);
        }
        ::close(pipe[1]);
        char told = 0;
        ASSERT_EQ(::read(pipe[0], &told, 1), 1);
        ::close(pipe[0]);
        EXPECT_EQ(Entries(), 3u);  // src, the staging folder and the staged image
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Entries(), 1u) << fs::directory_iterator(dir_.path())->path();
    }
}

}  // namespace
}  // namespace upd::testing
