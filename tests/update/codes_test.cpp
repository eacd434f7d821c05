// The error-code table: complete, in order, and listed in the README.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/tempdir.h"
#include "update/codes.h"

namespace upd {
namespace {

TEST(ErrorCodes, TableCoversEveryUsedCodeInOrder) {
    const std::set<int> unused = {600, 607, 633, 640, 641, 642, 643, 644, 645, 664, 665};
    std::set<int> expected;
    for (int code = 601; code <= 670; ++code) {
        if (!unused.count(code)) {
            expected.insert(code);
        }
    }
    std::set<int> listed;
    int previous = 0;
    for (const ErrorCodeInfo& e : kErrorCodes) {
        EXPECT_GT(e.code, previous);
        EXPECT_FALSE(e.meaning.empty()) << e.code;
        listed.insert(e.code);
        previous = e.code;
    }
    EXPECT_EQ(listed, expected);
}

TEST(ErrorCodes, ReadmeListsEveryCode) {
    const std::string readme = testing::ReadAll(std::string(UPD_SOURCE_DIR) + "/README.md");
    for (const ErrorCodeInfo& e : kErrorCodes) {
        const std::string row =
            "| " + std::to_string(e.code) + " | " + std::string(e.meaning) + " |";
        EXPECT_NE(readme.find(row), std::string::npos) << row;
    }
}

}  // namespace
}  // namespace upd
