// The FTDI backend's own failures, each against an emulated FT2232H that
// misbehaves on purpose (tests/ftdi_emulator): no such probe, two of them,
// a probe unplugged, refusing a command or falling silent, and bad keys.
// Each ends the command with one line and status 1 within its bound.
// Registered only as ftdi.* (tests/CMakeLists.txt).
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "board_view.h"
#include "support/emulated_probe.h"
#include "support/rbb_wire.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

const std::string kProbe = "jtagbox: FTDI probe 0403:6010";
const std::string kChannelA = kProbe + " JTBX0001 channel A: ";

class FtdiProbe : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    if (!over_probe()) GTEST_FAIL() << "FtdiProbe.* runs over the ftdi backend only (ftdi.*)";
    ASSERT_NE(port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err")), 0) << "jtag-sim serve: no port";
  }
  void TearDown() override {
    serving_.stop();
    FreshBoardTest::TearDown();
  }

  // `command` through a probe of its own, emulated with `emulator_args`
  // and JTAG_PLATFORM=`platform`.
  Result through(const std::vector<std::string> &emulator_args, const std::string &platform, const std::string &command,
                 const Lines &args) {
    EmulatedProbe probe;
    std::vector<std::string> all = {"--rbb", "127.0.0.1:" + std::to_string(port_)};
    all.insert(all.end(), emulator_args.begin(), emulator_args.end());
    if (!probe.start(all, path("emulator.err"))) {
      ADD_FAILURE() << "ftdi-emulator did not start";
      return {};
    }
    std::map<std::string, std::string> env = probe.client_environment();
    env["JTAG_PLATFORM"] = platform;
    return exec(bin(command), command, args, env);
  }

  ServeProcess serving_;
  int port_ = 0;
};

// jtag-detect says the TCK the chip divides from its 60 MHz: never faster
// than asked.
TEST_F(FtdiProbe, DetectSaysTheTckSet) {
  const struct {
    std::string platform, tck;
  } cases[] = {
      {"ftdi:khz=30000", "30000 kHz"},
      {"ftdi:khz=4300", "4285.714 kHz"},
      {"ftdi:khz=1", "1 kHz"},
  };
  for (const auto &c : cases) {
    const Result r = through({}, c.platform, "jtag-detect", {});
    EXPECT_EQ(r.status, 0) << c.platform;
    EXPECT_EQ(r.out,
              "FTDI probe 0403:6010 JTBX0001 channel A (FT2232H): TCK " + c.tck +
                  "\nTAP 0: IDCODE 0x0bc0e06b, IR length 8\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 8 bits in all\n")
        << c.platform;
  }
}

TEST_F(FtdiProbe, EachFailureIsOneLineAndStatusOneWithinItsBound) {
  const struct Case {
    std::vector<std::string> emulator;
    std::string platform, command;
    Lines args;
    std::string line;
    double seconds;  // the bound
  } cases[] = {
      {{"--pid", "6014"},
       "ftdi",
       "JTAG_Reset",
       {},
       kProbe + ": no such USB device; plug the probe in, or name its IDs with JTAG_PLATFORM=ftdi:vid=VID,pid=PID",
       2},
      {{"--devices", "2"},
       "ftdi",
       "JTAG_Reset",
       {},
       kProbe + ": 2 probes found (serials: JTBX0002, JTBX0001); choose one with JTAG_PLATFORM=ftdi:serial=SERIAL",
       2},
      {{}, "ftdi:serial=NOPE", "JTAG_Reset", {}, kProbe + ": none has serial NOPE (serials found: JTBX0001)", 2},
      {{"--unplug-after-out", "5"},
       "ftdi",
       "JTAG_ScanDump",
       {"0c", "100000", "dump.hex"},
       kChannelA + "was unplugged; plug it back in, then run JTAG_Reset",
       2},
      {{"--bad-command-at", "3"},
       "ftdi",
       "JTAG_Reset",
       {},
       kChannelA + "the probe refused command 0x8a (answered 0xfa 0x8a); unplug and replug the probe, then run "
                   "JTAG_Reset",
       2},
      {{"--silent-after-out", "1"},
       "ftdi",
       "JTAG_Reset",
       {},
       kChannelA + "no answer within 3 s; check the probe's power and cable, then unplug and replug it",
       3},
      {{}, "ftdi:khz=0", "JTAG_Reset", {}, "jtagbox: JTAG_PLATFORM=ftdi:khz=0: bad value '0' for khz (1..30000)", 2},
      {{},
       "ftdi:channel=E",
       "JTAG_Reset",
       {},
       "jtagbox: JTAG_PLATFORM=ftdi:channel=E: bad value 'E' for channel (A, B, C or D)",
       2},
      {{},
       "ftdi:trst=2",
       "JTAG_Reset",
       {},
       "jtagbox: JTAG_PLATFORM=ftdi:trst=2: bad value '2' for trst (4..15: ADBUS4-7, then ACBUS0-7 as 8-15; 0-3 "
       "carry TCK, TDI, TDO, TMS)",
       2},
      {{},
       "ftdi:bogus=1",
       "JTAG_Reset",
       {},
       "jtagbox: JTAG_PLATFORM=ftdi:bogus=1: unknown key 'bogus' (ftdi takes serial, channel, khz, vid, pid, trst, "
       "srst)",
       2},
  };
  for (const Case &c : cases) {
    const std::string label = c.platform + " " + (c.emulator.empty() ? "" : c.emulator[0]);
    const auto start = Clock::now();
    const Result r = through(c.emulator, c.platform, c.command, c.args);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, "") << label;
    EXPECT_EQ(r.err, c.line + "\n") << label;
    EXPECT_LT(took, c.seconds + 1.5) << label;  // the emulator's own start and stop included
  }
  // The dump the unplugged probe cut short does not look complete: nothing
  // of it was written.
  EXPECT_EQ(read_file(path("dump.hex")), "");
  // A probe that answers again is driven from where the last run that went
  // well left the TAP (no record was kept of the failed runs).
  const Result again = through({}, "ftdi", "JTAG_Reset", {});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "IDCODE = 0bc0e06b\n");
}

