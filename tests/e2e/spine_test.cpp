// The executable's dispatch, JTAG_Reset, the board's persistence, the
// platform selection and the board tool.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/e2e.h"

namespace {

using e2e::BoardTest;
using e2e::bin;

constexpr const char *kIdcodeCpu0 = "IDCODE = 0bc0e06b\n";
constexpr const char *kResetUsage = "JTAG_Reset  [-d=<level>] [-h]\n\n";

class Spine : public BoardTest {};

TEST_F(Spine, DispatchUsesTheLastPathComponentExactly) {
  struct Case {
    std::string argv0;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {bin("JTAG_Reset").string(), 0, kIdcodeCpu0},
      {"JTAG_Reset", 0, kIdcodeCpu0},
      {"/usr/bin/JTAG_Reset", 0, kIdcodeCpu0},
      {"jtag_reset", 0, ""},
      {"JTAG_RESET", 0, ""},
      {"JTAG_Reset2", 0, ""},
      {"jtagbox", 0, ""},
      {"/usr/bin/", 0, ""},
      {"", 0, ""},
  };
  for (const Case &c : cases) {
    const auto r = exec(bin("jtagbox"), c.argv0, {});
    EXPECT_EQ(r.status, c.status) << c.argv0;
    EXPECT_EQ(r.out, c.out) << c.argv0;
    EXPECT_EQ(r.err, "") << c.argv0;
  }
}

TEST_F(Spine, NoMatchTouchesNoHardware) {
  exec(bin("jtagbox"), "jtag_loadir", {"3d"});
  EXPECT_TRUE(trace().empty());
}

TEST_F(Spine, InstalledLinksAreSymlinksToTheOneExecutable) {
  const char *names[] = {"JTAG_CapDR_To_Exit1DR", "JTAG_LoadDR", "JTAG_LoadIR", "JTAG_MacroDump",
                         "JTAG_ReadCreg",         "JTAG_ReadMem", "JTAG_Reset", "JTAG_Shift",
                         "JTAG_WriteMem",         "JTAG_WriteCreg", "JTAG_TMS", "JTAG_Tck",
                         "JTAG_ScanIR_Path",      "JTAG_ScanDump", "JTAG_ScanDR_Path", "JTAG_CPUSelect",
                         "JTAG_VNXSelect",        "JTAG_IRPath", "JTAG_VnxClockStop", "JTAG_VnxScanDump"};
  for (const char *n : names) {
    EXPECT_TRUE(std::filesystem::is_symlink(bin(n))) << n;
    EXPECT_EQ(std::filesystem::read_symlink(bin(n)), "jtagbox") << n;
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(bin("jtag-sim")));
}

TEST_F(Spine, ResetPrintsIdcodeWithTheExactOperations) {
  const auto r = run("JTAG_Reset");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(trace(), (std::vector<std::string>{"JTAG_Reset", "JTAG_Select_DR",
                                               "JTAG_Shift \"AAAAAAAA\" 32 0 0 '0' accel=0"}));
}

TEST_F(Spine, ResetOptionsAndIgnoredWords) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    bool touches_board;
  };
  const std::string debug_out =
      "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: JTAG Reset Complete\n" + std::string(kIdcodeCpu0);
  const Case cases[] = {
      {{"-d"}, 0, debug_out, true},
      {{"-debug"}, 0, debug_out, true},
      {{"-d=3"}, 0, debug_out, true},
      {{"-d=x"}, 0, kIdcodeCpu0, true},
      {{"-d", "-d=0"}, 0, kIdcodeCpu0, true},
      {{"extra", "words", "-q"}, 0, kIdcodeCpu0, true},
      {{"-"}, 0, kIdcodeCpu0, true},
      {{"-h"}, 0, kResetUsage, false},
      {{"-help"}, 0, kResetUsage, false},
      {{"-d", "-h"}, 0, kResetUsage, false},
  };
  for (const Case &c : cases) {
    clear_trace();
    const auto r = run("JTAG_Reset", c.args);
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(trace().empty(), !c.touches_board) << label;
  }
}

