// The end of a run for commands linked against the board's own platform
// libraries (-DJTAGBOX_PLATFORM_LIBRARY): those act on the lines at each
// call and have nothing left to confirm when the command ends, so the
// command framework's end of run has no backend to ask; they say their own
// failures, so there is no failure handler to set.
#include "platform/run_end.h"

namespace jtag {

std::optional<std::string> end_run() { return std::nullopt; }
std::string end_run_after_failure(const std::string &line) { return line; }
void abandon_run() {}
void set_failure_handler(FailureHandler /*handler*/) {}
void set_run_start_handler(RunStartHandler /*handler*/) {}

}  // namespace jtag
