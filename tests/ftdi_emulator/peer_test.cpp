// The emulated FT2232H checked by clients nobody here wrote: libftdi1 reads
// the first IDCODE, OpenOCD's ftdi driver finds the chain its
// remote_bitbang driver finds on the same board, OpenOCD's svf passes a
// file and fails it with one expected bit flipped, a 2^17-bit one too; a
// plain libusb client that writes more reads than the chip's buffers hold
// without reading times out; then the faults, the stats file, the exit
// status and the daemon mode.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/board_view.h"
#include "e2e/peer_tools.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const char *const kEmulator = FTDI_EMULATOR;
const char *const kProbe = FTDI_IDCODE_PROBE;
const char *const kFlowProbe = FTDI_FLOW_PROBE;

// The chain as jtag-detect prints it, from OpenOCD's autoprobe lines.
Lines autoprobe_taps(const std::string &openocd_err) {
  Lines taps;
  for (const std::string &line : e2e::split_lines(openocd_err)) {
    const size_t irlen = line.find("-irlen ");
    const size_t id = line.find("-expected-id 0x");
    if (line.find("AUTO auto") == std::string::npos || irlen == std::string::npos || id == std::string::npos) continue;
    const std::string length = line.substr(irlen + 7, line.find(' ', irlen + 7) - irlen - 7);
    taps.push_back("TAP " + std::to_string(taps.size()) + ": IDCODE " + line.substr(id + 13, 10) + ", IR length " +
                   length);
  }
  return taps;
}

class FtdiEmulator : public e2e::ServedBoardTest {
 protected:
  void SetUp() override {
    ServedBoardTest::SetUp();
    if (std::string(kProbe).empty()) {
      if (e2e::in_ci()) FAIL() << "built without libftdi1: CI must have it (scripts/install-deps.sh)";
      GTEST_SKIP() << "built without libftdi1 (libftdi1-dev)";
    }
  }
  // A fresh board in `scan_mode`, served.
  void board(const std::string &scan_mode) {
    stop();
    fresh();
    sim({"set", "scan_mode=" + scan_mode});
    serve();
  }
  std::string rbb() const { return "127.0.0.1:" + std::to_string(port_); }
  // ftdi-emulator with `options` and --rbb, running `command`.
  e2e::Result emulate(const Lines &options, const Lines &command) {
    Lines args = {"--rbb", rbb()};
    args.insert(args.end(), options.begin(), options.end());
    args.emplace_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return exec(kEmulator, "ftdi-emulator", args);
  }
  e2e::Result openocd_rbb(const std::string &commands) {
    return exec(e2e::kOpenOcd, "openocd",
                {"-c", "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                           std::to_string(port_) + "; transport select jtag; adapter speed 1000; " + commands});
  }
  e2e::Result openocd_ftdi(const std::string &commands) {
    return emulate({}, {e2e::kOpenOcd, "-c",
                        "adapter driver ftdi; ftdi vid_pid 0x0403 0x6010; ftdi layout_init 0x0008 0x000b; "
                        "adapter speed 1000; transport select jtag; " +
                            commands});
  }
};

TEST_F(FtdiEmulator, LibftdiReadsTheIdcodeNearestTdo) {
  const struct {
    std::string scan_mode, out;
  } cases[] = {{"0x01", "IDCODE 0x0bc0e06b\n"}, {"0x87", "IDCODE 0x24a56093\n"}, {"0x02", "IDCODE 0x3bc0e06b\n"}};
  for (const auto &c : cases) {
    board(c.scan_mode);
    const e2e::Result r = emulate({}, {kProbe});
    EXPECT_EQ(r.status, 0) << c.scan_mode << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.scan_mode;
    EXPECT_EQ(r.err, "") << c.scan_mode;
  }
}

TEST_F(FtdiEmulator, OpenOcdFtdiFindsTheChainItsRemoteBitbangFinds) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  const struct {
    std::string scan_mode;
    size_t taps;
  } cases[] = {{"0", 8}, {"1", 1}, {"0x07", 1}};
  for (const auto &c : cases) {
    board(c.scan_mode);
    const Lines expected = autoprobe_taps(openocd_rbb("init; shutdown").err);
    EXPECT_EQ(expected.size(), c.taps) << c.scan_mode;
    const e2e::Result r = openocd_ftdi("init; scan_chain; shutdown");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(autoprobe_taps(r.err), expected) << c.scan_mode << "\n" << r.err;
  }
}

TEST_F(FtdiEmulator, OpenOcdSvfPassesAndFailsOnAFlippedBit) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  board("0x01");
  // IDCODE after reset, then BYPASS: the nine bits come back one clock late
  // behind the bypass register's captured 0.
  const std::string svf =
      "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n"
      "SDR 32 TDI (00000000) TDO (0bc0e06b) MASK (ffffffff);\n"
      "SIR 8 TDI (ff) TDO (01) MASK (03);\n"
      "SDR 9 TDI (0a5) TDO (14a) MASK (1ff);\nRUNTEST 10 TCK;\n";
  const struct {
    const char *name;
    std::string from, to;
    bool passes;
  } cases[] = {{"as recorded", "", "", true},
               {"IDCODE bit 0 flipped", "TDO (0bc0e06b)", "TDO (0bc0e06a)", false},
               {"bypass bit 0 flipped", "TDO (14a)", "TDO (14b)", false}};
  for (const auto &c : cases) {
    std::string text = svf;
    if (!c.from.empty()) text.replace(text.find(c.from), c.from.size(), c.to);
    e2e::write_file(path("play.svf"), text);
    sim({"reset"});
    const e2e::Result r = openocd_ftdi("init; svf -quiet " + path("play.svf").string() + "; shutdown");
    EXPECT_EQ(r.status == 0, c.passes) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("tdo check error") == std::string::npos, c.passes) << c.name << "\n" << r.err;
  }
}