TEST_F(Spine, ResetHangEndsWithTheWatchdogAfterFiveSeconds) {
  JTAGBOX_SIM_ONLY();  // the fault lives in the in-process board
  sim({"set", "reset_hang=1"});
  const auto start = std::chrono::steady_clock::now();
  const auto r = run("JTAG_Reset", {"-d"});
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: ERROR : Timeout (5s)\n");
  EXPECT_GE(seconds, 4.5);
  EXPECT_EQ(trace(), (std::vector<std::string>{"JTAG_Reset"}));
  // The board is still usable once the fault is cleared.
  sim({"set", "reset_hang=0"});
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
}

TEST_F(Spine, IdcodeFollowsTheScanMode) {
  const std::pair<const char *, const char *> cases[] = {
      {"0x01", "IDCODE = 0bc0e06b\n"}, {"0x03", "IDCODE = 1bc0e06b\n"}, {"0x04", "IDCODE = 2bc0e06b\n"},
      {"0x05", "IDCODE = 3bc0e06b\n"}, {"0x07", "IDCODE = 04a56093\n"}, {"0xc7", "IDCODE = 34a56093\n"},
      // Full scan and scan dump: the device nearest TDO answers first.
      {"0x00", "IDCODE = 34a56093\n"}, {"0x02", "IDCODE = 3bc0e06b\n"},
      // No device routed: TDO floats high.
      {"0x06", "IDCODE = ffffffff\n"},
  };
  for (const auto &[mode, expected] : cases) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(run("JTAG_Reset").out, expected) << mode;
  }
}

// A file or a standard output that will not take the result, and a file
// that cannot be read: one line on standard error naming it and the reason,
// and status 1, never a quiet success.  /dev/full opens but refuses every
// write; a directory opens for reading but gives no bytes.
TEST_F(Spine, FailedWritesAndReadsEndWithOneLineAndStatusOne) {
  e2e::write_file(path("in.txt"), "ab\n");
  const std::string full = ": cannot write /dev/full: No space left on device\n";
  const std::string directory = ": cannot read .: Is a directory\n";
  const std::string no_stdout = "jtagbox: cannot write standard output: No space left on device\n";
  struct Case {
    std::string command;
    std::vector<std::string> args;
    bool stdout_full;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"JTAG_ScanDump", {"0c", "20", "/dev/full"}, false, "", "JTAG_ScanDump" + full},
      {"JTAG_VnxScanDump", {"20", "/dev/full", "-r"}, false, "", "JTAG_VnxScanDump" + full},
      {"JTAG_MacroDump", {"20", "/dev/full", "2", "in.txt"}, false, "", "JTAG_MacroDump" + full},
      {"JTAG_Shift", {"a3", "8", "-o=/dev/full"}, false, "", "JTAG_Shift" + full},
      {"JTAG_Shift", {"0", "40000", "-o=/dev/full"}, false, "", "JTAG_Shift" + full},  // past the stdio buffer
      {"JTAG_ReadMem", {"100", "2", "-f=/dev/full"}, false, "a000000000000100\na000000000000108\n",
       "JTAG_ReadMem" + full},
      {"JTAG_ScanDump", {"0c", "20", "out.hex", "-f=."}, false, "", "JTAG_ScanDump" + directory},
      {"JTAG_MacroDump", {"20", "out.hex", "2", "."}, false, "", "JTAG_MacroDump" + directory},
      {"JTAG_Shift", {"-f=.", "8"}, false, "", "JTAG_Shift" + directory},
      {"JTAG_WriteMem", {"100", "1", "-f=."}, false, "", "JTAG_WriteMem" + directory},
      {"JTAG_Reset", {}, true, "", no_stdout},
      {"JTAG_ReadMem", {"100", "1"}, true, "", no_stdout},
      {"JTAG_Shift", {"a3", "8", "-d"}, true, "", no_stdout},
  };
  const mode_t dev_full_mode = e2e::file_mode("/dev/full");
  for (const Case &c : cases) {
    const auto r = c.stdout_full ? run_to("/dev/full", c.command, c.args) : run(c.command, c.args);
    const std::string label = c.command + " " + ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
  }
  EXPECT_EQ(e2e::file_mode("/dev/full"), dev_full_mode) << "a device named as the output keeps its mode";
}

