// Update packages on a simulated instrument's stick, for the end-to-end tests
// of whole runs: manifest sections of each operation, signing, and stand-in
// programs that record how they were run.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/package.h"
#include "support/sim_fixture.h"

namespace upd::testing {

using Keys = std::vector<std::pair<std::string, std::string>>;

// The text of one section.
inline std::string SectionText(const std::string& name, const Keys& keys) {
    std::string text = name + "\n";
    for (const auto& [k, v] : keys) {
        text += k + " = " + v + "\n";
    }
    return text;
}

// Gives `key` the value `value`, replacing its value when it is there.
inline void Set(Keys& keys, const std::string& key, const std::string& value) {
    for (auto& [k, v] : keys) {
        if (k == key) {
            v = value;
            return;
        }
    }
    keys.emplace_back(key, value);
}

// Drops `key`.
inline void Erase(Keys& keys, const std::string& key) {
    std::erase_if(keys, [&](const auto& kv) { return kv.first == key; });
}

// Puts `content` on the stick as firmware/<file> and gives the keys of a
// TransferFile section that installs it as <destDir>/<file>, through
// /home/Brimwood/download, with its backup in <backupDir>/<file>.bak.
inline Keys TransferKeys(const SimInstrument& sim, const std::string& file,
                         const std::string& content, const std::string& destDir,
                         const std::string& backupDir) {
    sim.WriteStick("firmware/" + file, content);
    return {
        {"Operation", "TransferFile"},
        {"SrcDir", "/mnt/firmware"},
        {"SrcFile", file},
        {"InterimDir", "/home/Brimwood/download"},
        {"InterimFile", file + ".new"},
        {"DestDir", destDir},
        {"DestFile", file},
        {"BackupDir", backupDir},
        {"BackupFile", file + ".bak"},
        {"MD5Hash", Md5Hex(content)},
        {"SHA256Hash", Sha256Hex(content)},
    };
}

inline constexpr char kPublicKey[] = "/home/Brimwood/bin/NorvoCal.pub";

// Installs the test key on the instrument and signs the stick's manifest.
inline void SignManifest(const SimInstrument& sim) {
    const SigningKey& key = SigningKey::Get();
    sim.Write(kPublicKey, key.PublicPem());
    sim.WriteStick("firmware/AuxInfo.txt.sha256",
                   key.Sign(ReadAll(sim.Stick("firmware/AuxInfo.txt"))));
}

// A stand-in program at `inside` that appends its name and arguments to
// /.test/commands and exits with `status`.
inline void StandIn(const SimInstrument& sim, const std::string& inside, int status) {
    sim.WriteScript(inside,
                    "echo \"$0 $*\" >> /.test/commands\nexit " + std::to_string(status) + "\n");
}

// The stand-ins' records, in order.
inline std::vector<std::string> StandInRuns(const SimInstrument& sim) {
    return SplitLines(sim.Read("/.test/commands"));
}

// The trace of the start-up of a run that mounts the stick.
inline std::vector<std::string> MountTrace() {
    return {"sync", "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> 0",
            "system " + SimInstrument::SplashCommand("Updating firmware...") + " -> 0"};
}

}  // namespace upd::testing
