// Splits command text into words the way a POSIX shell does, for the words
// that name files and programs.
#include "stick/shell_words.h"

#include <array>

namespace upd::stick {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool IsOperator(char c) {
    return c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')';
}

// Words after which the next word is again a program.
constexpr std::array<std::string_view, 9> kKeywords = {"!",    "{",     "if",    "then", "else",
                                                       "elif", "while", "until", "do"};

// Words that end a compound command where a program could stand.
constexpr std::array<std::string_view, 4> kClosingKeywords = {"fi", "done", "esac", "}"};

// A NAME=value word: a name of letters, digits and '_' not starting with a
// digit, then '='.
bool IsAssignment(std::string_view word) {
    const std::size_t equals = word.find('=');
    if (equals == 0 || equals == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < equals; ++i) {
        const char c = word[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

class Splitter {
  public:
    explicit Splitter(std::string_view text) : text_(text) {}

    ShellWords Run() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (IsBlank(c)) {
                EndWord();
                if (c == '\n') {
                    expectProgram_ = true;
                }
                ++at_;
            } else if (IsOperator(c)) {
                if ((c == '<' || c == '>') && IsIoNumber()) {
                    // "2>file": the digits say which descriptor; they are no word.
                    inWord_ = false;
                    word_ = ShellWord{};
                }
                EndWord();
                Operator();
            } else if (c == '#' && !inWord_) {
                while (at_ < text_.size() && text_[at_] != '\n') {
                    ++at_;
                }
            } else {
                WordCharacter(c);
            }
        }
        EndWord();
        int programs = 0;
        for (const ShellWord& word : result_.words) {
            programs += word.program ? 1 : 0;
        }
        result_.simple = result_.complete && programs == 1 && !compound_;
        return std::move(result_);
    }

  private:
    // The word so far is unquoted digits only, right before a redirection.
    bool IsIoNumber() const {
        if (!inWord_ || quoted_ || word_.text.empty()) {
            return false;
        }
        for (char c : word_.text) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return true;
    }

    void WordCharacter(char c) {
        const bool first = !inWord_;
        inWord_ = true;
        quoted_ = quoted_ || c == '\\' || c == '\'' || c == '"';
        switch (c) {
            case '\'':
                SingleQuoted();
                return;
            case '"':
                DoubleQuoted();
                return;
            case '\\':
                ++at_;
                if (at_ < text_.size() && text_[at_] != '\n') {
                    word_.text += text_[at_];
                }
                ++at_;
                return;
            case '$':
            case '`':
                word_.expands = true;
                break;
            case '*':
            case '?':
            case '[':
                word_.expands = true;
                break;
            case '~':
                word_.expands = word_.expands || first;
                break;
            default:
                break;
        }
        word_.text += c;
        ++at_;
    }

    void SingleQuoted() {
        const std::size_t close = text_.find('\'', at_ + 1);
        if (close == std::string_view::npos) {
            result_.complete = false;
            word_.text += text_.substr(at_ + 1);
            at_ = text_.size();
            return;
        }
        word_.text += text_.substr(at_ + 1, close - at_ - 1);
        at_ = close + 1;
    }

    void DoubleQuoted() {
        ++at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            const char c = text_[at_];
            if (c == '\\' && at_ + 1 < text_.size() &&
                std::string_view("$`\"\\\n").find(text_[at_ + 1]) != std::string_view::npos) {
                if (text_[at_ + 1] != '\n') {
                    word_.text += text_[at_ + 1];
                }
                at_ += 2;
                continue;
            }
            if (c == '$' || c == '`') {
                word_.expands = true;
            }
            word_.text += c;
            ++at_;
        }
        if (at_ >= text_.size()) {
            result_.complete = false;
        }
        ++at_;
    }

    // ; & | ( ) start a new command; < > take the next word as their target.
    void Operator() {
        const char c = text_[at_];
        ++at_;
        if (c == '<' || c == '>') {
            while (at_ < text_.size() &&
                   (text_[at_] == '<' || text_[at_] == '>' || text_[at_] == '&' ||
                    text_[at_] == '|' || text_[at_] == '-')) {
                ++at_;
            }
            redirectTarget_ = true;
            return;
        }
        while (at_ < text_.size() && text_[at_] == c && (c == '&' || c == '|' || c == ';')) {
            ++at_;
        }
        expectProgram_ = true;
        compound_ = true;
    }

    void EndWord() {
        if (!inWord_) {
            return;
        }
        inWord_ = false;
        quoted_ = false;
        if (redirectTarget_) {
            redirectTarget_ = false;
        } else if (expectProgram_ && !IsAssignment(word_.text)) {
            word_.program = true;
            expectProgram_ = false;
            for (std::string_view keyword : kKeywords) {
                if (word_.text == keyword && !word_.expands) {
                    word_.program = false;
                    expectProgram_ = true;
                    compound_ = true;
                }
            }
            for (std::string_view closing : kClosingKeywords) {
                if (word_.text == closing && !word_.expands) {
                    word_.program = false;
                }
            }
        }
        result_.words.push_back(std::move(word_));
        word_ = ShellWord{};
    }

    std::string_view text_;
    std::size_t at_ = 0;
    bool inWord_ = false;
    bool quoted_ = false;  // the word holds a quote or backslash
    bool expectProgram_ = true;
    bool redirectTarget_ = false;
    bool compound_ = false;  // an operator other than a redirection, or a reserved word
    ShellWord word_;
    ShellWords result_;
};

}  // namespace

ShellWords SplitShellWords(std::string_view command) {
    return Splitter(command).Run();
}

std::vector<std::string> StickPathsIn(std::string_view command, std::string_view mountPoint) {
    const std::string prefix = std::string(mountPoint) + "/";
    std::vector<std::string> paths;
    for (const ShellWord& word : SplitShellWords(command).words) {
        if (word.expands) {
            continue;
        }
        std::string_view text = word.text;
        if (!text.starts_with(prefix)) {
            const std::size_t equals = text.find('=');
            text = equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
        }
        if (text.starts_with(prefix)) {
            paths.emplace_back(text);
        }
    }
    return paths;
}

}  // namespace upd::stick
