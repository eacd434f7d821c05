// The written manifest keeps the source's bytes, line ends included, and is
// one the instrument can load: a byte-order mark goes, a line the instrument
// would not take is refused.
#include "pack_fixture.h"

namespace upd::testing {
namespace {

using pack::Outcome;

std::string Base() {
    return "SectionList\nSequence = App\n" + AppSection();
}

std::string Digests(const std::string& end = "\n") {
    return "MD5Hash = " + Md5Hex(kAppContent) + end + "SHA256Hash = " + Sha256Hex(kAppContent) +
           end;
}

std::string CrLf(std::string text) {
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
        text.replace(at, 1, "\r\n");
    }
    return text;
}

struct TextCase {
    const char* name;
    std::string source;
    Outcome outcome;
    std::string expected;  // the written manifest, or part of what a refusal says
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.name;
}

class TextTest : public PackTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextTest, WritesWhatTheInstrumentLoads) {
    Manifest(GetParam().source);
    Source("app.bin", kAppContent);
    ASSERT_EQ(Pack(), GetParam().outcome) << log_.str();
    if (GetParam().outcome == Outcome::kWritten) {
        EXPECT_EQ(Written(), GetParam().expected);
    } else {
        EXPECT_NE(log_.str().find(GetParam().expected), std::string::npos) << log_.str();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pack, TextTest,
    ::testing::Values(
        TextCase{"LineEndsKept", CrLf(Base()), Outcome::kWritten, CrLf(Base() + Digests())},
        TextCase{"NoLineEndAtTheEnd", Base().substr(0, Base().size() - 1), Outcome::kWritten,
                 Base() + Digests()},
        TextCase{"ByteOrderMarkRemoved", "\xEF\xBB\xBF" + Base(), Outcome::kWritten,
                 Base() + Digests()},
        TextCase{"TabsAndBlanksAsTheInstrumentReadsThem",
                 "SectionList\n  Sequence\t= App \n" + AppSection() + "\tMD5Hash =\t" +
                     Md5Hex(kAppContent) + "  \n",
                 Outcome::kWritten,
                 "SectionList\n  Sequence\t= App \n" + AppSection() + "\tMD5Hash =\t" +
                     Md5Hex(kAppContent) + "  \nSHA256Hash = " + Sha256Hex(kAppContent) + "\n"},
        TextCase{"LongCommentSkipped", "#" + std::string(300, 'c') + "\n" + Base(),
                 Outcome::kWritten, "#" + std::string(300, 'c') + "\n" + Base() + Digests()},
        TextCase{"LineTooLong", Base() + "Note = " + std::string(249, 'n') + "\n",
                 Outcome::kRefused, "line 13: longer than 255 characters"},
        TextCase{"PairBeforeTheFirstSection", "Sequence = App\n" + Base(), Outcome::kRefused,
                 "line 1: a name=value line before the first section line"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace upd::testing