// An SVF line's hex number of `bits` bits (a multiple of 8) from bytes
// given first-shifted first.
std::string svf_hex(const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (auto b = bytes.rbegin(); b != bytes.rend(); ++b) {
    hex += digits[*b >> 4];
    hex += digits[*b & 0xF];
  }
  return hex;
}

// Through BYPASS each bit comes back one clock later, behind the bypass
// register's captured 0: the vector shifted up by one, its top bit lost.
std::vector<uint8_t> through_bypass(const std::vector<uint8_t> &tdi) {
  std::vector<uint8_t> tdo(tdi.size());
  unsigned carry = 0;
  for (size_t i = 0; i < tdi.size(); ++i) {
    tdo[i] = uint8_t(tdi[i] << 1 | carry);
    carry = tdi[i] >> 7;
  }
  return tdo;
}

// A checked scan of 2^17 bits: OpenOCD's ftdi driver keeps reads in flight
// while it writes, so however far the answers exceed the chip's buffers
// its transfers get through, and one flipped bit deep in the vector is
// still caught.
TEST_F(FtdiEmulator, OpenOcdSvfLongCheckedScanGetsThroughTheBuffers) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  board("0x01");
  std::vector<uint8_t> tdi(size_t(1) << 14);
  uint32_t seed = 12345;
  for (uint8_t &b : tdi) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  std::vector<uint8_t> tdo = through_bypass(tdi);
  const std::string mask(2 * tdi.size(), 'f');
  const struct {
    const char *name;
    size_t flipped_bit;  // 0: none
    bool passes;
  } cases[] = {{"as recorded", 0, true}, {"bit 100001 flipped", 100001, false}};
  for (const auto &c : cases) {
    std::vector<uint8_t> expected = tdo;
    if (c.flipped_bit != 0) expected[c.flipped_bit / 8] ^= uint8_t(1u << (c.flipped_bit % 8));
    e2e::write_file(path("long.svf"),
                    "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n"
                    "SIR 8 TDI (ff) TDO (01) MASK (03);\nSDR 131072 TDI (" +
                        svf_hex(tdi) + ") TDO (" + svf_hex(expected) + ") MASK (" + mask + ");\n");
    sim({"reset"});
    const e2e::Result r =
        emulate({"--stats", path("stats").string()},
                {e2e::kOpenOcd, "-c",
                 "adapter driver ftdi; ftdi vid_pid 0x0403 0x6010; ftdi layout_init 0x0008 0x000b; adapter speed 1000; "
                 "transport select jtag; init; svf -quiet " +
                     path("long.svf").string() + "; shutdown"});
    EXPECT_EQ(r.status == 0, c.passes) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("tdo check error") == std::string::npos, c.passes) << c.name << "\n" << r.err;
    const Lines stats = e2e::split_lines(e2e::read_file(path("stats")));
    ASSERT_EQ(stats.size(), 7u) << c.name;
    const std::string stalls = stats[6].substr(std::string("bulk_out_stalls ").size());
    EXPECT_GT(std::stoul(stalls), 0u) << c.name << ": OpenOCD's writes never met a full buffer";
    RecordProperty(std::string("stats_") + (c.passes ? "passing" : "failing"), e2e::read_file(path("stats")));
  }
}

