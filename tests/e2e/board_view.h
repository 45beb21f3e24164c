// What the TAP and selection tests read back from `jtag-sim show`, and the
// one-case-one-board routine of their tables.
#ifndef JTAGBOX_TESTS_E2E_BOARD_VIEW_H
#define JTAGBOX_TESTS_E2E_BOARD_VIEW_H

#include <string>
#include <vector>

#include "support/e2e.h"

namespace e2e {

// The line of `show` that starts with `prefix`, or "" when there is none.
inline std::string line_starting(const std::string &show, const std::string &prefix) {
  for (const std::string &line : split_lines(show))
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

// A device's TAP state and instruction as `show` prints them, e.g.
// "Run-Test/Idle, IR 0x3d" for device "cpu0".
inline std::string tap_of(const std::string &show, const std::string &device) {
  const std::string line = line_starting(show, device + ": ");
  const size_t start = device.size() + 2;
  const size_t end = line.find(" (");
  return line.empty() || end == std::string::npos ? "" : line.substr(start, end - start);
}

// One run of a command table: the arguments, and exactly what must come of
// them (standard error always empty).
struct CommandCase {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::vector<std::string> trace;
};

class FreshBoardTest : public BoardTest {
 protected:
  // Powers the board up afresh and forgets the trace: each case of a table
  // starts from the board as delivered.
  void fresh() {
    sim({"reset"});
    clear_trace();
  }
  std::string tap(const std::string &device) { return tap_of(sim({"show"}), device); }

  // Each case on a fresh board.
  void check(const std::string &command, const std::vector<CommandCase> &cases) {
    for (const CommandCase &c : cases) {
      fresh();
      const Result r = run(command, c.args);
      const std::string label = command + " " + ::testing::PrintToString(c.args);
      EXPECT_EQ(r.status, c.status) << label;
      EXPECT_EQ(r.out, c.out) << label;
      EXPECT_EQ(r.err, "") << label;
      EXPECT_EQ(trace(), c.trace) << label;
    }
  }
};

}  // namespace e2e

#endif
