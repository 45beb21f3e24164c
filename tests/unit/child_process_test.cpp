// start_child: what a child is given; stop_child: how it ends, whatever it
// does with SIGTERM.
#include "support/child_process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// All the child writes on `fd` until it closes it (10 s at most).
std::string read_all(int fd) {
  std::string all;
  pollfd p{fd, POLLIN, 0};
  char buf[256];
  ssize_t n = 0;
  while (::poll(&p, 1, 10'000) == 1 && (n = ::read(fd, buf, sizeof buf)) > 0) all.append(buf, std::size_t(n));
  return all;
}

std::string file_text(const std::filesystem::path &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct StartCase {
  const char *name;
  const char *program;
  const char *script;
  std::string out;
  std::string err;
  int status;
};

class StartChild : public ::testing::TestWithParam<StartCase> {};

// Its arguments, its variables, its standard output in the pipe, its
// standard error in the file, its status; 127 for a program not there.
TEST_P(StartChild, GivesItItsArgumentsVariablesAndStreams) {
  const StartCase &c = GetParam();
  char dir[] = "/tmp/jtagbox-start-child-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::filesystem::path err_file = std::filesystem::path(dir) / "stderr";
  int out = -1;
  const pid_t pid =
      start_child(c.program, {"sh", "-c", c.script, "sh", "one two"}, {{"GREETING", "hello"}}, err_file, out);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(read_all(out), c.out);
  ::close(out);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
  EXPECT_EQ(file_text(err_file), c.err);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Table, StartChild,
                         ::testing::Values(StartCase{"Shell", "/bin/sh", "echo \"$GREETING $1\"; echo oops >&2; exit 4",
                                                     "hello one two\n", "oops\n", 4},
                                           StartCase{"NoSuchProgram", "/nonexistent/jtagbox-none", "", "", "", 127}),
                         [](const auto &test) { return std::string(test.param.name); });

}  // namespace
}  // namespace e2e
