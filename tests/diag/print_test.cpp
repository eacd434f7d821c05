// The diagnostic print: header layouts, time fields, the gate of every kind,
// line ends, destinations and the per-message delay.
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/dpr_fixture.h"

namespace upd::testing {
namespace {

using dpr_detail::MessageCount;
using dpr_detail::MessageHead;

constexpr timeval k2026Dec06 = {1796539812, 123456};  // 06:50:12.123456 UTC

class DprPrint : public DprTest {
  protected:
    void SetUp() override {
        DprTest::SetUp();
        ASSERT_EQ(SetThreadName("MAIN"), 1);
        fake_now = {1796539812, 42};
        dpr_detail::ReadClock = FakeClock;
    }
    // One message from a fixed source position.
    std::string Print(unsigned short kind, const char* fmt = "value %d") {
        const long before = std::ftell(stream_);
        dpr(kind, stream_, "/src/diag/print.cpp", "Run", 42, fmt, 7);
        return Contents(stream_).substr(static_cast<std::size_t>(before));
    }
};

TEST_F(DprPrint, HeaderLayouts) {
    struct Case {
        std::uint32_t flags;
        const char* want;
    } const cases[] = {
        {0, "MAIN   :: print.cpp      @  42 :: Run              :: value 7\n"},
        {DPR_TIME | DPR_USEC,
         "MAIN   :: print.cpp      @  42 :: Run              :: 1796539812.000042 :: value 7\n"},
        {DPR_LABELS, "THREAD MAIN   :: FILE print.cpp      @  42 :: FUNC Run\n  value 7\n"},
        {DPR_LABELS | DPR_TIME | DPR_USEC,
         "THREAD MAIN   :: FILE print.cpp      @  42 :: FUNC Run              :: TIME "
         "1796539812.000042\n  value 7\n"},
        // Time bits without DPR_TIME store only.
        {DPR_USEC | DPR_DATE, "MAIN   :: print.cpp      @  42 :: Run              :: value 7\n"},
    };
    for (const auto& c : cases) {
        dpr_stat = c.flags;
        EXPECT_EQ(Print(1), c.want) << std::hex << c.flags;
    }
}

// The local time of the fake clock through strftime, as an oracle.
std::string LocalTime(const char* format, long micros) {
    const time_t t = k2026Dec06.tv_sec;
    struct tm fields {};
    localtime_r(&t, &fields);
    char text[64];
    std::strftime(text, sizeof text, format, &fields);
    char millis[24];
    std::snprintf(millis, sizeof millis, ".%03ld", micros / 1000);
    return std::string(text) + millis;
}

TEST_F(DprPrint, LocalTimeFields) {
    fake_now = k2026Dec06;
    dpr_stat = DPR_TIME;
    EXPECT_EQ(Print(1), "MAIN   :: print.cpp      @  42 :: Run              :: " +
                            LocalTime("%H:%M:%S", 123456) + " :: value 7\n");
    dpr_stat = DPR_TIME | DPR_DATE | DPR_USEC;  // the date wins over microseconds
    EXPECT_EQ(Print(1), "MAIN   :: print.cpp      @  42 :: Run              :: " +
                            LocalTime("%Y-%b-%d %H:%M:%S", 123456) + " :: value 7\n");
}

TEST_F(DprPrint, UnformattableTimeDropsTheTimeColumn) {
    fake_now = {-86400 * 365, 0};  // 1969: outside the formatter's years
    dpr_stat = DPR_TIME;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Print(1), "MAIN   :: print.cpp      @  42 :: Run              :: value 7\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dpr : \"FormatDateTime\" failed, ErrorCode = -4\n");
    EXPECT_EQ(dpr_stat & DPR_TIME, 0u);
}

TEST_F(DprPrint, UnreadableClockLeavesAnEmptyTimeColumn) {
    dpr_detail::ReadClock = FailingClock;
    dpr_stat = DPR_TIME;
    EXPECT_EQ(Print(1),
              "MAIN   :: print.cpp      @  42 :: Run              ::              :: value 7\n");
    EXPECT_NE(dpr_stat & DPR_TIME, 0u);
}

TEST_F(DprPrint, GateAndDestinationOfEveryKind) {
    constexpr std::uint32_t kAllGates = DPR_MESG | DPR_MSG | DPR_QUEUE;
    struct Case {
        unsigned short kind;
        std::uint32_t flags;
        bool stream, log, queued;
    } const cases[] = {
        {0, 0, false, false, false},
        {0, DPR_ERRLOG, false, true, false},
        {1, 0, true, false, false},
        {1, DPR_ERRLOG, true, true, false},
        {2, DPR_ERRLOG, true, true, false},
        {7, DPR_ERRLOG, true, true, false},
        {3, DPR_ERRLOG, false, false, false},
        {3, DPR_MESG | DPR_ERRLOG, true, true, false},
        {4, DPR_MESG | DPR_ERRLOG, false, false, false},
        {4, DPR_MSG | DPR_ERRLOG, true, true, false},
        {5, DPR_ERRLOG, true, true, false},
        {6, kAllGates & ~DPR_QUEUE, false, false, false},
        {6, DPR_QUEUE | DPR_ERRLOG, false, false, true},
        {8, 0, false, false, false},
        {8, DPR_ERRLOG, false, true, false},
        {9, kAllGates | DPR_ERRLOG, false, true, false},
        {65535, DPR_ERRLOG, false, true, false},
    };
    for (const auto& c : cases) {
        dpr_detail::ResetForTesting();
        dpr_detail::ReadClock = FakeClock;
        std::remove(log_path().c_str());
        dpr_stat = c.flags;
        const std::string printed = Print(c.kind);
        EXPECT_EQ(!printed.empty(), c.stream) << "kind " << c.kind << " flags " << c.flags;
        EXPECT_EQ(!Log().empty(), c.log) << "kind " << c.kind << " flags " << c.flags;
        EXPECT_EQ(MessageCount, c.queued ? 1u : 0u) << "kind " << c.kind;
        EXPECT_EQ(dpr_detail::ErrorLogCount, c.log ? 1u : 0u) << "kind " << c.kind;
    }
}

TEST_F(DprPrint, LineEnds) {
    struct Case {
        unsigned short kind;
        const char* fmt;
        const char* tail;  // what the line ends with after the header
    } const cases[] = {
        {1, "text", ":: text\n"},     {1, "text\n", ":: text\n\n"},  // a newline gets a second one
        {1, "text\\n", ":: text\\n"},  // backslash-n stands for the line end
        {1, "\\n", ":: \\n"},         {1, "n", ":: n\n"},           {1, "", ":: \n"},
        {5, "text", "text"},  // bare text: nothing added
        {5, "text\\n", "text\\n"},
    };
    for (const auto& c : cases) {
        const std::string out = Print(c.kind, c.fmt);
        ASSERT_GE(out.size(), std::strlen(c.tail)) << c.fmt;
        EXPECT_EQ(out.substr(out.size() - std::strlen(c.tail)), c.tail) << c.fmt;
    }
    dpr_stat = DPR_QUEUE;
    Print(6, "queued");
    Print(6, "escaped\\n");
    ASSERT_NE(MessageHead, nullptr);
    ASSERT_NE(MessageHead->next, nullptr);
    EXPECT_STREQ(MessageHead->text,
                 "MAIN   :: print.cpp      @  42 :: Run              :: queued\\n");
    EXPECT_STREQ(MessageHead->next->text,
                 "MAIN   :: print.cpp      @  42 :: Run              :: escaped\\n");
    EXPECT_EQ(dpr_detail::MessageSpace, std::strlen(MessageHead->text) + 1 + 8 +
                                            std::strlen(MessageHead->next->text) + 1 + 8);
}

TEST_F(DprPrint, BareTextIgnoresHeaderFlags) {
    dpr_stat = DPR_TIME | DPR_LABELS | DPR_ERRLOG;
    EXPECT_EQ(Print(5, "bare %d"), "bare 7");
    EXPECT_EQ(Log(), "bare 7");
}

TEST_F(DprPrint, UnnamedProcessAndNullFormat) {
    dpr_detail::ResetForTesting();
    dpr(1, stream_, "f.c", "g", 1, "x");
    EXPECT_EQ(Contents(stream_), "???    :: f.c            @   1 :: g                :: x\n");
    const char* no_format = nullptr;
    dpr_stat = DPR_ERRLOG | DPR_QUEUE;
    // The null format is the point of the test, not a mistake to warn about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    for (unsigned short kind : {0, 1, 5, 6}) {
        dpr(kind, stream_, "f.c", "g", 1, no_format);
    }
#pragma GCC diagnostic pop
    EXPECT_EQ(Contents(stream_), "???    :: f.c            @   1 :: g                :: x\n");
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(MessageCount, 0u);
}

