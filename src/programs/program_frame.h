// The frame of the programs beside the commands (jtag-sim, jtag-svf,
// jtag-detect, jtagbox-bench), so that they behave alike:
//   --help       the program's usage on standard output, status 0
//   --version    one line "NAME (jtagbox) VERSION", status 0
//   exit status  0 success, 1 failure, 2 a command line it cannot use
//   at the end   standard output is checked: what was printed must have got
//                out (a full disk, a reader gone), else one line
//                "NAME: cannot write standard output: REASON" and status 1
//   failures     a PlatformError or an exhausted heap that reaches the top
//                is one line "NAME: ..." and status 1
// Each program parses its own command line and calls these for the parts
// they share.  The multi-call jtagbox is not framed here: under a name that
// is no command it prints nothing at all (main/cli.h has its frame).
#ifndef JTAGBOX_PROGRAMS_PROGRAM_FRAME_H
#define JTAGBOX_PROGRAMS_PROGRAM_FRAME_H

#include <string_view>

namespace jtag::frame {

// The exit statuses.
enum Status : int { kSuccess = 0, kFailure = 1, kUsageError = 2 };

// The body of a program: its arguments as main() has them, its status.
using Body = int (*)(int argc, char **argv);

// What main() returns: `body` run as the program `name`, inside the frame
// (standard output checked at the end, the failures above caught).  A
// write to a closed pipe fails as a write (EPIPE) instead of ending the
// process, so that it is reported.
int run(const char *name, int argc, char **argv, Body body);

// The lines the engine has while it waits (base/notice.h) go to standard
// error as "NAME: LINE"; run() sets this to the program's name.
void show_notices_as(const char *name);

// The name given to run() ("jtagbox" before it).
const char *program_name();

// "NAME (jtagbox) VERSION" on standard output; returns kSuccess.
int print_version();

// `text` on standard output; returns kSuccess.
int print_help(std::string_view text);

// "NAME: MESSAGE" on standard error, then `usage` when given, else "Try
// 'NAME --help'."; returns kUsageError.
int usage_error(std::string_view message, const char *usage = nullptr);

// "NAME: MESSAGE" on standard error; returns kFailure (or the status
// set_failure_status chose).
int failure(std::string_view message);
// The same, for a part of the program that says its lines under a name of
// its own ("jtag-sim serve").
int failure_as(const char *name, std::string_view message);

// The status of every failure above, for a program whose failures all
// share one status with its usage errors (jtag-scan: 2, as cmp(1) has it,
// since 1 means "the dumps differ").
void set_failure_status(int status);

// `status`, or kFailure after one line when something printed on standard
// output did not get out.  run() calls it; a program that must know before
// it ends calls it itself.
int check_standard_output(int status);

}  // namespace jtag::frame

#endif
