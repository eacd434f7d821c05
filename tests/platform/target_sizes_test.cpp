// Pins what the instrument's 32-bit ARM build relies on: 64-bit time and file
// offsets, time stamps after January 2038 that still order correctly, and
// files over 2 GiB that copy and digest whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest/ssl.h"
#include "files/file.h"
#include "support/sim_fixture.h"
#include "support/tempdir.h"
#include "time/date.h"
#include "update/sim_package.h"

// Every build, the 32-bit one included, sees 64-bit times and file offsets;
// with 32-bit ones a build for the instrument must not compile at all.
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits wide");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits wide");
static_assert(sizeof(((struct stat*)nullptr)->st_size) == 8, "st_size must be 64 bits wide");
static_assert(sizeof(((struct stat*)nullptr)->st_mtime) == 8, "st_mtime must be 64 bits wide");

namespace upd {
namespace {

using testing::Keys;
using testing::SectionText;
using testing::SimInstrument;
using testing::SimRun;
using testing::TempDir;
using testing::TransferKeys;

constexpr std::int64_t k2GiB = std::int64_t{1} << 31;

// Runs the tests of one case in UTC, so that a time stamp converts to the
// seconds since the epoch, and puts the process's zone back afterwards.
class UtcZone {
  public:
    UtcZone() {
        if (const char* tz = std::getenv("TZ")) {
            saved_ = tz;
        }
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

struct StampPair {
    const char* earlier;
    const char* later;
    std::int64_t seconds_between;
};

TEST(TargetSizes, TimeStampsAfter2038StayOrderedAndDistinct) {
    UtcZone utc;
    const StampPair cases[] = {
        // The last second a signed 32-bit count can hold, and the next one.
        {"2038-01-19 03:14:07", "2038-01-19 03:14:08", 1},
        {"1970-01-01 00:00:00", "2038-01-19 03:14:08", 2147483648},
        {"20380119 031408", "2038-01-19 03:14:09", 1},
        // An installed firmware from before 2038 and a package from after it.
        {"2020-01-24 12:50:32", "2100-02-28 23:59:59", 4107542399 - 1579870232},
        {"2099-12-31 23:59:59", "2100-01-01 00:00:00", 1},
        // Past the range of an unsigned 32-bit count too.
        {"2106-02-07 06:28:15", "2106-02-07 06:28:16", 1},
        {"1970-01-01 00:00:00", "2106-02-07 06:28:16", 4294967296},
        {"9999-12-31 23:59:58", "9999-12-31 23:59:59", 1},
    };
    for (const StampPair& c : cases) {
        SCOPED_TRACE(std::string(c.earlier) + " / " + c.later);
        std::int64_t earlier = -1;
        std::int64_t later = -1;
        ASSERT_EQ(ConvertTimeStamp(c.earlier, &earlier), 1);
        ASSERT_EQ(ConvertTimeStamp(c.later, &later), 1);
        EXPECT_EQ(later - earlier, c.seconds_between);
    }

    std::int64_t seconds = 0;
    ASSERT_EQ(ConvertTimeStamp("2038-01-19 03:14:08", &seconds), 1);
    EXPECT_EQ(seconds, 2147483648);
}

// The whole updater gates a transfer on time stamps after 2038 as on earlier
// ones: a newer package is installed, the same or an older one is not.
TEST(TargetSizes, TransfersAreGatedOnTimeStampsAfter2038) {
    struct Case {
        const char* installed;  // -t
        const char* package;    // TimeStamp of the transfer
        const char* notice;     // the message shown after the transfer, if any
    };
    const Case cases[] = {
        {"2037-12-31 23:59:59", "2038-01-19 03:14:08", nullptr},
        {"2038-01-19 03:14:08", "2040-06-01 00:00:00", nullptr},
        {"2040-06-01 00:00:00", "2040-06-01 00:00:00", "Error updating firmware: 660"},
        {"2040-06-01 00:00:01", "2040-06-01 00:00:00", "Error updating firmware: 659"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.installed) + " / " + c.package);
        SimInstrument sim;
        sim.WriteScript(SimInstrument::kMainApp, "exit 0\n");
        sim.Write("/home/Brimwood/bin/app", "old\n");
        Keys keys =
            TransferKeys(sim, "app", "new\n", "/home/Brimwood/bin", "/home/Brimwood/download");
        keys.emplace_back("TimeStamp", c.package);
        sim.WriteManifest("SectionList\nSequence = T\n" + SectionText("T", keys));

        SimRun run = sim.Run({"-t", c.installed});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(sim.Read("/home/Brimwood/bin/app"), c.notice ? "old\n" : "new\n");
        const std::vector<std::string> messages = sim.Messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.end() - 1),
                  c.notice ? std::vector<std::string>{c.notice} : std::vector<std::string>{});
    }
}

// A sparse file of just over 2 GiB with recognisable bytes at its start, at
// several places before, across the 2 GiB boundary, and at its end; everything
// else reads as zeros. A copy that drops, repeats or wraps a stretch of the
// file moves or loses a mark.
class BigFile : public ::testing::Test {
  protected:
    static constexpr std::int64_t kSize = k2GiB + 3 * 4096 + 5;
    struct Mark {
        std::int64_t offset;
        std::string_view bytes;
    };
    static constexpr Mark kMarks[] = {
        {0, "start of the file"},
        {k2GiB / 4 - 3, "at 512 MiB"},
        {k2GiB / 2 + 1, "at 1 GiB"},
        {k2GiB / 4 * 3 + 2, "at 1.5 GiB"},
        {k2GiB - 7, "across the 2 GiB boundary"},
        {kSize - 13, "end of file!\n"},
    };
    // The file's digests as the build machine's tools give them
    // (openssl dgst -md5 / -sha256, md5sum, sha256sum); computing them here
    // would read the whole file twice more.
    static constexpr std::string_view kMd5 = "16f5d0581fadb2a118da843969185c84";
    static constexpr std::string_view kSha256 =
        "e0da747ab48050b5d998b4bf4f54a241d3993ca508ea81dbc681df6db9ea0b39";

