// Test support: a child process a test starts (a server, the emulated
// probe), its end, bounded in time whatever the child does, and its lines.
#ifndef JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H
#define JTAGBOX_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// Starts `program` with `args` (args[0] its name) and `env` added to its
// environment, its standard output into a pipe read at `out` (the caller
// closes it), its standard error into `err_file` (empty: the test's own).
// Its pid, or -1 (and `out` -1) when it could not be started.
pid_t start_child(const std::filesystem::path &program, std::vector<std::string> args,
                  const std::map<std::string, std::string> &env, const std::filesystem::path &err_file, int &out);

// SIGTERM to the child, then its exit status (128 + the signal that ended
// it).  One still running after `limit` fails the test ("WHAT still ran N
// ms after SIGTERM") and is killed, so that no test outlives its children.
int stop_child(pid_t pid, std::chrono::milliseconds limit, const std::string &what);

// The next line on `fd`, without its newline, by `deadline`; false when
// none came whole.
bool read_line(int fd, std::chrono::steady_clock::time_point deadline, std::string &line);

}  // namespace e2e

#endif
