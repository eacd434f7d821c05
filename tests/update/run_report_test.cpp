// update-sim's account of a run: what it tells of each event, in order.
#include "update/run_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace upd {
namespace {

using Lines = std::vector<std::string>;

TEST(RunReportTest, TellsEachEventOnce) {
    RunReport quiet;
    EXPECT_EQ(quiet.Lines(0),
              (Lines{"update-sim: exit status 0 (the run completed)",
                     "update-sim: code: none (no error file written)",
                     "update-sim: display: nothing shown",
                     "update-sim: no file installed, backed up, merged or removed"}));

    RunReport busy;
    busy.Shown("Updating firmware...");
    busy.Changed(Change::kRemoved, "/b/app");  // an old backup, made anew below
    busy.Changed(Change::kBackedUp, "/b/app");
    busy.Changed(Change::kInstalled, "/i/app");
    busy.Changed(Change::kRemoved, "/b/cfg");  // an old backup, not made anew
    busy.Changed(Change::kRemoved, "/i/old");
    busy.Reported(660);
    busy.Reported(999);
    busy.Shown("Error updating firmware: 660");
    EXPECT_EQ(busy.Lines(1),
              (Lines{"update-sim: exit status 1 (the run failed)",
                     "update-sim: code 660: notice: a file was as old as the installed firmware",
                     "update-sim: code 999: not in the code table",
                     "update-sim: display: Updating firmware...",
                     "update-sim: display: Error updating firmware: 660",
                     "update-sim: backed up /b/app", "update-sim: installed /i/app",
                     "update-sim: removed /b/cfg", "update-sim: removed /i/old"}));
    EXPECT_EQ(busy.Lines(3)[0], "update-sim: exit status 3");
}

}  // namespace
}  // namespace upd
