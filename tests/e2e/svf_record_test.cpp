// JTAG_SVF: what the commands did on the wire as SVF, appended process by
// process, and played back by OpenOCD's svf command against a board in the
// same starting state: every TDO check passes, and one flipped expected bit
// fails.  In the suite's rerun over the wire the recording cases check the
// platform's recorder on the rbb backend.
#include <filesystem>
#include <string>
#include <vector>

#include "board_view.h"
#include "peer_tools.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kHeader = "! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n";

class SvfRecord : public e2e::FreshBoardTest {
 protected:
  // Runs each command with JTAG_SVF=`svf`; every one must succeed.
  void record(const std::filesystem::path &svf, const std::vector<Lines> &commands) {
    env_["JTAG_SVF"] = svf.string();
    for (const Lines &c : commands) {
      const e2e::Result r = run(c[0], Lines(c.begin() + 1, c.end()));
      EXPECT_EQ(r.status, 0) << c[0] << ": " << r.err;
    }
    env_.erase("JTAG_SVF");
  }
};

TEST_F(SvfRecord, FileHoldsTheStatementsOfEachProcess) {
  const struct {
    std::vector<Lines> commands;
    std::string svf;
  } cases[] = {
      {{{"JTAG_Reset"}, {"JTAG_LoadIR", "3d"}, {"JTAG_Shift", "a3", "8"}},
       kHeader + "! JTAG_Reset\nSTATE RESET;\nSTATE IDLE;\nENDDR IDLE;\nSDR 32 TDI (aaaaaaaa) TDO (0bc0e06b) MASK "
                 "(ffffffff);\n"
                 "! JTAG_LoadIR\nENDIR IDLE;\nSIR 8 TDI (3d) TDO (01) MASK (ff);\n"
                 "! JTAG_Shift\nENDDR IDLE;\nSDR 8 TDI (a3) TDO (46) MASK (ff);\n"},
      // Select-DR-Scan is left to the next process, which walks on from it.
      {{{"JTAG_TMS", "0"}, {"JTAG_TMS", "1"}, {"JTAG_Tck", "3"}},
       kHeader + "! JTAG_TMS\nSTATE RESET;\nSTATE IDLE;\n! JTAG_TMS\n! JTAG_Tck\nSTATE RESET;\n"},
      // A scan left in Exit1-DR ends in Pause-DR; Capture-DR is left to the
      // next process.
      {{{"JTAG_TMS", "0"}, {"JTAG_TMS", "1"}, {"JTAG_TMS", "0"}, {"JTAG_CapDR_To_Exit1DR", "0c", "4", "o.hex"}},
       kHeader + "! JTAG_TMS\nSTATE RESET;\nSTATE IDLE;\n! JTAG_TMS\n! JTAG_TMS\n"
                 "! JTAG_CapDR_To_Exit1DR\nENDDR DRPAUSE;\nSDR 4 TDI (0) TDO (b) MASK (f);\n"},
      // Shift-DR left: the capture, in Pause-DR; the next process goes on
      // shifting without a capture, its first TCK's TDO unread, out of the
      // IDCODE captured by the process before (0x...6b).
      {{{"JTAG_TMS", "0"},
        {"JTAG_TMS", "1"},
        {"JTAG_TMS", "0"},
        {"JTAG_TMS", "0"},
        {"JTAG_CapDR_To_Exit1DR", "0c", "4", "o.hex"}},
       kHeader +
           "! JTAG_TMS\nSTATE RESET;\nSTATE IDLE;\n! JTAG_TMS\n! JTAG_TMS\n! JTAG_TMS\n"
           "STATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\n! JTAG_CapDR_To_Exit1DR\n"
           "! the scan goes on from Pause-DR without a capture\nENDDR DRPAUSE;\nSDR 5 TDI (01) TDO (0a) MASK (1e);\n"},
  };
  for (const auto &c : cases) {
    fresh();
    const std::filesystem::path svf = path("case.svf");
    std::filesystem::remove(svf);
    record(svf, c.commands);
    EXPECT_EQ(e2e::read_file(svf), c.svf) << c.commands[0][0];
  }
}

// What the board does beside the TAP is a comment (the simulated board's
// services; a bare adapter has none).
TEST_F(SvfRecord, ServicesAreComments) {
  JTAGBOX_SIM_ONLY();  // the remote_bitbang backend has no scan-mode selection
  const std::filesystem::path svf = path("services.svf");
  record(svf, {{"JTAG_VNXSelect", "1"}});
  EXPECT_EQ(e2e::read_file(svf),
            kHeader +
                "! JTAG_VNXSelect\nSTATE RESET;\n! scan mode selected: 0x47, the chain reaches other devices "
                "from here\n");
}

TEST_F(SvfRecord, UnwritableFileFailsTheCommand) {
  env_["JTAG_SVF"] = "/dev/full";
  const e2e::Result full = run("JTAG_TMS", {"0"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "jtagbox: cannot write SVF record /dev/full: No space left on device\n");

  e2e::write_file(path("target"), "keep");
  std::filesystem::create_symlink(path("target"), path("link"));
  env_["JTAG_SVF"] = path("link").string();
  const e2e::Result link = run("JTAG_TMS", {"0"});
  EXPECT_EQ(link.status, 1);
  EXPECT_EQ(link.err, "jtagbox: cannot open SVF record " + path("link").string() + ": it is a symbolic link\n");
  EXPECT_EQ(e2e::read_file(path("target")), "keep");
}

class SvfPlayedByOpenOcd : public e2e::ServedBoardTest {
 protected:
  // OpenOCD's svf command over remote_bitbang against the served board,
  // powered up afresh first.
  e2e::Result play(const std::filesystem::path &svf) {
    sim({"reset"});
    const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                              std::to_string(port_) + "; transport select jtag; adapter speed 1000; ";
    return exec(e2e::kOpenOcd, "openocd", {"-c", setup + "init; svf -quiet " + svf.string() + "; shutdown"});
  }
};

TEST_F(SvfPlayedByOpenOcd, SessionPassesEveryCheckAndAFlippedBitFails) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  const std::filesystem::path svf = path("session.svf");
  const std::vector<Lines> session = {{"JTAG_Reset"},
                                      {"JTAG_LoadIR", "3d"},
                                      {"JTAG_WriteCreg", "10", "1234abcd"},
                                      {"JTAG_ReadCreg", "10"},
                                      {"JTAG_ScanDump", "0c", "100", "dump.hex"}};
  env_["JTAG_SVF"] = svf.string();
  for (const Lines &c : session) ASSERT_EQ(run(c[0], Lines(c.begin() + 1, c.end())).status, 0) << c[0];
  env_.erase("JTAG_SVF");
  const std::string text = e2e::read_file(svf);
  const std::string read_back = "TDO (000000001234abcd)";
  ASSERT_NE(text.find(read_back), std::string::npos) << text;

  serve();
  const e2e::Result good = play(svf);
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.err.find("tdo check error"), std::string::npos) << good.err;

  std::string flipped = text;
  flipped.replace(flipped.find(read_back), read_back.size(), "TDO (000000001234abcc)");
  e2e::write_file(path("flipped.svf"), flipped);
  const e2e::Result bad = play(path("flipped.svf"));
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("tdo check error"), std::string::npos) << bad.err;
}

}  // namespace
