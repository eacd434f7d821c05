// A maker's accepts: comments in the manifest and --accept on the command
// line mark the warnings they name as accepted, which then do not count; an
// accept that marks nothing is a warning of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "lint/lint.h"
#include "support/tempdir.h"

namespace upd::testing {
namespace {

using lint::Finding;
using lint::Severity;

// An MSP430Update section whose unavoidable warning (a failure that goes
// unreported) stands on line 4, after the given lines of its own.
std::string Manifest(const std::string& inMsp) {
    return "SectionList\nSequence = M\nM\n" + inMsp +
           "Operation = MSP430Update\nCommandJTAG = probe\nCommand1 = prog --fast\n"
           "Command2 = prog\n";
}

const Finding* Named(const std::vector<Finding>& findings, std::string_view name) {
    const auto at = std::find_if(findings.begin(), findings.end(),
                                 [&](const Finding& f) { return f.name == name; });
    return at != findings.end() ? &*at : nullptr;
}

TEST(LintAcceptTest, AcceptedWarningsAreListedWithTheirReasonAndDoNotCount) {
    const std::string unreported = "msp-failure-unreported";
    const struct {
        const char* what;
        std::string manifest;
        std::vector<lint::Accept> commandLine;
        int status;
        std::string reason;     // of the accepted warning; "" when it is not accepted
        std::string extra;      // a further finding's name, "" for none
        std::string extraSays;  // the gist of its message
    } rows[] = {
        {"nothing accepted", Manifest(""), {}, 1, "", "", ""},
        {"a comment in the section",
         Manifest("# update-lint: accept msp-failure-unreported because  the tool retries\n"),
         {},
         0,
         "the tool retries",
         "",
         ""},
        {"the command line",
         Manifest(""),
         {*lint::ParseAccept("M:" + unreported)},
         0,
         "accepted on the command line",
         "",
         ""},
        {"a comment in another section",
         "# update-lint: accept msp-failure-unreported because x\n" + Manifest(""),
         {},
         1,
         "",
         "accept-unmatched",
         "matches no warning of the manifest as a whole"},
        {"a comment without a reason",
         Manifest("; update-lint: accept msp-failure-unreported\n"),
         {},
         1,
         "",
         "accept-malformed",
         "accepts nothing"},
        {"an error cannot be accepted",
         "SectionList\nSequence = M\nM\n# update-lint: accept operation-missing because no\n",
         {},
         2,
         "",
         "accept-unmatched",
         "errors cannot be accepted"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        TempDir dir;
        std::filesystem::create_directories(dir / "stick/firmware");
        WriteAll(dir / "stick/firmware/AuxInfo.txt", r.manifest);
        lint::Options options;
        options.stick = dir / "stick";
        options.accepts = r.commandLine;
        const std::vector<Finding> findings = lint::LintStick(options);
        EXPECT_EQ(lint::ExitStatus(findings), r.status) << lint::FormatText(findings);
        if (const Finding* f = Named(findings, unreported)) {
            EXPECT_EQ(f->accepted, !r.reason.empty());
            EXPECT_EQ(f->reason, r.reason);
        }
        if (!r.extra.empty()) {
            const Finding* extra = Named(findings, r.extra);
            ASSERT_NE(extra, nullptr) << lint::FormatText(findings);
            EXPECT_NE(extra->message.find(r.extraSays), std::string::npos) << extra->message;
        }
    }
}

TEST(LintAcceptTest, OnlySectionAndKebabNameMakeAnAccept) {
    EXPECT_FALSE(lint::ParseAccept("M"));
    EXPECT_FALSE(lint::ParseAccept("M:Not-Kebab"));
    EXPECT_FALSE(lint::ParseAccept("M:"));
    const auto accept = lint::ParseAccept("a:b:reboot-not-last");
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->section, "a:b");
    EXPECT_EQ(accept->name, "reboot-not-last");
    EXPECT_EQ(lint::ParseAccept(":byte-order-mark")->section, "");
}

}  // namespace
}  // namespace upd::testing
