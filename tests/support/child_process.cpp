#include "support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace e2e {

using Clock = std::chrono::steady_clock;

pid_t start_child(const std::filesystem::path &program, std::vector<std::string> args,
                  const std::map<std::string, std::string> &env, const std::filesystem::path &err_file, int &out) {
  out = -1;
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(ends[1], 1);
    ::close(ends[0]);
    ::close(ends[1]);
    const int err =
        err_file.empty() ? 2 : ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (err < 0 || ::dup2(err, 2) < 0) _exit(126);
    for (const auto &[name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  ::close(ends[1]);
  if (pid < 0) ::close(ends[0]);
  out = pid < 0 ? -1 : ends[0];
  return pid < 0 ? -1 : pid;
}

int stop_child(pid_t pid, std::chrono::milliseconds limit, const std::string &what) {
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (done == 0) {
    ADD_FAILURE() << what << " still ran " << limit.count() << " ms after SIGTERM";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool read_line(int fd, Clock::time_point deadline, std::string &line) {
  line.clear();
  pollfd p{fd, POLLIN, 0};
  for (char c = 0; line.size() <= 4096;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 || ::read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
  return false;
}

}  // namespace e2e
