// What the end-to-end tables expect and read back: the trace lines of the
// platform operations, the board as `jtag-sim get`, `show` and `chain` give
// it, the one-case-one-board routine of the command tables, and the fixture
// of the cases that serve a board of their own.
#ifndef JTAGBOX_TESTS_E2E_BOARD_VIEW_H
#define JTAGBOX_TESTS_E2E_BOARD_VIEW_H

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/e2e.h"

namespace e2e {

using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The trace line of JTAG_Shift and of JTAG_Shift_internal (`pad` as traced).
inline std::string shift_op(const std::string &pattern, int bits, int recycle = 0, int wait = 0,
                            const std::string &pad = "0", int accel = 0) {
  return "JTAG_Shift \"" + pattern + "\" " + std::to_string(bits) + " " + std::to_string(recycle) + " " +
         std::to_string(wait) + " '" + pad + "' accel=" + std::to_string(accel);
}
inline std::string internal_op(const std::string &pattern, int bits, int recycle, int mode, int accel = 0) {
  return "JTAG_Shift_internal \"" + pattern + "\" " + std::to_string(bits) + " " + std::to_string(recycle) + " 0 '0' " +
         std::to_string(mode) + " accel=" + std::to_string(accel);
}
inline Lines ir_op(const std::string &code, int bits = 8) { return {"JTAG_Select_IR", shift_op(code, bits)}; }
inline Lines dr_op(const std::string &value, int bits, int wait = 0) {
  return {"JTAG_Select_DR", shift_op(value, bits, 0, wait)};
}
inline Lines clocks_op(int n) { return Lines(size_t(n), "cycle_tclk"); }

// The line of `show` that starts with `prefix`, or "".
inline std::string line_starting(const std::string &show, const std::string &prefix) {
  for (const std::string &line : split_lines(show))
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

// One run of a command table and exactly what must come of it.
struct CommandCase {
  Lines args;
  int status;
  std::string out;
  Lines trace;
  std::string err = "";
};

// A run on a fresh board seeded with `jtag-sim set SEED...`: its status,
// output and error exactly, its trace when given, and each probe of
// `after`: "tap DEVICE", "chain KEY", "get KEY" (without the line end),
// "file NAME", "mode NAME" (octal permission bits) or "line START" (of `show`).
struct Scenario {
  Lines seed, args;
  std::string out;
  std::vector<std::pair<std::string, std::string>> after;
  int status = 0;
  std::string err = "";
  std::optional<Lines> trace = std::nullopt;
};

class FreshBoardTest : public BoardTest {
 protected:
  void fresh() {  // the board powered up afresh, the trace forgotten
    sim({"reset"});
    clear_trace();
  }
  std::string show() { return sim({"show"}); }
  std::string get(const std::string &key) { return chomp(sim({"get", key})); }
  // A device's TAP state and instruction, e.g. "Run-Test/Idle, IR 0x3d".
  std::string tap(const std::string &device) {
    const Lines v = split_lines(sim({"get", device + ".tap", device + ".ir"}));
    if (v.size() != 2) return "";
    char ir[16];
    std::snprintf(ir, sizeof ir, "0x%02lx", std::strtoul(v[1].c_str(), nullptr, 16));
    return v[0] + ", IR " + ir;
  }
  bool board_shows(const std::string &text) { return show().find(text) != std::string::npos; }
  std::string file(const std::string &name) { return read_file(path(name)); }
  bool exists(const std::string &name) { return std::filesystem::exists(path(name)); }
  std::string chain(const std::string &key) { return chomp(sim({"chain", key})); }

  std::string probe(const std::string &what) {
    const std::string kind = what.substr(0, what.find(' ')), name = what.substr(kind.size() + 1);
    if (kind == "tap") return tap(name);
    if (kind == "chain") return chain(name);
    if (kind == "get") return get(name);
    if (kind == "file") return file(name);
    if (kind == "line") return line_starting(show(), name);
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", unsigned(file_mode(path(name))));
    return octal;
  }
  void play(const std::string &command, const std::vector<Scenario> &scenarios) {
    for (const Scenario &s : scenarios) {
      fresh();
      if (!s.seed.empty()) sim(Lines{"set"} + s.seed);
      const Result r = run(command, s.args);
      const std::string label = command + " " + ::testing::PrintToString(s.args);
      EXPECT_EQ(r.status, s.status) << label;
      EXPECT_EQ(r.out, s.out) << label;
      EXPECT_EQ(r.err, s.err) << label;
      if (s.trace) {
        EXPECT_EQ(trace(), *s.trace) << label;
      }
      for (const auto &[what, value] : s.after) EXPECT_EQ(probe(what), value) << label << ": " << what;
    }
  }
  // Each case on a fresh board: exactly its status, output, error and trace.
  void check(const std::string &command, const std::vector<CommandCase> &cases) {
    std::vector<Scenario> scenarios;
    for (const CommandCase &c : cases) scenarios.push_back({{}, c.args, c.out, {}, c.status, c.err, c.trace});
    play(command, scenarios);
  }

 private:
  static std::string chomp(std::string s) {
    if (!s.empty()) s.pop_back();
    return s;
  }
};

// The cases that each serve a board of their own: the sim backend only
// (tests/CMakeLists.txt leaves them out of the other backends' runs).
class ServedBoardTest : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    JTAGBOX_SIM_ONLY();
  }
  void TearDown() override {
    stop();
    FreshBoardTest::TearDown();
  }
  // `jtag-sim serve --port 0`, or the server `args` (argv[0] an installed
  // program), on this test's board, its standard error to serve.err.
  void serve(const Lines &args = {"jtag-sim", "serve", "--port", "0"}) {
    ASSERT_NE(port_ = serving_.start_program(args[0], args, env_["JTAG_PLATFORM"], path("serve.err")), 0) << "no port";
  }
  int stop() { return serving_.stop(); }  // SIGTERM; the exit status, -1 when none runs
  std::string serve_err() const { return read_file(path("serve.err")); }
  std::string wire() const { return "rbb:127.0.0.1:" + std::to_string(port_); }
  Result over_wire(const std::string &command, const Lines &args) {
    return exec(bin(command), command, args, {{"JTAG_PLATFORM", wire()}});
  }

  ServeProcess serving_;
  int port_ = 0;
};

}  // namespace e2e

#endif