TEST_F(DprPrint, FileIsItsLastPathComponent) {
    struct Case {
        const char* file;
        const char* field;
    } const cases[] = {
        {"a/b/update.cpp", "update.cpp"},
        {"update.cpp", "update.cpp"},
        {"dir/", "dir"},
        {"/", "/"},
        {"", "."},
        {nullptr, "."},
        {"x.tar.gz", "x.tar.gz"},
    };
    for (const auto& c : cases) {
        const long before = std::ftell(stream_);
        dpr(1, stream_, c.file, "f", 1, "m");
        const std::string out = Contents(stream_).substr(static_cast<std::size_t>(before));
        char want[128];
        std::snprintf(want, sizeof want, "MAIN   :: %-14s @   1 :: f                :: m\n",
                      c.field);
        EXPECT_EQ(out, want) << (c.file ? c.file : "(null)");
    }
}

TEST_F(DprPrint, OverlongFieldsAreCutAndLinesFit) {
    const std::string file(300, 'f');
    const std::string func(300, 'g');
    const std::string text(3000, 't');
    dpr_stat = DPR_QUEUE | DPR_LABELS | DPR_TIME | DPR_DATE;
    fake_now = k2026Dec06;
    dpr(6, stream_, file.c_str(), func.c_str(), -2147483647 - 1, "%s", text.c_str());
    ASSERT_NE(MessageHead, nullptr);
    const std::string line = MessageHead->text;
    EXPECT_LT(line.size(), 1280u);
    EXPECT_NE(line.find("FILE " + std::string(64, 'f') + " @-2147483648"), std::string::npos);
    EXPECT_NE(line.find("FUNC " + std::string(64, 'g') + " :: TIME"), std::string::npos);
    // The text is cut to 1023 characters; the line end follows it.
    EXPECT_EQ(line.substr(line.size() - 1025), std::string(1023, 't') + "\\n");

    dpr_stat = 0;
    const std::string out = Print(1, text.c_str());
    EXPECT_EQ(out.substr(out.size() - 1024), std::string(1023, 't') + "\n");
}

