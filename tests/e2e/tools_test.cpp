// The programs beside the commands as a user starts them: --help, --version
// (the project's version) and standard output that cannot be written, the
// same for every one; bad arguments, and the benchmark program finding the
// commands when it is started by name through PATH.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/e2e.h"

namespace {

using e2e::bin;
using e2e::BoardTest;

const std::filesystem::path kBench = JTAGBOX_BENCH_PROGRAM;

class Tools : public BoardTest {
 protected:
  // `line` run by /bin/sh with only the benchmark's directory and the
  // system's in PATH, as a user types it.
  e2e::Result shell(const std::string &line) {
    const std::string path = kBench.parent_path().string() + ":/usr/bin:/bin";
    return exec("/bin/sh", "sh", {"-c", line}, {{"PATH", path}});
  }
};

// Every installed program beside the commands, and the first line of its
// --help.
struct Tool {
  std::string name;
  std::string usage;
};
const Tool kTools[] = {
    {"jtag-sim", "usage: jtag-sim COMMAND"},
    {"jtag-svf", "usage: jtag-svf [-q] [--strict] [--tms-trst] FILE..."},
    {"jtag-detect", "usage: jtag-detect"},
    {"jtagbox-bench", "usage: jtagbox-bench [--bin DIR] [--quick] [NAME...]"},
};

// `program` with standard output into a pipe whose reader is gone and
// standard error into `err`.
e2e::Result run_into_closed_pipe(const std::filesystem::path &program, const std::vector<std::string> &args,
                                 const std::filesystem::path &err) {
  int out[2];
  if (::pipe(out) != 0) return {};
  ::close(out[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out[1], 1);
    ::dup2(fd, 2);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  ::close(out[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  e2e::Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.err = e2e::read_file(err);
  return r;
}

TEST_F(Tools, EveryToolAnswersVersionAndHelp) {
  for (const Tool &t : kTools) {
    const auto version = exec(bin(t.name), t.name, {"--version"});
    EXPECT_EQ(version.status, 0) << t.name;
    EXPECT_EQ(version.out, t.name + " (jtagbox) " JTAGBOX_VERSION "\n");
    EXPECT_EQ(version.err, "") << t.name;
    for (const char *help_option : {"--help", "-h"}) {
      const auto help = exec(bin(t.name), t.name, {help_option});
      EXPECT_EQ(help.status, 0) << t.name << " " << help_option;
      const auto lines = e2e::split_lines(help.out);
      ASSERT_FALSE(lines.empty()) << t.name << " " << help_option;
      EXPECT_EQ(lines[0], t.usage) << help_option;
      EXPECT_EQ(help.err, "") << t.name << " " << help_option;
    }
  }
  // Options after others are still seen where a tool takes several.
  EXPECT_EQ(exec(bin("jtagbox-bench"), "jtagbox-bench", {"--quick", "-h"}).status, 0);
  EXPECT_EQ(exec(bin("jtag-svf"), "jtag-svf", {"-q", "--version"}).out, "jtag-svf (jtagbox) " JTAGBOX_VERSION "\n");
  // The benchmark program lists what NAME can be.
  EXPECT_NE(exec(bin("jtagbox-bench"), "jtagbox-bench", {"--help"}).out.find(" reset"), std::string::npos);
}

// What a tool prints must get out: to a full disk, or into a pipe nobody
// reads any more, it says so in one line and ends with status 1.
TEST_F(Tools, StandardOutputThatCannotBeWrittenIsOneLineAndStatusOne) {
  for (const Tool &t : kTools) {
    for (const char *option : {"--version", "--help"}) {
      const std::string label = t.name + " " + option;
      const auto full = run_to("/dev/full", t.name, {option});
      EXPECT_EQ(full.status, 1) << label;
      EXPECT_EQ(full.err, t.name + ": cannot write standard output: No space left on device\n") << label;
      const auto gone = run_into_closed_pipe(bin(t.name), {option}, path("err.txt"));
      EXPECT_EQ(gone.status, 1) << label;
      EXPECT_EQ(gone.err, t.name + ": cannot write standard output: Broken pipe\n") << label;
    }
  }
}

// The multi-call executable under a name that is no command does nothing,
// whatever the arguments: --version and --help included.
TEST_F(Tools, JtagboxUnderItsOwnNameStaysSilent) {
  for (const char *option : {"--version", "--help"}) {
    const auto r = exec(bin("jtagbox"), "jtagbox", {option});
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(r.out, "") << option;
    EXPECT_EQ(r.err, "") << option;
  }
}

TEST_F(Tools, BenchStartedByNameFindsTheCommandsBesideIt) {
  // By name, argv[0] has no directory: the commands are found beside the
  // program's file all the same, whatever the working directory.
  const auto help = shell("jtagbox-bench --help");
  EXPECT_EQ(help.status, 0) << help.err;
  const std::string expected = "(default: this program's directory, " + kBench.parent_path().string() + ")";
  EXPECT_NE(help.out.find(expected), std::string::npos) << help.out;

  const auto run = shell("jtagbox-bench --quick reset");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("reset: 20 runs of JTAG_Reset, ", 0), 0u) << run.out;
  EXPECT_EQ(run.err, "");
}

TEST_F(Tools, BenchRefusesWhatItCannotRun) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string first_err_line;
  };
  const Case cases[] = {
      {{"no_such_benchmark"}, 2, "jtagbox-bench: no benchmark 'no_such_benchmark'"},
      {{"--quick", "--frobnicate"}, 2, "jtagbox-bench: unknown option '--frobnicate'"},
      {{"--bin"}, 2, "jtagbox-bench: --bin needs a directory"},
      {{"--bin", ""}, 2, "jtagbox-bench: --bin needs a directory"},
      {{"--bin", "/nonexistent", "reset"}, 1, "jtagbox-bench: no jtagbox in /nonexistent (give --bin DIR)"},
  };
  for (const Case &c : cases) {
    const std::string label = ::testing::PrintToString(c.args);
    const auto r = exec(kBench, "jtagbox-bench", c.args);
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.out, "") << label;
    const auto lines = e2e::split_lines(r.err);
    ASSERT_FALSE(lines.empty()) << label;
    EXPECT_EQ(lines[0], c.first_err_line) << label;
  }
}

}  // namespace
