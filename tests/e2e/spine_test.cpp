// The executable's dispatch, JTAG_Reset, the failures every command shares,
// the board's persistence, the platform selection and the board tool.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "board_view.h"

namespace {

using namespace e2e;

constexpr const char *kIdcodeCpu0 = "IDCODE = 0bc0e06b\n";
constexpr const char *kResetUsage = "JTAG_Reset  [-d=<level>] [-h]\n\n";
const Lines kResetOps = {"JTAG_Reset", "JTAG_Select_DR", "JTAG_Shift \"AAAAAAAA\" 32 0 0 '0' accel=0"};

class Spine : public FreshBoardTest {};

// Only the last path component, exactly "JTAG_Reset", runs the command; no
// other name touches the board.
TEST_F(Spine, DispatchUsesTheLastPathComponentExactly) {
  const std::pair<std::string, std::string> cases[] = {{bin("JTAG_Reset").string(), kIdcodeCpu0},
                                                       {"JTAG_Reset", kIdcodeCpu0},
                                                       {"/usr/bin/JTAG_Reset", kIdcodeCpu0},
                                                       {"jtag_reset", ""},
                                                       {"JTAG_RESET", ""},
                                                       {"JTAG_Reset2", ""},
                                                       {"jtagbox", ""},
                                                       {"/usr/bin/", ""},
                                                       {"", ""},
                                                       {"jtag_loadir", ""}};
  for (const auto &[argv0, out] : cases) {
    clear_trace();
    const Result r = exec(bin("jtagbox"), argv0, {"3d"});
    EXPECT_EQ(r.status, 0) << argv0;
    EXPECT_EQ(r.out, out) << argv0;
    EXPECT_EQ(r.err, "") << argv0;
    EXPECT_EQ(trace(), out.empty() ? Lines{} : kResetOps) << argv0;
  }
  for (const char *n : {"JTAG_CapDR_To_Exit1DR", "JTAG_LoadDR",    "JTAG_LoadIR",       "JTAG_MacroDump",
                        "JTAG_ReadCreg",         "JTAG_ReadMem",   "JTAG_Reset",        "JTAG_Shift",
                        "JTAG_WriteMem",         "JTAG_WriteCreg", "JTAG_TMS",          "JTAG_Tck",
                        "JTAG_ScanIR_Path",      "JTAG_ScanDump",  "JTAG_ScanDR_Path",  "JTAG_CPUSelect",
                        "JTAG_VNXSelect",        "JTAG_IRPath",    "JTAG_VnxClockStop", "JTAG_VnxScanDump"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(bin(n))) << n;
    EXPECT_EQ(std::filesystem::read_symlink(bin(n)), "jtagbox") << n;
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(bin("jtag-sim")));
}

TEST_F(Spine, ResetOptionsAndIgnoredWords) {
  const std::string debug =
      "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: JTAG Reset Complete\n" + std::string(kIdcodeCpu0);
  check("JTAG_Reset", {
                          {{}, 0, kIdcodeCpu0, kResetOps},
                          {{"-d"}, 0, debug, kResetOps},
                          {{"-debug"}, 0, debug, kResetOps},
                          {{"-d=3"}, 0, debug, kResetOps},
                          {{"-d=x"}, 0, kIdcodeCpu0, kResetOps},
                          {{"-d", "-d=0"}, 0, kIdcodeCpu0, kResetOps},
                          {{"extra", "words", "-q", "-"}, 0, kIdcodeCpu0, kResetOps},
                          {{"-h"}, 0, kResetUsage, {}},
                          {{"-help"}, 0, kResetUsage, {}},
                          {{"-d", "-h"}, 0, kResetUsage, {}},
                      });
}

TEST_F(Spine, ResetHangEndsWithTheWatchdogAfterFiveSeconds) {
  JTAGBOX_SIM_ONLY();  // the fault lives in the in-process board
  sim({"set", "reset_hang=1"});
  const auto start = std::chrono::steady_clock::now();
  const Result r = run("JTAG_Reset", {"-d"});
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 4.5);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: ERROR : Timeout (5s)\n");
  EXPECT_EQ(trace(), Lines{"JTAG_Reset"});
  sim({"set", "reset_hang=0"});  // the board is usable again once the fault is cleared
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
}

// The chain follows the scan mode (over the wire too: the server serves the
// chain the mode selects); several devices: the one nearest TDO answers.
TEST_F(Spine, IdcodeFollowsTheScanMode) {
  const std::pair<const char *, const char *> cases[] = {
      {"0x01", "0bc0e06b"}, {"0x03", "1bc0e06b"}, {"0x04", "2bc0e06b"}, {"0x05", "3bc0e06b"}, {"0x07", "04a56093"},
      {"0xc7", "34a56093"}, {"0x00", "34a56093"}, {"0x02", "3bc0e06b"}, {"0x06", "ffffffff"}};  // 0x06: TDO floats high
  for (const auto &[mode, idcode] : cases) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(run("JTAG_Reset").out, "IDCODE = " + std::string(idcode) + "\n") << mode;
  }
}