TEST_F(DprPrint, DebugFileTakesTheStreamsPlace) {
    dpr_stat = DPR_DEBUGFILE;
    EXPECT_EQ(Print(1, "one"), "");
    EXPECT_EQ(Print(5, "two"), "");
    ASSERT_NE(dpr_detail::fp_DebugFile, nullptr);
    std::fflush(dpr_detail::fp_DebugFile);
    EXPECT_EQ(FileOrEmpty(debug_path()),
              "MAIN   :: print.cpp      @  42 :: Run              :: one\ntwo");
    EXPECT_NE(dpr_stat & DPR_DEBUGFILE, 0u);
}

TEST_F(DprPrint, UnopenableDebugFileFallsBackToTheStream) {
    dpr_detail::SetPathsForTesting(log_path().c_str(), prev_path().c_str(),
                                   (dir_ / "missing/debug.txt").c_str());
    dpr_stat = DPR_DEBUGFILE;
    EXPECT_EQ(Print(1, "one"), "MAIN   :: print.cpp      @  42 :: Run              :: one\n");
    EXPECT_EQ(dpr_stat & DPR_DEBUGFILE, 0u);
}

TEST_F(DprPrint, FlushAfterEachMessageOnlyWhenAsked) {
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* memory = open_memstream(&buffer, &size);
    ASSERT_NE(memory, nullptr);
    dpr(1, memory, "f.c", "g", 1, "x");
    EXPECT_EQ(size, 0u);  // still in the stream's buffer
    dpr_stat = DPR_FLUSH;
    dpr(1, memory, "f.c", "g", 1, "x");
    EXPECT_GT(size, 0u);
    std::fclose(memory);
    std::free(buffer);
}

TEST_F(DprPrint, NullStreamStillReachesTheErrorLog) {
    dpr_stat = DPR_ERRLOG;
    dpr(1, nullptr, "f.c", "g", 1, "x");
    dpr(5, nullptr, "f.c", "g", 1, "y");
    EXPECT_EQ(Log(), "MAIN   :: f.c            @   1 :: g                :: x\ny");
}

long MillisOf(unsigned short kind) {
    const auto start = std::chrono::steady_clock::now();
    dpr(kind, nullptr, "f.c", "g", 1, "x");
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

TEST_F(DprPrint, DelayFollowsPassingMessagesOnly) {
    dpr_stat = DPR_DELAY;
    dpr_sleep(30);
    EXPECT_GE(MillisOf(0), 25);  // msleep(30) sleeps 25 ms; kind 0 without a log is silent
    dpr_sleep(5000);
    EXPECT_LT(MillisOf(3), 2500);  // dropped by the gate: no delay
    EXPECT_LT(MillisOf(6), 2500);
    dpr_sleep(0);
    EXPECT_LT(MillisOf(1), 2500);
    EXPECT_NE(dpr_stat & DPR_DELAY, 0u);
}

}  // namespace
}  // namespace upd::testing
