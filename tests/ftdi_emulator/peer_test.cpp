// The emulated FT2232H checked by clients nobody here wrote, on a board
// served by jtag-sim: libftdi1 (with libusb's own calls for a flood of
// reads) and OpenOCD's ftdi driver; then the faults, the stats file, the
// command line and the daemon mode.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/board_view.h"
#include "e2e/peer_tools.h"
#include "support/emulated_probe.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kEmulator = e2e::ftdi_emulator_program();
const char *const kProbe = FTDI_IDCODE_PROBE;
const std::string kIdcode = "IDCODE 0x0bc0e06b\n";  // the first TAP of scan mode 0x01
const std::string kOpenOcdFtdi =
    "adapter driver ftdi; ftdi vid_pid 0x0403 0x6010; ftdi layout_init 0x0008 0x000b; adapter speed 1000; "
    "transport select jtag; ";

class FtdiEmulator : public e2e::ServedBoardTest {
 protected:
  void SetUp() override {
    ServedBoardTest::SetUp();
    if (std::string(kProbe).empty()) {
      if (e2e::in_ci()) FAIL() << "built without libftdi1: CI must have it (scripts/install-deps.sh)";
      GTEST_SKIP() << "built without libftdi1 (libftdi1-dev)";
    }
    sim({"set", "scan_mode=0x01"});
    serve();
  }
  std::string rbb() const { return "127.0.0.1:" + std::to_string(port_); }
  // ftdi-emulator with --rbb and `options`, running `command`.
  e2e::Result emulate(const Lines &options, const Lines &command) {
    return exec(kEmulator, "ftdi-emulator", Lines{"--rbb", rbb()} + options + Lines{"--"} + command);
  }
  Lines stats() const { return e2e::split_lines(e2e::read_file(path("stats"))); }
};

// Three libftdi1 round trips: their IDCODEs, each counted once however
// often the client polled in between.
TEST_F(FtdiEmulator, LibftdiRoundTripsAndTheirStats) {
  const e2e::Result r = emulate({"--stats", path("stats").string()}, {kProbe, "--rounds", "3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kIdcode + kIdcode + kIdcode);
  EXPECT_EQ(r.err, "");
  Lines got = stats();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_GE(std::stoul(got[2].substr(std::string("bulk_in_transfers ").size())), 3u) << got[2];
  got[2] = "";
  EXPECT_EQ(got, (Lines{"bulk_out_transfers 3", "bulk_out_bytes 75", "", "bulk_in_bytes 12", "mpsse_bad_commands 0",
                        "bulk_in_answered 3", "bulk_out_stalls 0"}));
}

// A checked 2^17-bit SDR through BYPASS gets through the full buffers
// (OpenOCD reads while it writes) and fails on one flipped bit.
TEST_F(FtdiEmulator, OpenOcdSvfLongCheckedScanGetsThroughTheBuffers) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  std::vector<uint8_t> tdi(size_t(1) << 14), tdo(tdi.size());
  uint32_t seed = 12345;
  for (size_t i = 0; i < tdi.size(); ++i) {
    tdi[i] = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    tdo[i] = uint8_t(tdi[i] << 1 | (i == 0 ? 0 : tdi[i - 1] >> 7));  // one clock late, behind a captured 0
  }
  const auto hex = [](const std::vector<uint8_t> &bytes) {  // SVF's order: the last shifted first
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (auto b = bytes.rbegin(); b != bytes.rend(); ++b) text += {kDigits[*b >> 4], kDigits[*b & 0xF]};
    return text;
  };
  for (const size_t flipped : {size_t(0), size_t(100001)}) {
    std::vector<uint8_t> expected = tdo;
    if (flipped != 0) expected[flipped / 8] ^= uint8_t(1u << (flipped % 8));
    e2e::write_file(path("long.svf"),
                    "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n"
                    "SIR 8 TDI (ff) TDO (01) MASK (03);\nSDR 131072 TDI (" +
                        hex(tdi) + ") TDO (" + hex(expected) + ") MASK (" + std::string(2 * tdi.size(), 'f') + ");\n");
    sim({"reset"});
    const e2e::Result r =
        emulate({"--stats", path("stats").string()},
                {e2e::kOpenOcd, "-c", kOpenOcdFtdi + "init; svf -quiet " + path("long.svf").string() + "; shutdown"});
    EXPECT_EQ(r.status == 0, flipped == 0) << flipped << "\n" << r.err;
    EXPECT_EQ(r.err.find("tdo check error") == std::string::npos, flipped == 0) << flipped << "\n" << r.err;
    ASSERT_EQ(stats().size(), 7u);
    EXPECT_NE(stats()[6], "bulk_out_stalls 0") << flipped;
  }
}

// 16 KiB of reads written with no read in flight time out with 8 KiB in the
// chip, get through a command at a time, end at once when unplugged.
TEST_F(FtdiEmulator, WriteOfMoreReadsThanTheBuffersHoldTimesOut) {
  const struct {
    const char *mode;
    Lines options;
    int status;
    std::string out, err, stalls;
  } cases[] = {
      {"whole", {}, 1, "write timed out after 8192 of 16384 bytes\n", "", "bulk_out_stalls 1"},
      {"split", {}, 0, "16372 answers as sent\n", "", "bulk_out_stalls 0"},
      {"whole",
       {"--unplug-after-out", "2"},
       1,
       "",
       "ftdi-idcode-probe: write: LIBUSB_ERROR_NO_DEVICE\n",
       "bulk_out_stalls 1"},
  };
  for (const auto &c : cases) {
    const Clock::time_point start = Clock::now();
    const e2e::Result r = emulate(Lines{"--stats", path("stats").string()} + c.options, {kProbe, "--flood", c.mode});
    EXPECT_LT(Clock::now() - start, 5s) << c.mode;
    EXPECT_EQ(r.status, c.status) << c.mode << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.mode;
    EXPECT_EQ(r.err, c.err) << c.mode;
    ASSERT_EQ(stats().size(), 7u) << c.mode;
    EXPECT_EQ(stats()[6], c.stalls) << c.mode;
  }
}

// A bad command at the 4th opcode (0x85, 0x8A, 0x86 with its two bytes,
// 0x80) answers 0xFA and itself, and its unknown parameters do the same.
TEST_F(FtdiEmulator, BadCommandsAnswerFaAndTheirByte) {
  const e2e::Result r = emulate({"--bad-command-at", "4", "--stats", path("stats").string()}, {kProbe});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "IDCODE 0x08fa80fa\n");
  EXPECT_EQ(stats().at(4), "mpsse_bad_commands 3");
}

