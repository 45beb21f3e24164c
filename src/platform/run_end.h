// The end of a run.  Whatever a command did on the board is only done once
// the backend has confirmed it: bits queued for the wire have been answered,
// the simulated board's state is saved, the TAP record is kept.  Called once,
// by the command framework, on every way a command ends.
#ifndef JTAGBOX_PLATFORM_RUN_END_H
#define JTAGBOX_PLATFORM_RUN_END_H

#include <optional>
#include <string>

#include "base/error.h"

namespace jtag {

// How a failure reaches a program from a call that has no way to return
// one (the calls of the C interface, jtag_platform.h, return no error).  The
// program sets the handler: it says the failure in its words and ends the
// process, and the handler never returns.  The engine itself never ends
// the process: with no handler set, the failure goes on to the caller as
// the PlatformError it is, so a caller in the same language (a script's
// API) gets an exception.  (The board's own libraries say their failures
// themselves: there this does nothing.)
using FailureHandler = void (*)(const PlatformError &failure);
void set_failure_handler(FailureHandler handler);

// Called once, when the run first takes the board (its session is open),
// for a caller that must act after that (the shared library's end at exit).
using RunStartHandler = void (*)();
void set_run_start_handler(RunStartHandler handler);

// Nothing when no backend was used or the backend confirmed everything;
// else why it could not, the line for the program to say.
std::optional<std::string> end_run();
// For a program that has already failed and says it all in one line: ends
// the run and gives `line`, with why the board kept none of the run added
// when the backend could not confirm it.
std::string end_run_after_failure(const std::string &line);
// For a program that ends on a failure of the board: closes the session
// without confirming anything, so the board keeps the state of the run
// before.
void abandon_run();

}  // namespace jtag

#endif
