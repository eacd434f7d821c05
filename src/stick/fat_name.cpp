// The name rules of the instrument's vfat mount.
#include "stick/fat_name.h"

namespace upd::stick {
namespace {

constexpr std::string_view kForbidden = "\"*/:<>?\\|";

// Length of the UTF-8 sequence that starts with `lead`, 0 for a byte that
// cannot start one.
int SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Decodes the well-formed UTF-8 sequence at `at` (no overlong forms, no
// surrogates, nothing above U+10FFFF); its length, or 0 when malformed.
int Decode(std::string_view text, std::size_t at, char32_t* code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const int length = SequenceLength(lead);
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    if (length == 1) {
        *code = lead;
        return 1;
    }
    char32_t value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *code = value;
    return length;
}

bool DroppedAtEnd(char c) {
    return c == '.' || c == ' ';
}

}  // namespace

NameFault CheckName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return NameFault::kEmpty;
    }
    std::size_t units = 0;
    for (std::size_t at = 0; at < name.size();) {
        char32_t code = 0;
        const int length = Decode(name, at, &code);
        if (length == 0) {
            return NameFault::kNotUtf8;
        }
        const bool control = code < 0x20;
        const bool reserved =
            code < 0x80 && kForbidden.find(static_cast<char>(code)) != std::string_view::npos;
        if (control || reserved) {
            return NameFault::kForbidden;
        }
        units += code > 0xFFFF ? 2 : 1;
        at += length;
    }
    if (DroppedAtEnd(name.back())) {
        return NameFault::kTrailingDotOrBlank;
    }
    return units > kMaxNameUnits ? NameFault::kTooLong : NameFault::kNone;
}

std::string DescribeFault(std::string_view name, NameFault fault) {
    switch (fault) {
        case NameFault::kNone:
            return "";
        case NameFault::kEmpty:
            return "is no name a FAT stick can hold";
        case NameFault::kNotUtf8:
            return "is not UTF-8 text, which the instrument's mount refuses";
        case NameFault::kForbidden:
            for (char c : name) {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20) {
                    return "holds a control character, which FAT cannot store";
                }
                if (kForbidden.find(c) != std::string_view::npos) {
                    return std::string("holds '") + c + "', which FAT cannot store";
                }
            }
            return "holds a character FAT cannot store";
        case NameFault::kTrailingDotOrBlank:
            return "ends with a dot or a blank, which FAT drops from a name";
        case NameFault::kTooLong:
            return "is longer than the " + std::to_string(kMaxNameUnits) +
                   " characters a FAT name holds";
    }
    return "";
}

std::string NameKey(std::string_view name) {
    std::size_t length = name.size();
    while (length > 0 && DroppedAtEnd(name[length - 1])) {
        --length;
    }
    std::string key(name.substr(0, length));
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

bool SameName(std::string_view a, std::string_view b) {
    return NameKey(a) == NameKey(b);
}

}  // namespace upd::stick