// A synchronous client that writes 16 KiB of reads in one transfer, with
// no IN transfer in flight, waits for ever on a real FT2232H: its write
// times out, half in the chip (4096 answers waiting, 4096 bytes held).
// The same bytes written a command at a time, each one's answers read
// before the next, get through.
TEST_F(FtdiEmulator, WriteOfMoreReadsThanTheBuffersHoldTimesOut) {
  if (std::string(kFlowProbe).empty()) {
    if (e2e::in_ci()) FAIL() << "built without libusb-1.0: CI must have it (scripts/install-deps.sh)";
    GTEST_SKIP() << "built without libusb-1.0 (libusb-1.0-0-dev)";
  }
  board("0x01");
  const struct {
    const char *mode;
    Lines options;
    int status;
    std::string out, err, stalls;
  } cases[] = {
      {"whole", {}, 1, "write timed out after 8192 of 16384 bytes\n", "", "bulk_out_stalls 1"},
      {"split", {}, 0, "16372 answers as sent\n", "", "bulk_out_stalls 0"},
      // Unplugged with the write stalled in the chip: it ends at once.
      {"whole",
       {"--unplug-after-out", "2"},
       1,
       "",
       "ftdi-flow-probe: write: LIBUSB_ERROR_NO_DEVICE\n",
       "bulk_out_stalls 1"},
  };
  for (const auto &c : cases) {
    Lines options = {"--stats", path("stats").string()};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const Clock::time_point start = Clock::now();
    const e2e::Result r = emulate(options, {kFlowProbe, c.mode});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << c.mode;
    EXPECT_EQ(r.status, c.status) << c.mode << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.mode;
    EXPECT_EQ(r.err, c.err) << c.mode;
    const Lines stats = e2e::split_lines(e2e::read_file(path("stats")));
    ASSERT_EQ(stats.size(), 7u) << c.mode;
    EXPECT_EQ(stats[6], c.stalls) << c.mode;
  }
}

TEST_F(FtdiEmulator, StatsCountTheTransfers) {
  board("0x01");
  const e2e::Result r = emulate({"--stats", path("stats").string()}, {kProbe});
  ASSERT_EQ(r.status, 0) << r.err;
  const Lines stats = e2e::split_lines(e2e::read_file(path("stats")));
  ASSERT_EQ(stats.size(), 7u);
  // The probe's 25 command bytes in one transfer, its 4 IDCODE bytes back
  // in one IN transfer, whatever the status-only ones around it.
  EXPECT_EQ(stats[0], "bulk_out_transfers 1");
  EXPECT_EQ(stats[1], "bulk_out_bytes 25");
  EXPECT_EQ(stats[2].rfind("bulk_in_transfers ", 0), 0u);
  EXPECT_NE(stats[2], "bulk_in_transfers 0");
  EXPECT_EQ(stats[3], "bulk_in_bytes 4");
  EXPECT_EQ(stats[4], "mpsse_bad_commands 0");
  EXPECT_EQ(stats[5], "bulk_in_answered 1");
  EXPECT_EQ(stats[6], "bulk_out_stalls 0");
}

