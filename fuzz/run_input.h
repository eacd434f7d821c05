// The whole-run fuzz target's input: the options, statuses and texts one
// input holds, decoded, with the stand-ins for package files' digests filled
// into the manifest.
//
// Byte 0 options, byte 1 the -t time stamp, bytes 2-3 which of the first 16
// shell commands fail, byte 4 the signing, then texts separated by NUL bytes:
// the manifest, /mnt/pkg/a, /mnt/pkg/b, /mnt/pkg/c, the installed
// configuration /home/Brimwood/etc/app.conf, the installed file
// /home/Brimwood/bin/app, and a signature. A text left out is a file left
// out. In the manifest, @MD5:x@ and @SHA:x@ stand for the digests of
// /mnt/pkg/x (x = a, b or c).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "run_model.h"

namespace upd::fuzz {

// Option bits of the input's first byte.
inline constexpr uint8_t kForce = 0x01;        // -f
inline constexpr uint8_t kTimeStamp = 0x02;    // -t, with the stamp chosen by byte 1
inline constexpr uint8_t kUmountFails = 0x04;  // unmounting the stick fails (busy)
inline constexpr uint8_t kKilled = 0x08;       // failing commands are killed, not exit 1
inline constexpr uint8_t kMainMissing = 0x10;  // the main application is only a backup
// -s from this value of byte 4 on, its low two bits saying how the stick is
// signed. A signed run costs several unsigned ones (the instrument's loading
// of its public key), and a corpus soon holds inputs that ask for it: so only
// one in 32 of the inputs that ask run signed, which ones fixed by a hash
// of the input, so that an input always runs the same way.
inline constexpr uint8_t kSignedFrom = 0xf8;
enum class Signing { kNone, kGood, kText, kNoKey };

inline constexpr const char* kStamps[] = {"2026-01-01 00:00:00", "2026-06-01 12:00:00",
                                          "20260601120000",      "2026-13-01 00:00:00",
                                          "1970-01-01 00:00:00", "2040-02-29 23:59:59"};

// FNV-1a of the input.
inline uint32_t Hash(const uint8_t* data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        h = (h ^ data[i]) * 16777619u;
    }
    return h;
}

// @MD5:x@ and @SHA:x@ replaced by the digests of the package file x.
inline std::string Substitute(std::string manifest, const std::vector<std::string>& texts) {
    if (manifest.find('@') == std::string::npos) {
        return manifest;
    }
    for (size_t i = 0; i < 3; ++i) {
        const std::string bytes = i + 1 < texts.size() ? texts[i + 1] : "";
        const std::string name(1, static_cast<char>('a' + i));
        for (const bool md5 : {true, false}) {
            const std::string tag = (md5 ? "@MD5:" : "@SHA:") + name + "@";
            size_t at = manifest.find(tag);
            if (at == std::string::npos) {
                continue;
            }
            const std::string digest = md5 ? Md5Hex(bytes) : Sha256Hex(bytes);
            for (; at != std::string::npos; at = manifest.find(tag, at + digest.size())) {
                manifest.replace(at, tag.size(), digest);
            }
        }
    }
    return manifest;
}

// One input, decoded.
struct Case {
    uint8_t options = 0;
    std::string stamp;
    uint16_t failing = 0;
    Signing signing = Signing::kNone;
    std::vector<std::string> texts;  // the manifest as written, then the files
    std::string manifest;            // with the digests filled in
};

inline Case Decode(const uint8_t* data, size_t size) {
    Input in(data, size);
    Case c;
    c.options = in.Byte();
    c.stamp = kStamps[in.Byte() % std::size(kStamps)];
    c.failing = static_cast<uint16_t>(in.Byte() | in.Byte() << 8);
    constexpr Signing kSignings[] = {Signing::kGood, Signing::kText, Signing::kNoKey,
                                     Signing::kGood};
    const uint8_t signing = in.Byte();
    if (signing >= kSignedFrom && Hash(data, size) % 32 == 0) {
        c.signing = kSignings[signing & 3];
    }
    for (std::string_view rest = in.Rest(); c.texts.size() < 7;) {
        const size_t cut = rest.find('\0');
        c.texts.emplace_back(rest.substr(0, cut));
        if (cut == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(cut + 1);
    }
    c.manifest = Substitute(c.texts[0], c.texts);
    return c;
}

}  // namespace upd::fuzz
