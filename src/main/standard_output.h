// Standard output as the commands write it: line-buffered even into a pipe
// or a file, so that every complete line is out before the reset watchdog
// can end the process from its signal handler, and watched, so that the
// reason of the first failed write (a full disk, a reader gone) is still
// known when the command ends.
#ifndef JTAGBOX_MAIN_STANDARD_OUTPUT_H
#define JTAGBOX_MAIN_STANDARD_OUTPUT_H

namespace cli {

// Puts the watched stream in place of stdout; called first in main.
void watch_standard_output();
// Flushes stdout; 0 when everything written so far got out, else the errno
// of the first write that failed.
int flush_standard_output();

}  // namespace cli

#endif
