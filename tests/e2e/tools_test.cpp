// The board tool and the benchmark program as a user starts them: --help,
// --version (the project's version), bad arguments, and the benchmark
// program finding the commands when it is started by name through PATH.
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

TEST_F(Tools, VersionIsTheProjectVersion) {
  struct Case {
    std::filesystem::path program;
    std::string argv0;
    std::string out;
  };
  const Case cases[] = {
      {bin("jtag-sim"), "jtag-sim", "jtag-sim (jtagbox) " JTAGBOX_VERSION "\n"},
      {bin("jtag-svf"), "jtag-svf", "jtag-svf (jtagbox) " JTAGBOX_VERSION "\n"},
      {kBench, "jtagbox-bench", "jtagbox-bench (jtagbox) " JTAGBOX_VERSION "\n"},
  };
  for (const Case &c : cases) {
    const auto r = exec(c.program, c.argv0, {"--version"});
    EXPECT_EQ(r.status, 0) << c.argv0;
    EXPECT_EQ(r.out, c.out) << c.argv0;
    EXPECT_EQ(r.err, "") << c.argv0;
  }
}

TEST_F(Tools, HelpGoesToStandardOutputWithStatusZero) {
  struct Case {
    std::filesystem::path program;
    std::string argv0;
    std::vector<std::string> args;
    std::string first_line;
  };
  const Case cases[] = {
      {bin("jtag-sim"), "jtag-sim", {"--help"}, "usage: jtag-sim COMMAND"},
      {bin("jtag-sim"), "jtag-sim", {"-h"}, "usage: jtag-sim COMMAND"},
      {bin("jtag-svf"), "jtag-svf", {"--help"}, "usage: jtag-svf [-q] FILE..."},
      {kBench, "jtagbox-bench", {"--help"}, "usage: jtagbox-bench [--bin DIR] [--quick] [NAME...]"},
      {kBench, "jtagbox-bench", {"--quick", "-h"}, "usage: jtagbox-bench [--bin DIR] [--quick] [NAME...]"},
  };
  for (const Case &c : cases) {
    const std::string label = c.argv0 + " " + ::testing::PrintToString(c.args);
    const auto r = exec(c.program, c.argv0, c.args);
    EXPECT_EQ(r.status, 0) << label;
    const auto lines = e2e::split_lines(r.out);
    ASSERT_FALSE(lines.empty()) << label;
    EXPECT_EQ(lines[0], c.first_line) << label;
    EXPECT_EQ(r.err, "") << label;
  }
  // The benchmark program lists what NAME can be.
  EXPECT_NE(exec(kBench, "jtagbox-bench", {"--help"}).out.find(" reset"), std::string::npos);
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
