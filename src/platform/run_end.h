// The end of a run.  Whatever a command did on the board is only done once
// the backend has confirmed it: bits queued for the wire have been answered,
// the simulated board's state is saved, the TAP record is kept.  Called once,
// by the command framework, on every way a command ends.
#ifndef JTAGBOX_PLATFORM_RUN_END_H
#define JTAGBOX_PLATFORM_RUN_END_H

#include <optional>
#include <string>

namespace jtag {

// True when no backend was used or the backend confirmed everything; false
// after one line on standard error.
bool end_run();
// The same without the line: why the backend could not confirm the run, for
// a program that has already failed and says it all in its own one line.
std::optional<std::string> end_run_for_reason();

}  // namespace jtag

#endif
