// The flag word's configuration, the source filter loaded from "./.dpr" and
// the SIGQUIT handler.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <csignal>

#include <string>
#include <utility>
#include <vector>

#include "diag/dpr_fixture.h"

namespace upd::testing {
namespace {

using dpr_detail::filter;

// Runs the test inside the temporary folder, where "./.dpr" is looked for.
class DprConfig : public DprTest {
  protected:
    void SetUp() override {
        DprTest::SetUp();
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        cwd_ = cwd;
        ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(::chdir(cwd_.c_str()), 0);
        DprTest::TearDown();
    }
    static std::vector<std::pair<int, std::string>> Filter() {
        std::vector<std::pair<int, std::string>> entries;
        for (auto* e = filter; e != nullptr; e = e->next) {
            entries.emplace_back(e->kind, e->text);
        }
        return entries;
    }
    std::string cwd_;
};

using Entries = std::vector<std::pair<int, std::string>>;

TEST_F(DprConfig, SetsAndClearsBits) {
    struct Case {
        std::uint32_t before;
        int op;
        unsigned flags;
        std::uint32_t after;
    } const cases[] = {
        {0, 1, DPR_TIME, 0x200},       {0x200, 1, DPR_MESG, 0x202}, {0x202, 1, 0x44, 0x246},
        {0x246, 0, DPR_FILTER, 0x206}, {0x206, 0, 0xFFFFFFFF, 0},   {0x206, 2, 0xFFF, 0x206},
        {0x206, -1, 0xFFF, 0x206},     {0, 1, 0x1000, 0x1000},  // unknown bits are only stored
    };
    for (const auto& c : cases) {
        dpr_stat = c.before;
        dpr_config(c.op, c.flags);
        EXPECT_EQ(dpr_stat.load(), c.after) << c.op << " " << std::hex << c.flags;
    }
}

TEST_F(DprConfig, LoadsTheFilterInFileOrder) {
    WriteAll(dir_ / ".dpr", "update.cpp\nnv.c\nstr.h\nmain\ndpr.CPP\n\n# comment\n");
    dpr_config(1, DPR_MSG | DPR_FILTER);
    EXPECT_EQ(dpr_stat.load(), DPR_MSG | DPR_FILTER);
    EXPECT_EQ(Filter(), (Entries{{1, "update.cpp"},
                                 {1, "nv.c"},
                                 {1, "str.h"},
                                 {2, "main"},
                                 {2, "dpr.CPP"},
                                 {2, ""},
                                 {2, "# comment"}}));

    // Clearing the bit keeps the filter; setting it again reloads it whole.
    dpr_config(0, DPR_FILTER);
    EXPECT_EQ(Filter().size(), 7u);
    WriteAll(dir_ / ".dpr", "a.h\n");
    dpr_config(1, DPR_FILTER);
    dpr_config(1, DPR_FILTER);
    EXPECT_EQ(Filter(), (Entries{{1, "a.h"}}));
    // Setting other bits does not reload.
    WriteAll(dir_ / ".dpr", "b.h\n");
    dpr_config(1, DPR_MSG);
    EXPECT_EQ(Filter(), (Entries{{1, "a.h"}}));
}

TEST_F(DprConfig, MissingOrEmptyFileGivesAnEmptyFilterAndKeepsTheBit) {
    WriteAll(dir_ / ".dpr", "main\n");
    dpr_config(1, DPR_FILTER);
    ASSERT_EQ(Filter().size(), 1u);
    std::remove((dir_ / ".dpr").c_str());
    dpr_config(1, DPR_FILTER);
    EXPECT_TRUE(Filter().empty());
    EXPECT_NE(dpr_stat & DPR_FILTER, 0u);
    WriteAll(dir_ / ".dpr", "");
    dpr_config(1, DPR_FILTER);
    EXPECT_TRUE(Filter().empty());
    EXPECT_NE(dpr_stat & DPR_FILTER, 0u);
}

TEST_F(DprConfig, UnreadableFileEmptiesTheFilterAndClearsTheBit) {
    WriteAll(dir_ / ".dpr", "main\n");
    dpr_config(1, DPR_FILTER);
    ASSERT_EQ(Filter().size(), 1u);
    // A socket exists but cannot be opened as a file, even by root.
    std::remove((dir_ / ".dpr").c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "./.dpr");
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    dpr_config(1, DPR_MSG | DPR_FILTER);
    ::close(fd);
    EXPECT_TRUE(Filter().empty());
    EXPECT_EQ(dpr_stat.load(), DPR_MSG);
}

TEST_F(DprConfig, SleepSetsOnlyTheDelay) {
    EXPECT_EQ(dpr_delay.load(), 10);
    dpr_sleep(0);
    EXPECT_EQ(dpr_delay.load(), 0);
    dpr_sleep(65535);
    EXPECT_EQ(dpr_delay.load(), 65535);
    EXPECT_EQ(dpr_stat.load(), 0u);
}

using Handler = void (*)(int);

Handler Disposition() {
    struct sigaction current {};
    ::sigaction(SIGQUIT, nullptr, &current);
    return current.sa_handler;
}

TEST(SignalHandler, ArmsItselfForSigquitOnly) {
    std::signal(SIGQUIT, SIG_DFL);
    SignalHandler(15);
    EXPECT_EQ(Disposition(), SIG_DFL);
    SignalHandler(0);
    EXPECT_EQ(Disposition(), &SignalHandler);
    // Served, it re-arms itself and the process goes on.
    ASSERT_EQ(::raise(SIGQUIT), 0);
    EXPECT_EQ(Disposition(), &SignalHandler);
    ASSERT_EQ(::raise(SIGQUIT), 0);
    EXPECT_EQ(Disposition(), &SignalHandler);

    // Ignored before: stays ignored.
    std::signal(SIGQUIT, SIG_IGN);
    SignalHandler(0);
    EXPECT_EQ(Disposition(), SIG_IGN);
    std::signal(SIGQUIT, SIG_DFL);
}

}  // namespace
}  // namespace upd::testing
