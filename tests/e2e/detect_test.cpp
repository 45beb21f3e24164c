// jtag-detect against the board, and against OpenOCD's autoprobe of the
// same chain through jtag-sim serve: the same TAPs, IDCODEs and IR lengths
// in the same order.
#include <string>
#include <vector>

#include "board_view.h"
#include "peer_tools.h"
#include "support/emulated_probe.h"

namespace {

using Lines = std::vector<std::string>;

struct DetectCase {
  std::string scan_mode;
  std::string device;  // one device of the chain
  int status;
  std::string out;
  std::string err;
};

class Detect : public e2e::FreshBoardTest {};

// The first line of a probe that names its chip and clock: the emulated
// FT2232H at the default 1000 kHz.
std::string adapter_line() {
  return e2e::backend() == "ftdi"
             ? std::string("FTDI probe 0403:6010 ") + e2e::kProbeSerial + " channel A (FT2232H): TCK 1000 kHz\n"
             : "";
}

TEST_F(Detect, ListsTheChainOfEachScanMode) {
  const std::vector<DetectCase> cases = {
      {"0x01", "cpu0", 0,
       "TAP 0: IDCODE 0x0bc0e06b, IR length 8\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 8 bits in all\n", ""},
      {"0x87", "vnx2", 0,
       "TAP 0: IDCODE 0x24a56093, IR length 6\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 6 bits in all\n", ""},
      {"0x02", "cpu3", 0,
       "TAP 0: IDCODE 0x3bc0e06b, IR length 8\nTAP 1: IDCODE 0x2bc0e06b, IR length 8\n"
       "TAP 2: IDCODE 0x1bc0e06b, IR length 8\nTAP 3: IDCODE 0x0bc0e06b, IR length 8\n"
       "4 TAPs (4 with IDCODE, 0 BYPASS only), IR 32 bits in all\n",
       ""},
      {"0x06", "cpu0", 1, "", "jtag-detect: TDO stuck at 1: no device answers\n"},
  };
  for (const DetectCase &c : cases) {
    fresh();
    sim({"set", "scan_mode=" + c.scan_mode});
    const e2e::Result r = exec(e2e::bin("jtag-detect"), "jtag-detect", {});
    EXPECT_EQ(r.status, c.status) << c.scan_mode;
    EXPECT_EQ(r.out, c.out.empty() ? "" : adapter_line() + c.out) << c.scan_mode;
    EXPECT_EQ(r.err, c.err) << c.scan_mode;
    // The chain is left in Test-Logic-Reset, with IDCODE in force.
    EXPECT_EQ(tap(c.device), "Test-Logic-Reset, IR 0x02") << c.scan_mode;
  }
}

TEST_F(Detect, RefusesArguments) {
  const e2e::Result r = exec(e2e::bin("jtag-detect"), "jtag-detect", {"extra"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("jtag-detect: takes no arguments\n", 0), 0u) << r.err;
}

class DetectAgainstOpenOcd : public e2e::ServedBoardTest {
 protected:
  // OpenOCD's autoprobe of the served chain, as jtag-detect would print it.
  Lines autoprobe() {
    const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                              std::to_string(port_) + "; transport select jtag; adapter speed 1000; ";
    const e2e::Result r = exec(e2e::kOpenOcd, "openocd", {"-c", setup + "init; shutdown"});
    Lines taps;
    for (const std::string &line : e2e::split_lines(r.err)) {
      const size_t irlen = line.find("-irlen ");
      const size_t id = line.find("-expected-id 0x");
      if (line.find("AUTO auto") == std::string::npos || irlen == std::string::npos || id == std::string::npos)
        continue;
      const std::string length = line.substr(irlen + 7, line.find(' ', irlen + 7) - irlen - 7);
      taps.push_back("TAP " + std::to_string(taps.size()) + ": IDCODE " + line.substr(id + 13, 10) + ", IR length " +
                     length);
    }
    return taps;
  }
};

TEST_F(DetectAgainstOpenOcd, SameTapsInTheSameOrder) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  const struct {
    std::string scan_mode;
    size_t taps;
  } cases[] = {{"0", 8}, {"1", 1}, {"0x07", 1}};
  for (const auto &c : cases) {
    fresh();
    sim({"set", "scan_mode=" + c.scan_mode});
    serve();
    const Lines expected = autoprobe();
    EXPECT_EQ(expected.size(), c.taps) << c.scan_mode;
    const e2e::Result r = over_wire("jtag-detect", {});
    EXPECT_EQ(r.status, 0) << r.err;
    Lines found = e2e::split_lines(r.out);
    ASSERT_FALSE(found.empty());
    found.pop_back();  // the totals
    EXPECT_EQ(found, expected) << c.scan_mode;
    stop();
  }
}

}  // namespace
