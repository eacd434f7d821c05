// A plain model of the line reader, written from its contract rather than from
// its code, for the fuzz targets to compare the real reader's results with.
#pragma once

#include <string>
#include <string_view>

namespace upd::fuzz {

struct ModelLine {
    int result;        // what nextline returns
    std::string text;  // what it leaves in the buffer (result -3: nothing)
    int skipped;       // the skipped counter after the call
};

// Reads like nextline(stream, buf, size, mode, &skipped) from `in` starting at
// *pos (advanced past what the call consumes). `size` is at least 2.
inline ModelLine ModelNextLine(std::string_view in, size_t* pos, int size, int mode) {
    ModelLine out{0, {}, 0};
    const size_t limit = static_cast<size_t>(size) - 1;
    for (;;) {
        std::string line;
        bool tooLong = false;
        bool atEnd = false;
        for (;;) {
            if (*pos >= in.size()) {
                atEnd = true;
                break;
            }
            char ch = in[(*pos)++];
            if (ch == '\n') {
                break;
            }
            if (ch == '\r') {
                continue;
            }
            if (line.size() == limit) {
                if (ch != ' ' && ch != '\t') {
                    tooLong = true;
                }
                continue;
            }
            if (ch == '\t') {
                size_t stop = (line.size() / 8 + 1) * 8;
                while (line.size() < stop && line.size() < limit) {
                    line.push_back(' ');
                }
                continue;
            }
            line.push_back(ch);
        }
        // The reader works on a C string: what follows a NUL byte is invisible
        // to the blank and comment tests and to the caller.
        std::string visible = line.substr(0, line.find('\0'));
        if (!tooLong && line.empty() && atEnd) {
            out.result = -1;
            out.text = line;
            return out;
        }
        size_t first = visible.find_first_not_of(" \t");
        bool blank = first == std::string::npos;
        bool comment = !blank && (visible[first] == '#' || visible[first] == ';');
        if (((mode & 1) && blank) || ((mode & 2) && comment)) {
            ++out.skipped;
            continue;
        }
        if (tooLong) {
            out.result = -2;
            out.text = line;
            return out;
        }
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        out.result = static_cast<int>(line.size());
        out.text = line;
        return out;
    }
}

}  // namespace upd::fuzz
