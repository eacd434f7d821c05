// Shared set-up of the diagnostic facility's tests: a facility returned to its
// start state with its files in a temporary folder, a settable clock, a
// platform that counts syncs, and capture of what a stream received.
#pragma once

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdio>
#include <string>

#include "diag/dpr.h"
#include "diag/dpr_internal.h"
#include "platform/platform.h"
#include "support/counting_platform.h"
#include "support/tempdir.h"

namespace upd::testing {

// The time every reading of the fake clock gives.
inline timeval fake_now{};

inline int FakeClock(timeval* tv, struct timezone*) {
    *tv = fake_now;
    return 0;
}

inline int FailingClock(timeval*, struct timezone*) {
    return -1;
}

// Everything written to a stream, read back from the start.
inline std::string Contents(FILE* fp) {
    std::fflush(fp);
    std::rewind(fp);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, fp)) > 0) {
        text.append(buffer, n);
    }
    std::fseek(fp, 0, SEEK_END);
    return text;
}

class DprTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dpr_detail::ResetForTesting();
        dpr_detail::SetPathsForTesting(log_path().c_str(), prev_path().c_str(),
                                       debug_path().c_str());
        previous_platform_ = platform::Install(&platform_);
        stream_ = std::tmpfile();
        ASSERT_NE(stream_, nullptr);
    }

    void TearDown() override {
        dpr_detail::ResetForTesting();
        dpr_detail::SetPathsForTesting(nullptr, nullptr, nullptr);
        platform::Install(previous_platform_);
        std::fclose(stream_);
    }

    std::string log_path() const { return dir_ / "Updateerrlog.txt"; }
    std::string prev_path() const { return dir_ / "Updateerrlogprev.txt"; }
    std::string debug_path() const { return dir_ / "debug.txt"; }
    // The error log's content as the facility wrote it so far ("" if none).
    std::string Log() const {
        if (dpr_detail::fp_ErrorLogFile != nullptr) {
            std::fflush(dpr_detail::fp_ErrorLogFile);
        }
        return FileOrEmpty(log_path());
    }
    static std::string FileOrEmpty(const std::string& path) {
        FILE* fp = std::fopen(path.c_str(), "r");
        if (fp == nullptr) {
            return "";
        }
        std::string text = Contents(fp);
        std::fclose(fp);
        return text;
    }

    TempDir dir_;
    CountingPlatform platform_;
    platform::Platform* previous_platform_ = nullptr;
    FILE* stream_ = nullptr;
};

}  // namespace upd::testing
