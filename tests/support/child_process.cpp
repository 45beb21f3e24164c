#include "support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace e2e {

pid_t start_child(const std::filesystem::path &program, std::vector<std::string> args,
                  const std::map<std::string, std::string> &env, const std::filesystem::path &err_file, int &out) {
  out = -1;
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    if (!err_file.empty()) {
      const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (err < 0 || ::dup2(err, 2) < 0) _exit(126);
    }
    for (const auto &[name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  ::close(out_pipe[1]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    return -1;
  }
  out = out_pipe[0];
  return pid;
}

int stop_child(pid_t pid, std::chrono::milliseconds limit, const std::string &what) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kPollInterval{10};
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(kPollInterval);
  if (done == 0) {
    ADD_FAILURE() << what << " still ran " << limit.count() << " ms after SIGTERM";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace e2e