TEST_F(Spine, StateLastsAcrossProcesses) {
  sim({"set", "cpu0.tap=Shift-DR", "fpga.0xcb1000=0xfe"});
  const std::string shown = sim({"show"});
  EXPECT_NE(shown.find("cpu0: Shift-DR"), std::string::npos) << shown;
  EXPECT_NE(shown.find("0xcb1000 = 0xfe"), std::string::npos) << shown;
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
  EXPECT_NE(sim({"show"}).find("cpu0: Run-Test/Idle"), std::string::npos);
}

TEST_F(Spine, PlatformSelection) {
  // An unknown platform: one line on standard error, status 1.
  auto r = exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", "usb:0"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::split_lines(r.err).size(), 1u) << r.err;
  // Argument errors never reach the platform.
  r = exec(bin("JTAG_Reset"), "JTAG_Reset", {"-h"}, {{"JTAG_PLATFORM", "usb:0"}});
  EXPECT_EQ(r.status, 0);
  // Unset: the board under XDG_STATE_HOME.
  r = exec(bin("JTAG_Reset"), "JTAG_Reset", {},
           {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", path("xdg").string()}});
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_TRUE(std::filesystem::exists(path("xdg") / "jtag-sim" / "board.state"));
  r = exec(bin("JTAG_Reset"), "JTAG_Reset", {},
           {{"JTAG_PLATFORM", "sim"}, {"XDG_STATE_HOME", ""}, {"HOME", path("home").string()}});
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_TRUE(std::filesystem::exists(path("home") / ".local/state/jtag-sim/board.state"));
}

TEST_F(Spine, UnreadableStateIsReportedNeverReset) {
  JTAGBOX_SIM_ONLY();  // over the wire it is the server that reads the state
  run("JTAG_Reset");
  const auto state = path("board") / "board.state";
  const std::string corrupt[] = {"garbage\n", "jtag-sim board state 99\n",
                                 "jtag-sim board state 1\nscan_mode=0x1\n",
                                 e2e::read_file(state) + "no_such_key=1\n"};
  for (const std::string &text : corrupt) {
    e2e::write_file(state, text);
    const auto r = run("JTAG_Reset");
    EXPECT_EQ(r.status, 1) << text;
    EXPECT_EQ(r.out, "") << text;
    EXPECT_EQ(e2e::split_lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(e2e::read_file(state), text) << "the state must not be overwritten";
  }
  sim({"reset"});
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
}

TEST_F(Spine, ConcurrentCommandsAreSerialised) {
  // Many resets at once on one board: every one prints the IDCODE and the
  // board stays readable.
  std::vector<pid_t> pids;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const auto r = run("JTAG_Reset");
      _exit(r.status == 0 && r.out == kIdcodeCpu0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(trace().size(), 24u);
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
}

TEST_F(Spine, BoardToolRejectsBadInputWithStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"set"},
      {"set", "noequals"},
      {"set", "no_such_key=1"},
      {"set", "scan_mode=0x100"},
      {"set", "scan_mode=banana"},
      {"set", "cpu0.tap=Nowhere"},
      {"set", "fpga.0xcb1000=0x1ff"},
      {"show", "extra"},
  };
  for (const auto &args : bad) {
    const auto r = exec(bin("jtag-sim"), "jtag-sim", args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err, "") << ::testing::PrintToString(args);
  }
  // A rejected set changes nothing.
  sim({"set", "scan_mode=0x03"});
  exec(bin("jtag-sim"), "jtag-sim", {"set", "scan_mode=0x07", "bogus=1"});
  EXPECT_EQ(run("JTAG_Reset").out, "IDCODE = 1bc0e06b\n");
  const auto help = exec(bin("jtag-sim"), "jtag-sim", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: jtag-sim"), std::string::npos);
}

}  // namespace
