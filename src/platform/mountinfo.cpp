// Reading the kernel's mount table for the file systems stacked on one mount
// point, and telling a device that is gone from one that is there.
#include "platform/mountinfo.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

namespace upd::platform {
namespace {

// One line of the table, as far as it matters here.
struct Line {
    long id = 0;
    long parent = 0;
    MountRecord record;
};

// Cuts the next field, separated by one or more spaces, off `text`.
std::string_view NextField(std::string_view* text) {
    const std::size_t start = text->find_first_not_of(' ');
    if (start == std::string_view::npos) {
        *text = {};
        return {};
    }
    const std::size_t end = std::min(text->find(' ', start), text->size());
    std::string_view field = text->substr(start, end - start);
    text->remove_prefix(end);
    return field;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

// The kernel writes a space, tab, newline or backslash in a path as a
// backslash and three octal digits.
std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::all_of(text.begin() + i + 1, text.begin() + i + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...":
// the line when its mount point is `target`.
bool ReadLine(std::string_view text, std::string_view target, Line* line) {
    const std::string_view id = NextField(&text);
    const std::string_view parent = NextField(&text);
    const std::string_view device = NextField(&text);
    NextField(&text);  // the root of the mount within its file system
    const std::string_view mount_point = NextField(&text);
    const std::size_t colon = device.find(':');
    if (colon == std::string_view::npos || !ParseNumber(id, &line->id) ||
        !ParseNumber(parent, &line->parent) ||
        !ParseNumber(device.substr(0, colon), &line->record.major) ||
        !ParseNumber(device.substr(colon + 1), &line->record.minor) ||
        Unescape(mount_point) != target) {
        return false;
    }
    // The options, then optional fields up to the separator.
    for (std::string_view field = NextField(&text); field != "-"; field = NextField(&text)) {
        if (field.empty()) {
            return false;
        }
    }
    NextField(&text);  // the file system type
    line->record.source = Unescape(NextField(&text));
    return true;
}

}  // namespace

std::vector<MountRecord> MountsAt(std::string_view mountinfo, std::string_view target) {
    std::vector<Line> lines;
    while (!mountinfo.empty()) {
        const std::size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
        Line line;
        if (ReadLine(mountinfo.substr(0, end), target, &line)) {
            lines.push_back(std::move(line));
        }
        mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
    }
    const auto on_target = [&lines](long id) {
        return std::any_of(lines.begin(), lines.end(), [id](const Line& l) { return l.id == id; });
    };
    // The lowest is mounted on the folder itself; each further one on the one
    // before it.
    std::vector<MountRecord> stack;
    const auto lowest = std::find_if(lines.begin(), lines.end(),
                                     [&on_target](const Line& l) { return !on_target(l.parent); });
    for (auto it = lowest; it != lines.end() && stack.size() < lines.size();) {
        stack.push_back(it->record);
        const long id = it->id;
        it = std::find_if(lines.begin(), lines.end(),
                          [id](const Line& l) { return l.parent == id; });
    }
    if (stack.size() != lines.size()) {
        // Not one stack (a table changing as it was read): the table's order.
        stack.clear();
        for (const Line& l : lines) {
            stack.push_back(l.record);
        }
    }
    return stack;
}

bool BlockDeviceGone(unsigned major, unsigned minor, const std::string& sys_dev_block) {
    struct stat st {};
    if (major == 0 || ::stat(sys_dev_block.c_str(), &st) != 0) {
        return false;
    }
    const std::string entry =
        sys_dev_block + "/" + std::to_string(major) + ":" + std::to_string(minor);
    return ::lstat(entry.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace upd::platform
