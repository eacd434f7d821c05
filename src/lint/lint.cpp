// The stick checker's entry point (placeholder until the checks land).
#include "lint/lint.h"

namespace upd::lint {

std::vector<Finding> LintStick(const Options&) { return {}; }
std::string FormatText(const std::vector<Finding>&) { return {}; }
std::string FormatJson(const std::vector<Finding>&) { return "[]\n"; }
int ExitStatus(const std::vector<Finding>&) { return 0; }

}  // namespace upd::lint
