// stop_child: how a test's child ends, whatever it does with SIGTERM.
#include "support/child_process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

namespace e2e {
namespace {

using namespace std::chrono_literals;

enum class OnTerm { Default, ExitThree, Ignore };

// A child that waits (60 s at most) for SIGTERM and meets it as `on_term`
// says; returned once its handler is in place, -1 when it did not say so
// within 10 s.
pid_t fork_child(OnTerm on_term) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (on_term == OnTerm::ExitThree) std::signal(SIGTERM, [](int) { _exit(3); });
    if (on_term == OnTerm::Ignore) std::signal(SIGTERM, SIG_IGN);
    if (::write(ready[1], "R", 1) != 1) _exit(126);
    for (int i = 0; i < 600; ++i) ::usleep(100'000);
    _exit(0);
  }
  ::close(ready[1]);
  pollfd p{ready[0], POLLIN, 0};
  char c = 0;
  const bool said_ready = pid > 0 && ::poll(&p, 1, 10'000) == 1 && ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  if (pid > 0 && !said_ready) stop_child(pid, 1s, "the child that never said it was ready");
  return said_ready ? pid : -1;
}

struct Case {
  const char *name;
  OnTerm on_term;
  int status;
};

class StopChild : public ::testing::TestWithParam<Case> {};

TEST_P(StopChild, ReapsItAndGivesItsStatus) {
  const pid_t pid = fork_child(GetParam().on_term);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(stop_child(pid, 5s, "the child"), GetParam().status);
  EXPECT_EQ(::kill(pid, 0), -1) << "not reaped";
}

INSTANTIATE_TEST_SUITE_P(Table, StopChild,
                         ::testing::Values(Case{"SigtermEndsIt", OnTerm::Default, 128 + SIGTERM},
                                           Case{"ItExitsOnSigterm", OnTerm::ExitThree, 3}),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(StopChild, OneThatIgnoresSigtermFailsTheTestAndIsKilled) {
  const pid_t pid = fork_child(OnTerm::Ignore);
  ASSERT_GT(pid, 0);
  // The statement EXPECT_NONFATAL_FAILURE runs sees no locals.
  static pid_t s_pid;
  static int s_status;
  s_pid = pid;
  EXPECT_NONFATAL_FAILURE(s_status = stop_child(s_pid, 200ms, "the child"), "the child still ran 200 ms after SIGTERM");
  EXPECT_EQ(s_status, 128 + SIGKILL);
  EXPECT_EQ(::kill(pid, 0), -1) << "not reaped";
}

}  // namespace
}  // namespace e2e
