// Command text as the instrument's shell reads it: `system()` hands a
// section's command line to /bin/sh, which splits it into words, removes
// quotes and backslashes and expands what it may. update-pack and
// update-lint find the files and programs a command names with these rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upd::stick {

struct ShellWord {
    std::string text;      // the word as the program receives it: quotes and backslashes removed
    bool expands = false;  // holds an unquoted or double-quoted $ or `, a leading ~ or an
                           // unquoted * ? [: the shell may change or multiply it
    bool program = false;  // the first word of a simple command: the program it runs
};

struct ShellWords {
    std::vector<ShellWord> words;  // every word, redirection targets included
    bool complete = true;          // false: a quote is never closed; the shell refuses the line
    // One simple command: one program word, no operator but redirections, no
    // reserved word, complete. Its exit status is then its program's (or the
    // shell's own when the program cannot be run).
    bool simple = false;
};

// The words of `command`: separated by blanks and newlines and by the
// operators ; & | < > ( ); single quotes keep every character, double quotes
// every character but \ before $ ` " \ and newline; a backslash outside
// quotes keeps the next character; a word starting with # begins a comment.
// Assignments (NAME=value) before a program are words of their own, not the
// program.
ShellWords SplitShellWords(std::string_view command);

// The paths on the stick that a command names: each word that starts with
// `mountPoint` followed by '/', or whose text after its first '=' does (as in
// --data=/mnt/x or if=/mnt/x), as the program receives it. Words that the
// shell may change are left out.
std::vector<std::string> StickPathsIn(std::string_view command, std::string_view mountPoint);

}  // namespace upd::stick
