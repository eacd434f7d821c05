// Shared set-up of the tests that call the update operations directly: a
// manifest loaded into the store from a temporary tree, and a platform that
// records shell commands and answers them with scripted statuses.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "support/package.h"
#include "support/tempdir.h"
#include "update/update.h"

namespace upd::testing {

class StoreTest : public ::testing::Test {
  public:
    void TearDown() override { FreeAuxInfo(); }

    void Load(const ManifestText& manifest) {
        const std::string path = dir / "AuxInfo.txt";
        WriteAll(path, manifest.str());
        ASSERT_EQ(ReadAuxInfo(path.c_str()), 1) << manifest.str();
    }

    // Puts `key` = `value` first in section `section` of the loaded store, for
    // values longer than a manifest line can hold.
    static void Inject(const std::string& section, const std::string& key,
                       const std::string& value) {
        AuxSection** link = &aux_Section;
        while (*link != nullptr && section != (*link)->name) {
            link = &(*link)->next;
        }
        if (*link == nullptr) {
            *link = static_cast<AuxSection*>(std::calloc(1, sizeof(AuxSection)));
            (*link)->name = ::strdup(section.c_str());
        }
        auto* pair = static_cast<AuxPair*>(std::calloc(1, sizeof(AuxPair)));
        pair->name = ::strdup(key.c_str());
        pair->value = ::strdup(value.c_str());
        pair->next = (*link)->pairs;
        (*link)->pairs = pair;
    }

    std::string Path(const std::string& relative) const { return dir / relative; }

    TempDir dir;
    UpdateInfo info{};
};

// Records every shell command; answers each with the next scripted status
// (0 once the script has run out). Installed for its own lifetime.
class ScriptedPlatform : public platform::Platform {
  public:
    explicit ScriptedPlatform(std::deque<int> statuses = {})
        : statuses_(std::move(statuses)), previous_(platform::Install(this)) {}
    ~ScriptedPlatform() override { platform::Install(previous_); }
    ScriptedPlatform(const ScriptedPlatform&) = delete;
    ScriptedPlatform& operator=(const ScriptedPlatform&) = delete;

    int Mount(const char*, const char*, const char*, unsigned long, const void*) override {
        return 0;
    }
    int Umount(const char*) override { return 0; }
    void Sync() override {}
    unsigned Sleep(unsigned) override { return 0; }
    void Pause(unsigned) override {}
    std::vector<platform::MountedFs> MountsOn(const char*) override { return {}; }
    int Detach(const char*) override { return -1; }
    int System(const char* command) override {
        commands.emplace_back(command);
        if (statuses_.empty()) {
            return 0;
        }
        int status = statuses_.front();
        statuses_.pop_front();
        return status;
    }

    std::vector<std::string> commands;

  private:
    std::deque<int> statuses_;
    platform::Platform* previous_;
};

}  // namespace upd::testing