// Each round trip (a write, then a read of its answers) is one answered IN
// transfer, however often the client polled in between.
TEST_F(FtdiEmulator, StatsCountAnsweredInTransfersAsRoundTrips) {
  board("0x01");
  const e2e::Result r = emulate({"--stats", path("stats").string()}, {kProbe, "--rounds", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "IDCODE 0x0bc0e06b\nIDCODE 0x0bc0e06b\nIDCODE 0x0bc0e06b\n");
  const Lines stats = e2e::split_lines(e2e::read_file(path("stats")));
  ASSERT_EQ(stats.size(), 7u);
  EXPECT_EQ(stats[0], "bulk_out_transfers 3");
  EXPECT_EQ(stats[3], "bulk_in_bytes 12");
  const std::string polls = stats[2].substr(std::string("bulk_in_transfers ").size());
  EXPECT_GE(std::stoul(polls), 3u) << stats[2];
  EXPECT_EQ(stats[5], "bulk_in_answered 3");
}

TEST_F(FtdiEmulator, BadCommandsAnswerFaAndTheirByte) {
  board("0x01");
  EXPECT_EQ(emulate({}, {kProbe, "--bad"}).out, "FA AB\n");
  // The probe's first command byte (0x85) taken as unknown: its answer
  // comes before the IDCODE, whose first two bytes follow.
  const e2e::Result r = emulate({"--bad-command-at", "1", "--stats", path("stats").string()}, {kProbe});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "IDCODE 0xe06b85fa\n");
  EXPECT_EQ(e2e::split_lines(e2e::read_file(path("stats"))).at(4), "mpsse_bad_commands 1");
}

TEST_F(FtdiEmulator, UnplugFailsTheReadAtOnceAndSilenceTimesOut) {
  board("0x01");
  Clock::time_point start = Clock::now();
  const e2e::Result unplugged = emulate({"--unplug-after-out", "1"}, {kProbe});
  const auto unplug_time = Clock::now() - start;
  EXPECT_EQ(unplugged.status, 1);
  EXPECT_EQ(unplugged.out, "");
  EXPECT_EQ(unplugged.err.rfind("ftdi-idcode-probe: no IDCODE within 5 s", 0), 0u) << unplugged.err;
  EXPECT_LT(unplug_time, std::chrono::seconds(4));

  start = Clock::now();
  const e2e::Result silent = emulate({"--silent-after-out", "1"}, {kProbe});
  const auto silent_time = Clock::now() - start;
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.err.rfind("ftdi-idcode-probe: no IDCODE within 5 s", 0), 0u) << silent.err;
  EXPECT_GE(silent_time, std::chrono::milliseconds(4500));
  EXPECT_LT(silent_time, std::chrono::seconds(30));
}

