// Test support: a child process a test starts (a server, the emulated
// probe), and its end, bounded in time whatever the child does.
#ifndef JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H
#define JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// Starts `program` with `args` (args[0] the name it is given) and `env`
// added to its environment, its standard output into a pipe whose reading
// end goes to `out` (the caller closes it), its standard error into
// `err_file` (empty: the test's own).  Returns its pid, or -1 (and `out`
// -1) when it could not be started.
pid_t start_child(const std::filesystem::path &program, std::vector<std::string> args,
                  const std::map<std::string, std::string> &env, const std::filesystem::path &err_file, int &out);

// Asks the child `pid` to end (SIGTERM) and reaps it.  One still running
// after `limit` fails the test ("WHAT still ran N ms after SIGTERM") and is
// killed, so that no test outlives its children.  Returns its exit status,
// 128 + the signal when a signal ended it.
int stop_child(pid_t pid, std::chrono::milliseconds limit, const std::string &what);

}  // namespace e2e

#endif