// Unplugged, the read fails at once; a silent chip leaves it to the
// client's 5 s bound; a client killed mid-read does not wedge the emulator.
TEST_F(FtdiEmulator, UnplugFailsTheReadAtOnceAndSilenceTimesOut) {
  const std::string kill = std::string(kProbe) + " & sleep 1; kill -9 $!; wait; exit 3";
  const std::string timeout = "ftdi-idcode-probe: no IDCODE within 5 s";
  const struct {
    std::string option;
    Lines command;
    int status;
    std::string err;
    Clock::duration at_least, below;
  } cases[] = {{"--unplug-after-out", {kProbe}, 1, timeout, 0s, 4s},
               {"--silent-after-out", {kProbe}, 1, timeout, 4500ms, 30s},
               {"--silent-after-out", {"/bin/sh", "-c", kill}, 3, "", 1s, 4s}};
  for (const auto &c : cases) {
    const Clock::time_point start = Clock::now();
    const e2e::Result r = emulate({c.option, "1", "--stats", path("stats").string()}, c.command);
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(r.status, c.status) << c.option << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.option;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.option;
    EXPECT_GE(took, c.at_least) << c.option;
    EXPECT_LT(took, c.below) << c.option;
    EXPECT_EQ(stats().at(0), "bulk_out_transfers 1") << c.option;
  }
}

// The command's exit status (128 + signal), the chips' serials and product
// ID, a bad option in one line.
TEST_F(FtdiEmulator, CommandLine) {
  const std::string none = "ftdi-idcode-probe: open: device not found\n";
  const struct {
    Lines options, command;
    int status;
    std::string out, err;
  } cases[] = {
      {{}, {"/bin/sh", "-c", "exit 7"}, 7, "", ""},
      {{}, {"/bin/sh", "-c", "kill -TERM $$"}, 143, "", ""},
      {{"--devices", "0"}, {"/bin/true"}, 1, "", "ftdi-emulator: --devices takes a number from 1 to 32\n"},
      {{"--devices", "2"}, {kProbe, "JTBX0002"}, 0, kIdcode, ""},
      {{"--devices", "2"}, {kProbe, "JTBX0003"}, 1, "", none},
      {{"--serial", "XY7"}, {kProbe, "XY7"}, 0, kIdcode, ""},
      {{"--pid", "6014"}, {kProbe}, 1, "", none},  // the probe looks for 6010
  };
  for (const auto &c : cases) {
    const e2e::Result r = emulate(c.options, c.command);
    EXPECT_EQ(r.status, c.status) << c.command.back() << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.command.back();
    EXPECT_EQ(r.err, c.err) << c.command.back();
  }
}

// --daemon serves a client, the stats written as it closes, and is gone with
// its testbed within a second of SIGTERM.
TEST_F(FtdiEmulator, DaemonServesClientsUntilSigterm) {
  e2e::EmulatedProbe daemon;
  ASSERT_TRUE(daemon.start({"--rbb", rbb(), "--stats", path("stats").string()}));
  const auto env = daemon.client_environment();
  EXPECT_EQ(exec(kProbe, "ftdi-idcode-probe", {}, env).out, kIdcode);
  const std::string counted = "bulk_out_transfers 1\n";  // an earlier close may have written 0s
  for (const auto until = Clock::now() + 1s; read_file(path("stats")).rfind(counted, 0) != 0 && Clock::now() < until;)
    ::usleep(5000);
  EXPECT_EQ(read_file(path("stats")).substr(0, counted.size()), counted);
  EXPECT_EQ(daemon.stop(1s), 0);
  EXPECT_FALSE(std::filesystem::exists(env.at("UMOCKDEV_DIR")));
}

}  // namespace
