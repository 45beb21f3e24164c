// The end of a run.  Whatever a command did on the board is only done once
// the backend has confirmed it: bits queued for the wire have been answered,
// the simulated board's state is saved, the TAP record is kept.  Called once,
// by the command framework, on every way a command ends.
#ifndef JTAGBOX_PLATFORM_RUN_END_H
#define JTAGBOX_PLATFORM_RUN_END_H

namespace jtag {

// True when no backend was used or the backend confirmed everything; false
// after one line on standard error.
bool end_run();

}  // namespace jtag

#endif
