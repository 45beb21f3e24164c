// JTAG_WAVE: the commands' TCKs as a VCD file, read back by sigrok-cli's
// JTAG decoder, which follows the TAP from TMS and collects the bits on
// TDI and TDO in the Shift states.  In the suite's rerun over the wire the
// same cases check the platform's recorder on the rbb backend.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "board_view.h"
#include "peer_tools.h"

namespace {

using Lines = std::vector<std::string>;

class Wave : public e2e::FreshBoardTest {
 protected:
  // The annotations of the given rows that sigrok-cli's decoder makes of
  // `vcd`, without the "jtag-1: " in front.
  Lines decode(const std::filesystem::path &vcd, const std::string &rows) {
    const e2e::Result r = exec(e2e::kSigrokCli, "sigrok-cli",
                               {"-l", "1", "-I", "vcd", "-i", vcd.string(), "-P",
                                "jtag:tdi=tdi:tdo=tdo:tck=tck:tms=tms", "-A", "jtag=" + rows});
    EXPECT_EQ(r.status, 0) << r.err;
    Lines out;
    for (const std::string &line : e2e::split_lines(r.out))
      out.push_back(line.rfind("jtag-1: ", 0) == 0 ? line.substr(8) : line);
    return out;
  }
};

// Consecutive equal lines once.
Lines squeeze(const Lines &lines) {
  Lines out;
  for (const std::string &l : lines)
    if (out.empty() || out.back() != l) out.push_back(l);
  return out;
}

struct DecodeCase {
  Lines args;  // the command and its arguments
  std::string rows;
  Lines expected;  // the decoder's annotations, in order
};

TEST_F(Wave, DecoderSeesTheWalksAndTheBits) {
  JTAGBOX_NEED_PEER(e2e::kSigrokCli);
  const std::vector<DecodeCase> cases = {
      // The decoder starts in Run-Test/Idle; five TMS-high TCKs reach
      // Test-Logic-Reset, then the IDCODE scan.
      {{"JTAG_Reset", "-d"},
       "states",
       {"SELECT-DR-SCAN", "SELECT-IR-SCAN", "TEST-LOGIC-RESET", "RUN-TEST/IDLE", "SELECT-DR-SCAN", "CAPTURE-DR",
        "SHIFT-DR", "EXIT1-DR", "UPDATE-DR"}},
      {{"JTAG_Reset", "-d"}, "bitstrings-tdo", {"DR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits"}},
      {{"JTAG_LoadIR", "3d"}, "bitstrings-tdi", {"IR TDI: 00111101 (0x3d), 8 bits"}},
      // A bulk shift is recorded bit by bit like the others; BYPASS after
      // the instruction the reset left (IDCODE) gives the IDCODE's first bits.
      {{"JTAG_Shift", "a3", "8", "-a"},
       "bitstrings-tdi:bitstrings-tdo",
       {"DR TDI: 10100011 (0xa3), 8 bits", "DR TDO: 01101011 (0x6b), 8 bits"}},
  };
  for (const DecodeCase &c : cases) {
    fresh();
    const std::filesystem::path vcd = path("case.vcd");
    env_["JTAG_WAVE"] = vcd.string();
    const e2e::Result r = run(c.args[0], Lines(c.args.begin() + 1, c.args.end()));
    env_.erase("JTAG_WAVE");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(squeeze(decode(vcd, c.rows)), c.expected) << ::testing::PrintToString(c.args);
  }
}

// The values a VCD file gives the variable named `name`, in order: its
// identifier from the $var line, then every change of it.
Lines changes_of(const std::string &vcd, const std::string &name) {
  std::string id;
  Lines values;
  for (const std::string &line : e2e::split_lines(vcd)) {
    std::istringstream words(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    if (w.size() == 6 && w[0] == "$var" && w[4] == name) id = w[3];
    if (!id.empty() && w.size() == 2 && w[1] == id && w[0].size() > 1 && w[0][0] == 's')
      values.push_back(w[0].substr(1));
  }
  return values;
}

// The file as another program reads it: sigrok-cli's VCD input finds the
// four lines at two samples a TCK (1 us a TCK, falling then rising), one
// TCK for each the command gave; and the TAP states written beside them
// run from where the board's TAP was to where the command left it.
TEST_F(Wave, ReaderFindsTheLinesAtTwoSamplesPerTck) {
  JTAGBOX_NEED_PEER(e2e::kSigrokCli);
  sim({"set", "tms=0"});  // five TCKs from Test-Logic-Reset into Run-Test/Idle
  const std::string before = get("cpu0.tap");
  const std::filesystem::path vcd = path("tck.vcd");
  env_["JTAG_WAVE"] = vcd.string();
  const e2e::Result r = run("JTAG_Tck", {"5"});
  env_.erase("JTAG_WAVE");
  ASSERT_EQ(r.status, 0) << r.err;

  const auto sigrok = [&](const Lines &args) {
    Lines all = {"-I", "vcd", "-i", vcd.string()};
    all.insert(all.end(), args.begin(), args.end());
    const e2e::Result out = exec(e2e::kSigrokCli, "sigrok-cli", all);
    EXPECT_EQ(out.status, 0) << out.err;
    return e2e::split_lines(out.out);
  };
  const Lines shown = sigrok({"--show"});
  const Lines expected_show = {"Samplerate: 2000000", "Channels: 4",  "- tck: logic",
                               "- tms: logic",        "- tdi: logic", "- tdo: logic"};
  for (const std::string &line : expected_show)
    EXPECT_NE(std::find(shown.begin(), shown.end(), line), shown.end()) << line << " in\n"
                                                                        << ::testing::PrintToString(shown);
  std::map<std::string, std::string> samples;  // channel: its samples, 0 and 1
  for (const std::string &line : sigrok({"-O", "bits"})) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && line.find_first_not_of("01 ", colon + 1) == std::string::npos)
      for (const char c : line.substr(colon + 1))
        if (c != ' ') samples[line.substr(0, colon)] += c;  // in groups of 8
  }
  EXPECT_EQ(samples["tck"], "0101010101");
  EXPECT_EQ(samples["tms"], "0000000000");

