// The end of a run.  Whatever a command did on the board is only done once
// the backend has confirmed it: bits queued for the wire have been answered,
// the simulated board's state is saved, the TAP record is kept.  Called once,
// by the command framework, on every way a command ends.
#ifndef JTAGBOX_PLATFORM_RUN_END_H
#define JTAGBOX_PLATFORM_RUN_END_H

#include <string>

namespace jtag {

// True when no backend was used or the backend confirmed everything; false
// after one line on standard error.
bool end_run();
// For a program that has already failed and says it all in one line: ends
// the run and gives `line`, with why the board kept none of the run added
// when the backend could not confirm it.
std::string end_run_after_failure(const std::string &line);

}  // namespace jtag

#endif
