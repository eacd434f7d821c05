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

// The characters of code page 437 from 0x80 on, as Unicode.
constexpr char16_t kCodePage437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// The small letters of code page 437 that have a capital there.
constexpr struct {
    char32_t small, capital;
} kCodePage437Capitals[] = {
    {0x00E7, 0x00C7}, {0x00FC, 0x00DC}, {0x00E9, 0x00C9}, {0x00E4, 0x00C4},
    {0x00E5, 0x00C5}, {0x00E6, 0x00C6}, {0x00F6, 0x00D6}, {0x00F1, 0x00D1},
};

// ASCII characters a short name holds besides letters and digits.
constexpr std::string_view kShortNameSigns = "$%'-_@~`!(){}^#&";

// The character a short name holds for `code`, in capitals; 0 when a short
// name cannot hold it as it is (FAT would replace or drop it and add a tail).
char32_t ShortNameCharacter(char32_t code) {
    if (code < 0x80) {
        const char c = static_cast<char>(code);
        if (c >= 'a' && c <= 'z') {
            return code - 'a' + 'A';
        }
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           kShortNameSigns.find(c) != std::string_view::npos;
        return plain ? code : 0;
    }
    for (const auto& pair : kCodePage437Capitals) {
        if (pair.small == code) {
            return pair.capital;
        }
    }
    for (char16_t high : kCodePage437High) {
        if (high == code && code != 0x00A0) {
            return code;
        }
    }
    return 0;
}

void AppendUtf8(char32_t code, std::string* out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
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
            return name.back() == '.'
                       ? "ends with a dot, which the instrument's mount drops from a name"
                       : "ends with a blank, which FAT tools drop from a name";
        case NameFault::kTooLong:
            return "is longer than the " + std::to_string(kMaxNameUnits) +
                   " characters a FAT name holds";
    }
    return "";
}

std::string NameKey(std::string_view name) {
    std::size_t length = name.size();
    while (length > 0 && name[length - 1] == '.') {
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

std::optional<std::string> ShortAlias(std::string_view name) {
    if (CheckName(name) != NameFault::kNone) {
        return std::nullopt;
    }
    const std::size_t dot = name.find('.');
    if (dot != name.rfind('.') || dot == 0) {
        return std::nullopt;
    }
    std::string alias;
    std::size_t characters = 0;  // in the part being read
    for (std::size_t at = 0; at < name.size();) {
        if (at == dot) {
            alias += '.';
            characters = 0;
            ++at;
            continue;
        }
        char32_t code = 0;
        at += Decode(name, at, &code);
        const char32_t shortCode = ShortNameCharacter(code);
        const std::size_t limit = at <= dot || dot == std::string_view::npos ? 8 : 3;
        if (shortCode == 0 || ++characters > limit) {
            return std::nullopt;
        }
        AppendUtf8(shortCode, &alias);
    }
    return alias;
}

bool Finds(std::string_view wanted, std::string_view entry) {
    const std::string key = NameKey(wanted);
    if (key.empty()) {
        return false;
    }
    if (key == NameKey(entry)) {
        return true;
    }
    const std::optional<std::string> alias = ShortAlias(entry);
    return alias && key == NameKey(*alias);
}

bool SameName(std::string_view a, std::string_view b) {
    return Finds(a, b) || Finds(b, a);
}

}  // namespace upd::stick
