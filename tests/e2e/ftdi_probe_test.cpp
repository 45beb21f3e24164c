// The FTDI backend against an emulated FT2232H (tests/ftdi_emulator) that
// misbehaves on purpose, the TCK it sets and its reset pins.  Registered
// only as ftdi.* (tests/CMakeLists.txt).
#include "board_view.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

const std::string kProbe = "jtagbox: FTDI probe 0403:6010", kChannelA = kProbe + " JTBX0001 channel A: ";
const std::string kNoDevice =
    kProbe + ": no such USB device; plug the probe in, or name its IDs with JTAG_PLATFORM=ftdi:vid=VID,pid=PID";
const std::string kTwo =
    kProbe + ": 2 probes found (serials: JTBX0002, JTBX0001); choose one with JTAG_PLATFORM=ftdi:serial=SERIAL";
const std::string kRefused =
    kChannelA + "the probe refused command 0x8a (answered 0xfa 0x8a); unplug and replug the probe, then run JTAG_Reset";
const std::string kSilent =
    kChannelA + "no answer within 3 s; check the probe's power and cable, then unplug and replug it";

std::string tck(const std::string &khz) {  // what jtag-detect prints
  return "FTDI probe 0403:6010 JTBX0001 channel A (FT2232H): TCK " + khz +
         " kHz\nTAP 0: IDCODE 0x0bc0e06b, IR length 8\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 8 bits in all";
}
std::string unreachable(const std::string &what) {
  return "jtagbox: " + what + " cannot be reached through JTAG_PLATFORM=ftdi";
}

class FtdiProbe : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    if (!over_probe()) GTEST_FAIL() << "FtdiProbe.* runs over the ftdi backend only (ftdi.*)";
    ASSERT_NE(port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err")), 0) << "jtag-sim serve: no port";
  }
  // COMMAND ARGS... through a probe of its own, emulated with `emulator` options.
  Result through(const Lines &emulator, const std::string &platform, const Lines &command) {
    EmulatedProbe probe;
    if (!probe.start(Lines{"--rbb", "127.0.0.1:" + std::to_string(port_)} + emulator, path("emulator.err"))) return {};
    std::map<std::string, std::string> env = probe.client_environment();
    env["JTAG_PLATFORM"] = platform;
    return exec(bin(command[0]), command[0], Lines(command.begin() + 1, command.end()), env);
  }
  ServeProcess serving_;
  int port_ = 0;
};

