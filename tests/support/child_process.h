// Test support: the end of a child process a test started (a server, the
// emulated probe), bounded in time whatever the child does.
#ifndef JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H
#define JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>

namespace e2e {

// Asks the child `pid` to end (SIGTERM) and reaps it.  One still running
// after `limit` fails the test ("WHAT still ran N ms after SIGTERM") and is
// killed, so that no test outlives its children.  Returns its exit status,
// 128 + the signal when a signal ended it.
int stop_child(pid_t pid, std::chrono::milliseconds limit, const std::string &what);

}  // namespace e2e

#endif
