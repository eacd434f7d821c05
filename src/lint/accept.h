// A maker's acceptance of named warnings for named sections: the comments
// "# update-lint: accept NAME because REASON" in a manifest section (the
// instrument skips comment lines, and update-pack keeps them on the stick),
// and "SECTION:NAME" on a command line.
#pragma once

#include <string_view>
#include <vector>

#include "lint/lint.h"
#include "lint/manifest_lines.h"

namespace upd::lint {

// A finding's name: lowercase letters, digits and inner hyphens.
bool IsFindingName(std::string_view name);

struct AcceptComments {
    std::vector<Accept> accepts;
    std::vector<Finding> malformed;  // update-lint comments that accept nothing
};

// The accept comments of the manifest's bytes, each for the section its line
// lies in ("" before the first section).
AcceptComments ReadAcceptComments(std::string_view bytes, const ManifestLines& lines);

// Marks each warning an accept names (section and name) as accepted, with
// its reason; an accept that marks nothing adds a warning of its own, which
// says so when it names an error (errors cannot be accepted).
void ApplyAccepts(const std::vector<Accept>& accepts, std::vector<Finding>* findings);

}  // namespace upd::lint
