// The instrument's start glue (starter/): the start script's options from the
// settings file and its umask, and which mdev events start the updater,
// without making mdev wait for it. The scripts run under /bin/sh, configured
// with paths in a temporary directory where a stand-in records how the
// updater was started.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "digest/command.h"
#include "support/tempdir.h"

namespace upd::testing {
namespace {

// The template starter/NAME.in with each @KEY@ replaced, as CMake's
// configure_file does, written to PATH as a program.
void Configure(const std::string& name, const std::map<std::string, std::string>& values,
               const std::string& path) {
    std::string text = ReadAll(std::string(UPD_SOURCE_DIR) + "/starter/" + name + ".in");
    for (const auto& [key, value] : values) {
        const std::string token = "@" + key + "@";
        for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
            text.replace(at, token.size(), value);
            at += value.size();
        }
    }
    ASSERT_EQ(text.find("@UPD_"), std::string::npos) << name << " keeps a key not replaced";
    WriteAll(path, text);
    ::chmod(path.c_str(), 0755);
}

// A program at PATH running the shell code BODY.
void Program(const std::string& path, const std::string& body) {
    WriteAll(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
}

TEST(StartUpdateTest, GivesTheSettingsOptionsAndTheInstalledStamp) {
    struct Row {
        const char* what;
        std::optional<std::string> settings;  // none: no settings file
        std::optional<std::string> stamp;     // none: no stamp file
        std::string args;                     // as the updater gets them
        bool warned;
    };
    const std::string named = "UPDATE_STAMP_FILE=\"$(dirname \"$0\")/stamp\"\n";
    const Row rows[] = {
        {"no settings file", std::nullopt, std::nullopt, "[-s]", false},
        {"options as they are", "UPDATE_OPTIONS='-s  -f -m'\n", std::nullopt, "[-s][-f][-m]",
         false},
        {"no options", "UPDATE_OPTIONS=\n", std::nullopt, "", false},
        {"a name is not expanded", "UPDATE_OPTIONS='-d /dev/nul?'\n", std::nullopt,
         "[-d][/dev/nul?]", false},
        {"stamp", named, "2026-06-01 12:00:00\n", "[-s][-t][2026-06-01 12:00:00]", false},
        {"stamp, CR LF", named, "2026-06-01 12:00:00\r\nmore\n", "[-s][-t][2026-06-01 12:00:00]",
         false},
        {"stamp, no newline", named, "2026-06-01 12:00:00", "[-s][-t][2026-06-01 12:00:00]", false},
        {"stamp file missing", named, std::nullopt, "[-s]", true},
        {"stamp file empty", named, "", "[-s]", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TempDir dir;
        Program(dir / "update", "umask; for a; do printf '[%s]' \"$a\"; done");
        // The settings name the stamp file beside the start script.
        Configure("start-update",
                  {{"UPD_SETTINGS_FILE", dir / "settings"}, {"UPD_UPDATE_PROGRAM", dir / "update"}},
                  dir / "start-update");
        if (r.settings) {
            WriteAll(dir / "settings", *r.settings);
        }
        if (r.stamp) {
            WriteAll(dir / "stamp", *r.stamp);
        }
        // Started with the umask mdev gives its commands.
        EXPECT_EQ(
            CommandOutput("umask 0; " + Quoted(dir / "start-update") + " 2>" + Quoted(dir / "err")),
            "0022\n" + r.args);
        EXPECT_EQ(ReadAll(dir / "err").find("no time stamp") != std::string::npos, r.warned)
            << ReadAll(dir / "err");
    }
}

TEST(MdevHotplugTest, StartsTheUpdaterForTheLabelledDeviceOnlyAndReturnsAtOnce) {
    struct Row {
        const char* environment;  // the event, as mdev gives it
        const char* labelled;     // what findfs finds labelled as the stick
        bool starts;
    };
    const Row rows[] = {
        {"ACTION=add MDEV=sda1", "/dev/sda1", true},
        {"MDEV=sda1", "/dev/sda1", true},  // the scan at boot
        {"ACTION=add MDEV=sda", "/dev/sda", true},
        {"ACTION=add MDEV=sda", "/dev/sda1", false},  // the disk of a labelled partition
        {"ACTION=add MDEV=sdb1", "/dev/sda1", false},
        {"ACTION=add MDEV=sdb1", "", false},
        {"ACTION=remove MDEV=sda1", "/dev/sda1", false},
        {"ACTION=change MDEV=sda1", "/dev/sda1", false},
        {"ACTION=add", "/dev/", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.environment) + ", labelled " + r.labelled);
        TempDir dir;
        ::mkdir((dir / "bin").c_str(), 0755);
        Program(dir / "bin/findfs", std::string("[ \"$1\" = LABEL=STICK ] && [ -n '") + r.labelled +
                                        "' ] && echo " + r.labelled);
        // The updater runs until the test lets it end (or for 10 s at most).
        Program(dir / "start-update",
                "echo started >>" + Quoted(dir / "record") + "\nfor i in $(seq 200); do [ -e " +
                    Quoted(dir / "release") + " ] && break; sleep 0.05; done\nexit 3");
        Configure("mdev-hotplug",
                  {{"UPD_STICK_LABEL", "STICK"},
                   {"UPD_CONSOLE", dir / "console"},
                   {"UPD_STARTER", dir / "start-update"}},
                  dir / "mdev-hotplug");
        WriteAll(dir / "console", "");
        // Descriptor 9 stays open in whatever the script leaves running: the
        // pipe ends once all of it has ended.
        const std::string command =
            "exec 9>&1 >/dev/null 2>&1; env -u ACTION -u MDEV PATH=" + Quoted(dir / "bin") +
            ":\"$PATH\" " + r.environment + " " + Quoted(dir / "mdev-hotplug") +
            "; echo returned $? >&9";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[64] = "";
        ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
        EXPECT_STREQ(line, "returned 0\n");
        EXPECT_EQ(ReadAll(dir / "console").find("ended"), std::string::npos)
            << "mdev waited for the updater";
        WriteAll(dir / "release", "");
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
        }
        ::pclose(pipe);
        EXPECT_EQ(ReadAll(dir / "record"), r.starts ? "started\n" : "");
        const std::string environment = r.environment;
        const std::string device = environment.substr(environment.rfind('=') + 1);
        EXPECT_EQ(ReadAll(dir / "console"),
                  r.starts ? "update-hotplug: " + device + ": starting the updater\n" +
                                 "update-hotplug: " + device + ": the updater ended with status 3\n"
                           : "");
    }
}

}  // namespace
}  // namespace upd::testing