// A file or a standard output that will not take the result, and a file
// that cannot be read: one line on standard error naming it and the reason,
// and status 1.  /dev/full opens but refuses every write; a directory opens
// for reading but gives no bytes.
TEST_F(Spine, FailedWritesAndReadsEndWithOneLineAndStatusOne) {
  write_file(path("in.txt"), "ab\n");
  const std::string full = ": cannot write /dev/full: No space left on device\n";
  const std::string directory = ": cannot read .: Is a directory\n";
  const std::string no_stdout = "jtagbox: cannot write standard output: No space left on device\n";
  const std::string sim_no_stdout = "jtag-sim: cannot write standard output: No space left on device\n";
  struct Case {
    std::string command;
    Lines args;
    bool stdout_full;
    std::string out, err;
  };
  const Case cases[] = {
      {"JTAG_ScanDump", {"0c", "20", "/dev/full"}, false, "", "JTAG_ScanDump" + full},
      {"JTAG_VnxScanDump", {"20", "/dev/full", "-r"}, false, "", "JTAG_VnxScanDump" + full},
      {"JTAG_MacroDump", {"20", "/dev/full", "2", "in.txt"}, false, "", "JTAG_MacroDump" + full},
      {"JTAG_Shift", {"a3", "8", "-o=/dev/full"}, false, "", "JTAG_Shift" + full},
      {"JTAG_Shift", {"0", "40000", "-o=/dev/full"}, false, "", "JTAG_Shift" + full},  // past the stdio buffer
      {"JTAG_ReadMem",
       {"100", "2", "-f=/dev/full"},
       false,
       "a000000000000100\na000000000000108\n",
       "JTAG_ReadMem" + full},
      {"JTAG_ScanDump", {"0c", "20", "out.hex", "-f=."}, false, "", "JTAG_ScanDump" + directory},
      {"JTAG_MacroDump", {"20", "out.hex", "2", "."}, false, "", "JTAG_MacroDump" + directory},
      {"JTAG_Shift", {"-f=.", "8"}, false, "", "JTAG_Shift" + directory},
      {"JTAG_WriteMem", {"100", "1", "-f=."}, false, "", "JTAG_WriteMem" + directory},
      {"JTAG_Reset", {}, true, "", no_stdout},
      {"JTAG_ReadMem", {"100", "1"}, true, "", no_stdout},
      {"JTAG_Shift", {"a3", "8", "-d"}, true, "", no_stdout},
      {"jtag-sim", {"get", "scan_mode"}, true, "", sim_no_stdout},
      {"jtag-sim", {"show"}, true, "", sim_no_stdout},
  };
  const mode_t dev_full_mode = file_mode("/dev/full");
  for (const Case &c : cases) {
    const Result r = c.stdout_full ? run_to("/dev/full", c.command, c.args) : run(c.command, c.args);
    const std::string label = c.command + " " + ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
  }
  EXPECT_EQ(file_mode("/dev/full"), dev_full_mode) << "a device named as the output keeps its mode";
}

TEST_F(Spine, PlatformSelection) {
  JTAGBOX_SIM_ONLY();  // the commands' default board
  Result r = exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", "usb:0"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
  // Argument errors never reach the platform.
  EXPECT_EQ(exec(bin("JTAG_Reset"), "JTAG_Reset", {"-h"}, {{"JTAG_PLATFORM", "usb:0"}}).status, 0);
  // Unset or bare "sim": the board under XDG_STATE_HOME, else under HOME.
  r = exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", path("xdg").string()}});
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_TRUE(exists("xdg/jtag-sim/board.db"));
  r = exec(bin("JTAG_Reset"), "JTAG_Reset", {},
           {{"JTAG_PLATFORM", "sim"}, {"XDG_STATE_HOME", ""}, {"HOME", path("home").string()}});
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_TRUE(exists("home/.local/state/jtag-sim/board.db"));
}

// Many resets at once on one board: one after the other, each complete.
TEST_F(Spine, ConcurrentCommandsAreSerialised) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      // Through the emulated probe each command's udev monitor is a socket
      // umockdev names after its descriptor number, the same in every
      // command, and a second bind of that name fails libusb_init.  Open
      // descriptors of a different count set each command's apart.
      if (e2e::over_probe())
        for (int k = 0; k < i; ++k) (void)::open("/dev/null", O_RDONLY);
      const Result r = run("JTAG_Reset");
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
  const std::vector<Lines> bad = {{},
                                  {"frobnicate"},
                                  {"set"},
                                  {"set", "noequals"},
                                  {"set", "no_such_key=1"},
                                  {"set", "scan_mode=0x100"},
                                  {"set", "scan_mode=banana"},
                                  {"set", "cpu0.tap=Nowhere"},
                                  {"set", "fpga.0xcb1000=0x1ff"},
                                  {"show", "extra"},
                                  {"set", "cpu0.l2.0x101=1"},
                                  {"set", "cpu0.l2.0x100000000000000=1"},
                                  {"set", "cpu0.l2.0x100=0x10000000000000000"},
                                  {"set", "cpu0.creg.0x10000000000=1"},
                                  {"set", "cpu0.creg.0x10=banana"},
                                  {"set", "cpu4.l2.0x100=1"},
                                  {"set", "cpu0.chain.0c.length=0"},
                                  {"set", "cpu0.chain.0c.length=x"},
                                  {"set", "cpu0.chain.0c.length=4294967296"},
                                  {"set", "cpu0.chain.0c.length=8", "cpu0.chain.0c=0x1ff"},
                                  {"set", "cpu0.chain.0c=12"},
                                  {"set", "cpu0.chain.0c=0xzz"},
                                  {"serve", "--port", "x"},
                                  {"serve", "--port", "65536"},
                                  {"serve", "9"}};
  for (const Lines &args : bad) {
    const Result r = exec(bin("jtag-sim"), "jtag-sim", args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("Try 'jtag-sim --help'."), std::string::npos) << ::testing::PrintToString(args) << r.err;
  }
  // A rejected set changes nothing.
  sim({"set", "scan_mode=0x03"});
  exec(bin("jtag-sim"), "jtag-sim", {"set", "scan_mode=0x07", "bogus=1"});
  EXPECT_EQ(run("JTAG_Reset").out, "IDCODE = 1bc0e06b\n");
  const Result help = exec(bin("jtag-sim"), "jtag-sim", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: jtag-sim"), std::string::npos);
}

}  // namespace
