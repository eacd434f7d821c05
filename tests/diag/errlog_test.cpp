// The error log: opening, rotation at the size limit every 25th write, its
// failures, and the message queue drained into it.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "diag/dpr_fixture.h"

namespace upd::testing {
namespace {

using dpr_detail::ErrorLogCount;

constexpr std::size_t kLimit = 262144;

long long SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class ErrorLog : public DprTest {
  protected:
    void SetUp() override {
        DprTest::SetUp();
        SetThreadName("MAIN");
        dpr_stat = DPR_ERRLOG;
    }
    // One byte to the log: kind 5 adds neither header nor line end.
    void Byte() { dpr(5, nullptr, "f.c", "g", 1, "x"); }
    void Queue(const char* text) { dpr(6, nullptr, "f.c", "g", 1, "%s", text); }
};

TEST_F(ErrorLog, OpensInAppendModeAtTheFirstMessage) {
    WriteAll(log_path(), "old\n");
    EXPECT_EQ(dpr_detail::fp_ErrorLogFile, nullptr);
    dpr(1, stream_, "f.c", "g", 1, "new");
    EXPECT_EQ(Log(), "old\nMAIN   :: f.c            @   1 :: g                :: new\n");
}

TEST_F(ErrorLog, RotatesPastTheLimitAtEvery25thWrite) {
    struct Case {
        std::size_t prefill;
        std::uint32_t count_before;
        bool rotated;
    } const cases[] = {
        {kLimit - 1, 24, false},  // exactly at the limit after the write: kept
        {kLimit, 24, true},       // one byte over
        {300000, 23, false},      // the 24th write is not checked
        {300000, 49, true},       // the 50th is
        {300000, 0, false},      {300000, 74, true},
    };
    for (const auto& c : cases) {
        dpr_detail::ResetForTesting();
        dpr_stat = DPR_ERRLOG;
        std::remove(prev_path().c_str());
        WriteAll(log_path(), std::string(c.prefill, 'p'));
        ErrorLogCount = c.count_before;
        Byte();
        const std::size_t after = c.prefill + 1;
        EXPECT_EQ(ErrorLogCount, c.count_before + 1);
        if (c.rotated) {
            EXPECT_EQ(SizeOf(prev_path()), static_cast<long long>(after)) << c.prefill;
            EXPECT_EQ(SizeOf(log_path()), 0) << "a new empty log is open";
            Byte();
            EXPECT_EQ(Log(), "x");
        } else {
            EXPECT_EQ(SizeOf(prev_path()), -1) << c.prefill << " " << c.count_before;
            EXPECT_EQ(SizeOf(log_path()), static_cast<long long>(after));
        }
        EXPECT_NE(dpr_stat & DPR_ERRLOG, 0u);
    }
}

TEST_F(ErrorLog, RotationReplacesThePreviousGeneration) {
    WriteAll(prev_path(), "older generation");
    WriteAll(log_path(), std::string(kLimit, 'p'));
    for (int i = 0; i < 25; ++i) {
        Byte();
    }
    EXPECT_EQ(SizeOf(prev_path()), static_cast<long long>(kLimit + 25));
    EXPECT_EQ(SizeOf(log_path()), 0);
}

TEST_F(ErrorLog, FailedRotationSwitchesTheLogOff) {
    struct Case {
        const char* name;
        std::string prev;  // previous-generation path
        bool prev_is_dir;  // a non-empty directory there cannot be removed
        bool unlink_log;   // the log's name vanished while open
        std::string stderr_text;
        bool log_still_open;
    };
    const std::string log = log_path();
    const std::string missing = dir_ / "missing/prev.txt";
    const Case cases[] = {
        {"remove", prev_path(), true, false, "ErrorLogSizeCheck : \"RemoveFile\" failed", true},
        {"rename ENOENT", missing, false, false,
         "Can't rename file \"" + log + "\" to \"" + missing + "\" (ENOENT).\n" +
             "Can't rename file \"" + log + "\" to \"" + missing + "\".\n",
         false},
        {"log vanished", prev_path(), false, true,
         "Can't rename file \"" + log + "\" to \"" + prev_path() + "\".  The file \"" + log +
             "\" does not exist.\n" + "Can't rename file \"" + log + "\" to \"" + prev_path() +
             "\".\n",
         false},
    };
    for (const auto& c : cases) {
        dpr_detail::ResetForTesting();
        std::filesystem::remove_all(prev_path());
        dpr_detail::SetPathsForTesting(log.c_str(), c.prev.c_str(), debug_path().c_str());
        if (c.prev_is_dir) {
            std::filesystem::create_directories(c.prev + "/keep");
        }
        WriteAll(log, std::string(300000, 'p'));
        dpr_stat = DPR_ERRLOG;
        Byte();  // opens the log
        if (c.unlink_log) {
            std::remove(log.c_str());
        }
        ErrorLogCount = 24;
        ::testing::internal::CaptureStderr();
        Byte();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.stderr_text) << c.name;
        EXPECT_EQ(dpr_stat & DPR_ERRLOG, 0u) << c.name;
        EXPECT_EQ(dpr_detail::fp_ErrorLogFile != nullptr, c.log_still_open) << c.name;
        // Nothing more reaches the log until the bit is set again.
        const long long size = SizeOf(log);
        Byte();
        EXPECT_EQ(SizeOf(log), size) << c.name;
    }
}

TEST_F(ErrorLog, UnopenableLogSendsTheMessageToStandardError) {
    const std::string missing = dir_ / "missing/log.txt";
    dpr_detail::SetPathsForTesting(missing.c_str(), prev_path().c_str(), debug_path().c_str());
    ::testing::internal::CaptureStderr();
    dpr(1, stream_, "f.c", "g", 1, "lost?");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("can't open error log \"" + missing + "\""), std::string::npos) << err;
    EXPECT_NE(err.find("MAIN   :: f.c            @   1 :: g                :: lost?\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(Contents(stream_), "MAIN   :: f.c            @   1 :: g                :: lost?\n");
    EXPECT_EQ(dpr_stat & DPR_ERRLOG, 0u);
    EXPECT_EQ(ErrorLogCount, 0u);
}

TEST_F(ErrorLog, DrainWritesTheQueueToTheLog) {
    dpr_stat |= DPR_QUEUE;
    Queue("one");
    Queue("two");
    Queue("three");
    EXPECT_EQ(Log(), "") << "queued messages are not logged by dpr";
    const std::uint64_t space = dpr_detail::MessageSpace;
    ::testing::internal::CaptureStdout();
    LogMessages(nullptr, 1);
    const std::string out = ::testing::internal::GetCapturedStdout();

    const std::string head = "MAIN   :: f.c            @   1 :: g                :: ";
    const std::string lines = head + "one\\n\n" + head + "two\\n\n" + head + "three\\n\n";
    EXPECT_EQ(out, "\n" + lines);
    EXPECT_EQ(Log(), lines);
    EXPECT_EQ(ErrorLogCount, 3u);
    EXPECT_EQ(dpr_detail::MessageHead, nullptr);
    EXPECT_EQ(dpr_detail::MessageTail, nullptr);
    EXPECT_EQ(dpr_detail::MessageCount, 0u);
    EXPECT_EQ(dpr_detail::MessageSpace, space) << "a drain does not reset the running total";
    EXPECT_EQ(platform_.syncs, 1);

    // The queue starts again from empty.
    Queue("four");
    ::testing::internal::CaptureStdout();
    LogMessages(nullptr, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n");
    EXPECT_EQ(Log(), lines + head + "four\\n\n");
}

TEST_F(ErrorLog, DrainWithoutTheLogDiscards) {
    dpr_stat = DPR_QUEUE;
    Queue("one");
    Queue("two");
    ::testing::internal::CaptureStdout();
    LogMessages(nullptr, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n");
    EXPECT_EQ(SizeOf(log_path()), -1);
    EXPECT_EQ(dpr_detail::MessageHead, nullptr);
    EXPECT_EQ(platform_.syncs, 1);
}

TEST_F(ErrorLog, DrainStopsLoggingWhenRotationFails) {
    const std::string missing = dir_ / "missing/prev.txt";
    dpr_detail::SetPathsForTesting(log_path().c_str(), missing.c_str(), debug_path().c_str());
    WriteAll(log_path(), std::string(300000, 'p'));
    dpr_stat |= DPR_QUEUE;
    Queue("one");
    Queue("two");
    Queue("three");
    ErrorLogCount = 24;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    LogMessages(nullptr, 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    const std::string head = "MAIN   :: f.c            @   1 :: g                :: ";
    EXPECT_EQ(out, "\n" + head + "one\\n\n");
    EXPECT_EQ(ErrorLogCount, 25u);
    EXPECT_EQ(dpr_stat & DPR_ERRLOG, 0u);
    EXPECT_EQ(FileOrEmpty(log_path()), std::string(300000, 'p') + head + "one\\n\n");
    EXPECT_EQ(dpr_detail::MessageHead, nullptr) << "the rest is freed, not kept";
}

}  // namespace
}  // namespace upd::testing