  const Lines states = changes_of(e2e::read_file(vcd), "state");
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), before);
  EXPECT_EQ(states.back(), get("cpu0.tap"));
}

// A recorder that cannot write, or whose file is a planted link, fails the
// command with one line; the link's target is left alone.
TEST_F(Wave, UnwritableFileFailsTheCommand) {
  env_["JTAG_WAVE"] = "/dev/full";
  const e2e::Result full = run("JTAG_TMS", {"0"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "jtagbox: cannot write waveform /dev/full: No space left on device\n");

  e2e::write_file(path("target"), "keep");
  std::filesystem::create_symlink(path("target"), path("link"));
  env_["JTAG_WAVE"] = path("link").string();
  const e2e::Result link = run("JTAG_TMS", {"0"});
  EXPECT_EQ(link.status, 1);
  EXPECT_EQ(link.err, "jtagbox: cannot open waveform " + path("link").string() + ": it is a symbolic link\n");
  EXPECT_EQ(e2e::read_file(path("target")), "keep");
}

// The server's own recording, across two clients.
class ServedWave : public e2e::ServedBoardTest {};

TEST_F(ServedWave, ServerRecordsWhatItSeesAcrossClients) {
  JTAGBOX_NEED_PEER(e2e::kSigrokCli);
  const std::filesystem::path vcd = path("serve.vcd");
  port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err"), {"--wave", vcd.string()});
  ASSERT_NE(port_, 0) << serve_err();
  const e2e::Result reset = over_wire("JTAG_Reset", {"-d"});
  ASSERT_EQ(reset.status, 0) << reset.err;
  const e2e::Result load = over_wire("JTAG_LoadIR", {"3d"});
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
  // The server knows TDO on every edge, so the IR scan's TDO shows the
  // captured 01 pattern too.
  const e2e::Result r = exec(e2e::kSigrokCli, "sigrok-cli",
                             {"-l", "1", "-I", "vcd", "-i", vcd.string(), "-P", "jtag:tdi=tdi:tdo=tdo:tck=tck:tms=tms",
                              "-A", "jtag=bitstrings-tdi:bitstrings-tdo"});
  EXPECT_EQ(r.out,
            "jtag-1: DR TDI: 10101010101010101010101010101010 (0xaaaaaaaa), 32 bits\n"
            "jtag-1: DR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits\n"
            "jtag-1: IR TDI: 00111101 (0x3d), 8 bits\n"
            "jtag-1: IR TDO: 00000001 (0x1), 8 bits\n");
}

TEST_F(ServedWave, ServerWaveFailuresAreReported) {
  const struct {
    Lines args;
    int status;
    std::string err;
  } cases[] = {
      {{"serve", "--wave"}, 2, "serve takes only --port N and --wave FILE"},
      {{"serve", "--port", "0", "--wave", "/nonexistent/w.vcd"},
       1,
       "jtag-sim serve: cannot open waveform /nonexistent/w.vcd: No such file or directory\n"},
  };
  for (const auto &c : cases) {
    const e2e::Result r = exec(e2e::bin("jtag-sim"), "jtag-sim", c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  // A disk that fills while serving stops the server with one line, and
  // the client whose bits were not recorded is never told its run went
  // through, however short the run.
  port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err"), {"--wave", "/dev/full"});
  ASSERT_NE(port_, 0) << serve_err();
  const e2e::Result client = over_wire("JTAG_TMS", {"0"});
  EXPECT_EQ(client.status, 1);
  EXPECT_EQ(client.err,
            "jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + ": closed the connection\n");
  EXPECT_EQ(stop(), 1);
  EXPECT_EQ(serve_err(), "jtag-sim serve: cannot write waveform /dev/full: No space left on device\n");
}

}  // namespace