// Exactly what each run prints and its status, within its bound.  The TCK is
// the chip's 60 MHz divided, never faster than asked; a probe that answers
// again is driven from where the last run that went well left the TAP.
TEST_F(FtdiProbe, EachRunSaysWhatCameOfItWithinItsBound) {
  const struct {
    Lines emulator;
    std::string platform;
    Lines command;
    int seconds;
    std::string seen;  // output and error, without the last line end
  } cases[] = {
      {{}, "ftdi:khz=30000", {"jtag-detect"}, 10, tck("30000")},
      {{}, "ftdi:khz=4300", {"jtag-detect"}, 10, tck("4285.714")},
      {{}, "ftdi:khz=1", {"jtag-detect"}, 10, tck("1")},
      {{"--pid", "6014"}, "ftdi", {"JTAG_Reset"}, 3, kNoDevice},
      {{"--devices", "2"}, "ftdi", {"JTAG_Reset"}, 3, kTwo},
      {{}, "ftdi:serial=NOPE", {"JTAG_Reset"}, 3, kProbe + ": none has serial NOPE (serials found: JTBX0001)"},
      {{"--unplug-after-out", "5"},
       "ftdi",
       {"JTAG_ScanDump", "0c", "100000", "dump.hex"},
       3,
       kChannelA + "was unplugged; plug it back in, then run JTAG_Reset"},
      {{"--bad-command-at", "3"}, "ftdi", {"JTAG_Reset"}, 3, kRefused},
      {{"--silent-after-out", "1"}, "ftdi", {"JTAG_Reset"}, 4, kSilent},
      {{}, "ftdi:khz=0", {"JTAG_Reset"}, 3, "jtagbox: JTAG_PLATFORM=ftdi:khz=0: bad value '0' for khz (1..30000)"},
      {{}, "ftdi", {"JTAG_CPUSelect", "1"}, 3, unreachable("scan-mode selection")},
      {{}, "ftdi", {"JTAG_VnxClockStop"}, 3, unreachable("FPGA registers")},
      {{}, "ftdi", {"JTAG_ScanDR_Path", "0c", "8", "dump.hex", "-a"}, 3, "can't activate the scan dump accelerator"},
      {{}, "ftdi", {"JTAG_Reset"}, 3, "IDCODE = 0bc0e06b"},
  };
  for (const auto &c : cases) {
    const auto start = Clock::now();
    const Result r = through(c.emulator, c.platform, c.command);
    EXPECT_EQ(r.status, c.seen.rfind("jtagbox: ", 0) == 0 || c.seen.rfind("can't", 0) == 0 ? 1 : 0) << c.seen;
    EXPECT_EQ(r.out + r.err, c.seen + "\n");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(c.seconds) + 1500ms)
        << c.seen;  // the emulator's start and stop too, slow under the sanitizers on a busy machine
  }
  EXPECT_EQ(read_file(path("dump.hex")), "");  // the dump cut short looks like none

  // A prefix without the module, then with one of another build (its
  // identity note says 9.x): one line each, before any probe is looked for.
  namespace fs = std::filesystem;
  fs::create_directories(path("prefix/bin"));
  fs::create_directories(path("prefix/" JTAGBOX_MODULE_DIR));
  fs::copy_file(bin("jtagbox"), path("prefix/bin/jtagbox"));
  const std::string module = fs::canonical(path("prefix")).string() + "/" JTAGBOX_MODULE_DIR "/jtagbox-ftdi.so";
  std::string other = read_file(bin("../" JTAGBOX_MODULE_DIR "/jtagbox-ftdi.so"));
  const size_t note = other.find(std::string("jtagbox\0\2\0\0\0" JTAGBOX_VERSION, 12 + sizeof JTAGBOX_VERSION));
  ASSERT_NE(note, std::string::npos);
  for (const std::string &line :
       {"JTAG_PLATFORM=ftdi needs the package jtagbox-ftdi, which is not installed (no " + module + ")",
        module + " is of jtagbox 9" + (JTAGBOX_VERSION + 1) + " (module interface 2), not of this jtagbox " +
            JTAGBOX_VERSION + " (interface 2); install jtagbox-ftdi " + JTAGBOX_VERSION}) {
    const Result r = exec(path("prefix/bin/jtagbox"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", "ftdi"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "jtagbox: " + line + "\n");
    write_file(module, other.replace(note + 12, 1, "9"));
  }
}

// jtag-serve puts the probe on the network: the reset bytes of a
// remote_bitbang client drive the probe's TRST and SRST pins.
TEST_F(FtdiProbe, ResetBytesThroughJtagServeDriveTheProbesPins) {
  EmulatedProbe probe;
  ASSERT_TRUE(probe.start({"--rbb", "127.0.0.1:" + std::to_string(port_), "--trst-pin", "4", "--srst-pin", "13"}));
  std::map<std::string, std::string> env = probe.client_environment();
  env["JTAG_PLATFORM"] = "ftdi:trst=4,srst=13";
  ServeProcess front;
  RawClient client(front.start_program("jtag-serve", {"jtag-serve", "--rbb", "0"}, env, path("front.err")));
  ASSERT_TRUE(client.send(rbb_clocks("0100") + "rsrsrtrQ"));  // Shift-DR, then SRST twice and TRST
  EXPECT_EQ(client.read_to_end(), "");
  EXPECT_EQ(front.stop() + probe.stop() + serving_.stop(), 0);  // the board saved
  EXPECT_EQ(read_file(path("front.err")), "");
  EXPECT_EQ(sim({"get", "srst", "srst_assertions"}), "0x0\n0x2\n");
  EXPECT_EQ(tap("cpu0"), "Test-Logic-Reset, IR 0x02");
}

}  // namespace
