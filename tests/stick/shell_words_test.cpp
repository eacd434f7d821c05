// Command text split into words as the instrument's shell does.
#include "stick/shell_words.h"

#include <gtest/gtest.h>

namespace upd::stick {
namespace {

std::vector<std::string> Texts(const ShellWords& split) {
    std::vector<std::string> texts;
    for (const ShellWord& w : split.words) {
        texts.push_back(w.text);
    }
    return texts;
}

TEST(ShellWordsTest, QuotesAndBackslashesAsTheShellRemovesThem) {
    const struct {
        std::string command;
        std::vector<std::string> words;
        bool complete = true;
    } cases[] = {
        {"tool --fast /mnt/a.txt", {"tool", "--fast", "/mnt/a.txt"}},
        {R"(tool "/mnt/msp 430.txt")", {"tool", "/mnt/msp 430.txt"}},
        {R"(tool '/mnt/a "b"' c\ d)", {"tool", R"(/mnt/a "b")", "c d"}},
        {R"(tool "a\"b\x")", {"tool", R"(a"b\x)"}},
        {"a;b&&c|d >/mnt/log 2>&1", {"a", "b", "c", "d", "/mnt/log", "1"}},
        {"tool x # /mnt/comment", {"tool", "x"}},
        {"tool a#b", {"tool", "a#b"}},
        {"tool 'open", {"tool", "open"}, false},
    };
    for (const auto& c : cases) {
        const ShellWords split = SplitShellWords(c.command);
        EXPECT_EQ(Texts(split), c.words) << c.command;
        EXPECT_EQ(split.complete, c.complete) << c.command;
    }
}

TEST(ShellWordsTest, TellsProgramsAndWordsTheShellMayChange) {
    const ShellWords split =
        SplitShellWords("A=1 /bin/x $HOME/y '$z' *.bin; if /bin/t; then ~/u; fi");
    std::vector<std::string> programs;
    std::vector<std::string> expanding;
    for (const ShellWord& w : split.words) {
        if (w.program) {
            programs.push_back(w.text);
        }
        if (w.expands) {
            expanding.push_back(w.text);
        }
    }
    EXPECT_EQ(programs, (std::vector<std::string>{"/bin/x", "/bin/t", "~/u"}));
    EXPECT_EQ(expanding, (std::vector<std::string>{"$HOME/y", "*.bin", "~/u"}));
}

TEST(ShellWordsTest, TellsACommandWhoseStatusIsItsProgramsOwn) {
    const struct {
        std::string command;
        bool simple;
    } cases[] = {
        {"A=1 /bin/x a >/mnt/log 2>&1 <in", true},
        {"/bin/x; /bin/y", false},
        {"/bin/x || true", false},
        {"/bin/x &", false},
        {"! /bin/x", false},
        {"(/bin/x)", false},
        {"/bin/x 'open", false},
        {"A=1", false},
        {"# only a comment", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitShellWords(c.command).simple, c.simple) << c.command;
    }
}

TEST(ShellWordsTest, StickPathsAsTheProgramReceivesThem) {
    EXPECT_EQ(StickPathsIn(R"(t --dir /mnt/firmware if=/mnt/a "/mnt/b c" /mnt/$X /mntx/y)", "/mnt"),
              (std::vector<std::string>{"/mnt/firmware", "/mnt/a", "/mnt/b c"}));
}

}  // namespace
}  // namespace upd::stick
