// The string library's character classes and names: printable bytes, control
// character mnemonics, ordinal endings and printable stand-ins for strings.
#include <array>

#include "util/str.h"

namespace upd {

namespace {

// Names of the ASCII control characters 0 to 31; 127 is "DEL" and every other
// code has no name.
constexpr std::array<const char*, 32> kControlNames = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",
};

// Endings for last digits 1, 2 and 3.
constexpr std::array<const char*, 3> kOrdinalEndings = {"st", "nd", "rd"};

}  // namespace

int IsPrintable(unsigned char ch) {
    return ch >= 32 && ch != 127 ? 1 : 0;
}

const char* AsciiMnemonic(unsigned char ch) {
    if (ch < kControlNames.size()) {
        return kControlNames[ch];
    }
    return ch == 127 ? "DEL" : "";
}

const char* ord_suffix(unsigned short n) {
    const unsigned tens = n % 100u;
    if (tens >= 11 && tens <= 13) {
        return "th";
    }
    const unsigned last = n % 10u;
    if (last >= 1 && last <= 3) {
        return kOrdinalEndings[last - 1];
    }
    return "th";
}

const char* pstr(const char* s) {
    if (s == nullptr) {
        return "<NULL>";
    }
    return *s == '\0' ? "<EMPTY>" : s;
}

}  // namespace upd