    void SetUp() override {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        bool written = ::ftruncate(fd, kSize) == 0;
        for (const Mark& m : kMarks) {
            written = written && ::pwrite(fd, m.bytes.data(), m.bytes.size(), m.offset) ==
                                     static_cast<ssize_t>(m.bytes.size());
        }
        ASSERT_EQ(::close(fd), 0);
        ASSERT_TRUE(written);
    }

    // Compares the bytes found at every mark of `path` with the mark.
    static void ExpectMarks(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        for (const Mark& m : kMarks) {
            std::string got(m.bytes.size(), '\0');
            EXPECT_EQ(::pread(fd, got.data(), got.size(), m.offset),
                      static_cast<ssize_t>(got.size()));
            EXPECT_EQ(got, m.bytes) << "at offset " << m.offset;
        }
        ::close(fd);
    }

    TempDir dir_;
    const std::string path_ = dir_ / "big.bin";
};

TEST_F(BigFile, LengthPastSigned32BitsIsAFailureNotAWrappedValue) {
    struct Case {
        std::int64_t size;
        std::int32_t expected;
    };
    const Case cases[] = {
        {k2GiB - 1, 2147483647},
        {k2GiB, -1},
        {kSize, -1},
        // Would read as 1 byte if the size were cut to 32 bits.
        {(std::int64_t{1} << 32) + 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const int fd = ::open(path_.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, c.size), 0);
        EXPECT_EQ(filelen(fd), c.expected);
        ::close(fd);
    }
}

TEST_F(BigFile, DigestsCoverTheWholeFile) {
    char out[65] = "";
    ASSERT_EQ(MD5Hash(path_.c_str(), out, sizeof out), 1);
    EXPECT_EQ(std::string_view(out), kMd5);
    ASSERT_EQ(SHA256Hash(path_.c_str(), out), 1);
    EXPECT_EQ(std::string_view(out), kSha256);
}

TEST_F(BigFile, CopiesWhole) {
    // The copy is not sparse: it needs the whole size on the disk.
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(dir_.path().c_str(), &fs), 0);
    const std::int64_t free_bytes = static_cast<std::int64_t>(fs.f_bavail) * fs.f_frsize;
    if (free_bytes < kSize + k2GiB) {
        GTEST_SKIP() << "needs " << (kSize + k2GiB) << " free bytes, has " << free_bytes;
    }

    const std::string copy = dir_ / "copy.bin";
    ASSERT_EQ(CopyFile(path_.c_str(), copy.c_str()), 1);

    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kSize);
    ExpectMarks(copy);
}

}  // namespace
}  // namespace upd