// A client killed while its read is in flight leaves the emulator free to
// finish: the command's status comes back at once, the stats are written.
TEST_F(FtdiEmulator, ClientKilledMidTransferDoesNotWedgeTheEmulator) {
  board("0x01");
  const Clock::time_point start = Clock::now();
  const e2e::Result r = emulate({"--silent-after-out", "1", "--stats", path("stats").string()},
                                {"/bin/sh", "-c", std::string(kProbe) + " & sleep 1; kill -9 $!; wait; exit 3"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(e2e::split_lines(e2e::read_file(path("stats"))).front(), "bulk_out_transfers 1");
}

TEST_F(FtdiEmulator, SeveralChipsEachWithItsSerial) {
  board("0x01");
  const struct {
    std::string serial;
    int status;
    std::string out;
  } cases[] = {{"JTBX0001", 0, "IDCODE 0x0bc0e06b\n"}, {"JTBX0002", 0, "IDCODE 0x0bc0e06b\n"}, {"JTBX0003", 1, ""}};
  for (const auto &c : cases) {
    const e2e::Result r = emulate({"--devices", "2"}, {kProbe, c.serial});
    EXPECT_EQ(r.status, c.status) << c.serial << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.serial;
    EXPECT_EQ(r.err, c.status == 0 ? "" : "ftdi-idcode-probe: open: device not found\n") << c.serial;
  }
  const e2e::Result other = emulate({"--serial", "XY7"}, {kProbe, "XY7"});
  EXPECT_EQ(other.out, "IDCODE 0x0bc0e06b\n") << other.err;
  // Another product ID: the probe, looking for 6010, finds nothing.
  const e2e::Result ft232h = emulate({"--pid", "6014"}, {kProbe});
  EXPECT_EQ(ft232h.status, 1);
  EXPECT_EQ(ft232h.err, "ftdi-idcode-probe: open: device not found\n");
}

TEST_F(FtdiEmulator, ExitStatusIsTheCommands) {
  const struct {
    std::string script;
    int status;
  } cases[] = {{"exit 0", 0}, {"exit 7", 7}, {"kill -TERM $$", 143}};
  for (const auto &c : cases)
    EXPECT_EQ(exec(kEmulator, "ftdi-emulator", {"--", "/bin/sh", "-c", c.script}).status, c.status) << c.script;
  const e2e::Result bad = exec(kEmulator, "ftdi-emulator", {"--devices", "0", "--", "/bin/true"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "ftdi-emulator: --devices takes a number from 1 to 32\n");
}

// --daemon: READY after the testbed's directory, clients one after another
// with that environment, gone within a second of SIGTERM with its testbed.
TEST_F(FtdiEmulator, DaemonServesClientsUntilSigterm) {
  board("0x01");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string rbb_arg = rbb();
  const std::string stats = path("stats").string();
  const pid_t daemon = ::fork();
  if (daemon == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(kEmulator, "ftdi-emulator", "--rbb", rbb_arg.c_str(), "--stats", stats.c_str(), "--daemon",
            static_cast<char *>(nullptr));
    _exit(127);
  }
  ::close(out[1]);
  std::string said;
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
  while (said.find("READY\n") == std::string::npos && Clock::now() < limit) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, size_t(n));
  }
  ::close(out[0]);
  const Lines lines = e2e::split_lines(said);
  ASSERT_EQ(lines.size(), 2u) << said;
  ASSERT_EQ(lines[0].rfind("UMOCKDEV_DIR=", 0), 0u);
  EXPECT_EQ(lines[1], "READY");
  const std::string dir = lines[0].substr(13);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  for (int i = 0; i < 2; ++i) {
    // As the emulator does for its own command: an AddressSanitizer build
    // of the probe must accept the preload before its runtime.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_options =
        (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0";
    const e2e::Result r =
        exec(kProbe, "ftdi-idcode-probe", {},
             {{"UMOCKDEV_DIR", dir}, {"LD_PRELOAD", "libumockdev-preload.so"}, {"ASAN_OPTIONS", asan_options}});
    EXPECT_EQ(r.out, "IDCODE 0x0bc0e06b\n") << "client " << i << ": " << r.err;
    // The stats follow each client's close within a tick.
    const std::string counted = "bulk_out_transfers " + std::to_string(i + 1);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
    while (e2e::read_file(stats).rfind(counted, 0) != 0 && Clock::now() < until) ::usleep(5000);
    EXPECT_EQ(e2e::split_lines(e2e::read_file(stats)).front(), counted);
  }
  const Clock::time_point stopping = Clock::now();
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  int status = 0;
  while (::waitpid(daemon, &status, WNOHANG) == 0 && Clock::now() < stopping + std::chrono::seconds(5)) ::usleep(10000);
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(1));
  if (::waitpid(daemon, &status, WNOHANG) == 0) {
    ::kill(daemon, SIGKILL);
    ::waitpid(daemon, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