// jtag-serve puts the probe on the network: a remote_bitbang client's reset
// bytes drive the probe's TRST and SRST pins ('s' asserts SRST, 't' TRST,
// 'r' releases both), which the emulated FT2232H passes on to the board.
TEST_F(FtdiProbe, ResetBytesThroughJtagServeDriveTheProbesPins) {
  EmulatedProbe probe;
  ASSERT_TRUE(probe.start({"--rbb", "127.0.0.1:" + std::to_string(port_), "--trst-pin", "4", "--srst-pin", "13"},
                          path("emulator.err")));
  std::map<std::string, std::string> env = probe.client_environment();
  env["JTAG_PLATFORM"] = "ftdi:trst=4,srst=13";
  ServeProcess front;
  const int rbb = front.start_program("jtag-serve", {"jtag-serve", "--rbb", "0"}, env, path("front.err"));
  ASSERT_NE(rbb, 0) << read_file(path("front.err"));
  {
    RawClient client(rbb);
    ASSERT_TRUE(client.connected());
    // Into Shift-DR, then TRST: the TAP is back in Test-Logic-Reset at once.
    ASSERT_TRUE(
        client.send("04"
                    "26"
                    "04"
                    "04"
                    "rsrsrtrQ"));
    EXPECT_EQ(client.read_to_end(), "");
  }
  EXPECT_EQ(front.stop(), 0);
  EXPECT_EQ(probe.stop(), 0);
  EXPECT_EQ(serving_.stop(), 0);  // the board saved
  EXPECT_EQ(read_file(path("front.err")), "");
  EXPECT_EQ(sim({"get", "srst", "srst_assertions"}), "0x0\n0x2\n");
  EXPECT_EQ(tap("cpu0"), "Test-Logic-Reset, IR 0x02");
}

// A probe carries the JTAG lines and nothing of the board: scan-mode
// selection and the FPGA registers are refused as over any bare adapter.
TEST_F(FtdiProbe, BoardServicesAreRefusedInOneLine) {
  const struct {
    std::string command;
    Lines args;
    std::string line;
  } cases[] = {
      {"JTAG_CPUSelect", {"1"}, "jtagbox: scan-mode selection cannot be reached through JTAG_PLATFORM=ftdi"},
      {"JTAG_VnxClockStop", {}, "jtagbox: FPGA registers cannot be reached through JTAG_PLATFORM=ftdi"},
      // The accelerator switch is the one failure the command reports itself.
      {"JTAG_ScanDR_Path", {"0c", "8", path("out.hex").string(), "-a"}, "can't activate the scan dump accelerator"},
  };
  for (const auto &c : cases) {
    const Result r = through({}, "ftdi", c.command, c.args);
    EXPECT_EQ(r.status, 1) << c.command;
    EXPECT_EQ(r.err, c.line + "\n") << c.command;
  }
  EXPECT_EQ(read_file(path("out.hex")), "");
}

// The emulator's counts (ftdi-emulator --stats): "name N" lines.
std::map<std::string, uint64_t> read_stats(const std::filesystem::path &file) {
  std::map<std::string, uint64_t> stats;
  std::istringstream lines(read_file(file));
  std::string name;
  uint64_t value = 0;
  while (lines >> name >> value) stats[name] = value;
  return stats;
}

// A megabit read shift is far more than the chip buffers each way (4 KiB):
// its writes stall until answers are read, as on a real FT2232H, and go
// through only because the answers are read while the commands are
// written.  It takes at most 2 + 2^20/32768 bulk OUT transfers, and its TDO
// is the simulated board's own.
TEST_F(FtdiProbe, AMegabitShiftStreamsThroughTheChipsBuffers) {
  ASSERT_EQ(through({}, "ftdi", "JTAG_Reset", {}).status, 0);
  const Result r = through({"--stats", path("stats").string()}, "ftdi:khz=30000", "JTAG_Shift",
                           {"0", "1048576", "-o=" + path("probe.hex").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::map<std::string, uint64_t> stats = read_stats(path("stats"));
  EXPECT_LE(stats["bulk_out_transfers"], 2U + 32U);
  EXPECT_GT(stats["bulk_out_stalls"], 0U);
  const std::map<std::string, std::string> own_board = {{"JTAG_PLATFORM", "sim:" + path("own").string()}};
  ASSERT_EQ(exec(bin("JTAG_Reset"), "JTAG_Reset", {}, own_board).status, 0);
  ASSERT_EQ(exec(bin("JTAG_Shift"), "JTAG_Shift", {"0", "1048576", "-o=" + path("sim.hex").string()}, own_board).status,
            0);
  EXPECT_EQ(read_file(path("probe.hex")).size(), 1048576U / 4);
  EXPECT_TRUE(read_file(path("probe.hex")) == read_file(path("sim.hex"))) << "the TDO differs from the board's";
}

}  // namespace
