// The executable's dispatch, JTAG_Reset, the failures all commands share, concurrent runs.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board_view.h"

namespace {

using namespace e2e;

const std::string kIdcode = "IDCODE = 0bc0e06b\n";
const Lines kResetOps = {"JTAG_Reset", "JTAG_Select_DR", shift_op("AAAAAAAA", 32)};

class Spine : public FreshBoardTest {};

// Only a last path component of exactly "JTAG_Reset" runs it (any other name: nothing, status 0).
TEST_F(Spine, DispatchAndResetOptions) {
  for (const std::string &argv0 : {bin("JTAG_Reset").string(), std::string("JTAG_RESET"), std::string("/usr/bin/")}) {
    clear_trace();
    const Result r = exec(bin("jtagbox"), argv0, {"3d"});
    const bool runs = argv0.ends_with("JTAG_Reset");
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(0, runs ? kIdcode : "", "")) << argv0;
    EXPECT_EQ(trace(), runs ? kResetOps : Lines{}) << argv0;
  }
  const std::string debug = "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: JTAG Reset Complete\n" + kIdcode;
  check("JTAG_Reset", {{{"-d=3", "-q"}, 0, debug, kResetOps}, {{"-h"}, 0, "JTAG_Reset  [-d=<level>] [-h]\n\n", {}}});
}

// A reset that never completes ends at the five-second watchdog; the board recovers.
TEST_F(Spine, ResetHangEndsWithTheWatchdogAfterFiveSeconds) {
  JTAGBOX_SIM_ONLY();  // the fault lives in the in-process board
  sim({"set", "reset_hang=1"});
  const auto start = std::chrono::steady_clock::now();
  const Result r = run("JTAG_Reset", {"-d"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
  EXPECT_EQ(r.out + std::to_string(r.status),
            "JTAG_Reset: Resetting TAP controller \nJTAG_Reset: ERROR : Timeout (5s)\n1");
  sim({"set", "reset_hang=0"});
  EXPECT_EQ(run("JTAG_Reset").out, kIdcode);
}

// An output that takes no more bytes (a file past the stdio buffer, standard output) and an input
// that gives none: one line naming it and the reason, status 1; a device named keeps its mode.
TEST_F(Spine, FailedWritesAndReadsEndWithOneLineAndStatusOne) {
  const std::string no = ": cannot write standard output: No space left on device\n";
  const std::string full = "JTAG_Shift: cannot write /dev/full: No space left on device\n";
  const std::tuple<bool, std::string, Lines, std::string> cases[] = {
      {false, "JTAG_Shift", {"0", "40000", "-o=/dev/full"}, full},
      {false, "JTAG_ScanDump", {"0c", "20", "out.hex", "-f=."}, "JTAG_ScanDump: cannot read .: Is a directory\n"},
      {true, "JTAG_Reset", {}, "jtagbox" + no},
      {true, "jtag-sim", {"show"}, "jtag-sim" + no}};
  const mode_t dev_full_mode = file_mode("/dev/full");
  for (const auto &[to_full, command, args, err] : cases) {
    const Result r = to_full ? run_to("/dev/full", command, args) : run(command, args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::make_tuple(1, "", err)) << command;
  }
  EXPECT_EQ(file_mode("/dev/full"), dev_full_mode);
}

// Eight resets at once on one board run one after the other, each complete and traced.
TEST_F(Spine, ConcurrentCommandsAreSerialised) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 8; ++i) {
    if (const pid_t pid = fork(); pid != 0) {
      pids.push_back(pid);
      continue;
    }
    // Over the emulated probe umockdev names each udev monitor socket after its descriptor number:
    // a different count of open descriptors keeps the commands' names apart.
    for (int k = 0; over_probe() && k < i; ++k) (void)::open("/dev/null", O_RDONLY);
    _exit(run("JTAG_Reset").out == kIdcode ? 0 : 1);
  }
  int status = 0;
  for (pid_t pid : pids) EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(trace().size(), 24u);
}

}  // namespace
