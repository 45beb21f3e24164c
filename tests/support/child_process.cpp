#include "support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <thread>

namespace e2e {

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
