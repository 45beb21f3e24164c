// jtag-serve: the board over Xilinx Virtual Cable and over remote_bitbang.
// Raw XVC requests read the IDCODE whether the scan comes in one vector or
// is cut across two; bad requests drop the client with one line and the
// next is served; openFPGALoader's XVC client reads the IDCODE; OpenOCD
// plays an SVF of megabytes over remote_bitbang to jtag-serve and to
// jtag-sim serve, which must read ahead of what they apply.
#include <cstdint>
#include <string>
#include <vector>

#include "board_view.h"
#include "peer_tools.h"
#include "support/xvc_peer.h"

namespace {

using Lines = std::vector<std::string>;

const char *const kOpenFpgaLoader = "/usr/bin/openFPGALoader";
constexpr uint32_t kCpu0Idcode = 0x0bc0e06b;

std::string u32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
  return s;
}

// A shift request: TMS as a string of '0'/'1' (TCK 0 first), TDI all low.
std::string shift_request(const std::string &tms) {
  const size_t bytes = (tms.size() + 7) / 8;
  std::string tms_vector(bytes, '\0');
  for (size_t i = 0; i < tms.size(); ++i)
    if (tms[i] == '1') tms_vector[i / 8] = char(tms_vector[i / 8] | (1 << (i % 8)));
  return "shift:" + u32(uint32_t(tms.size())) + tms_vector + std::string(bytes, '\0');
}

uint32_t bits_of(const std::string &tdo, size_t from, size_t count) {
  uint32_t v = 0;
  for (size_t i = 0; i < count; ++i)
    if ((static_cast<unsigned char>(tdo[(from + i) / 8]) >> ((from + i) % 8)) & 1) v |= uint32_t{1} << i;
  return v;
}

class JtagServe : public e2e::ServedBoardTest {
 protected:
  // jtag-serve with `args` on this test's board; its standard error to
  // serve.err.  Returns the first port printed.
  int start(const Lines &args, int more = 0) {
    Lines argv = {"jtag-serve"};
    argv.insert(argv.end(), args.begin(), args.end());
    port_ = serving_.start_program("jtag-serve", argv, env_["JTAG_PLATFORM"], path("serve.err"), more);
    return port_;
  }
};

// Test-Logic-Reset to Shift-DR, 32 TCKs of IDCODE, through Update-DR to
// Run-Test/Idle: 38 TCKs, the IDCODE on TDO from TCK 4.
const std::string kIdcodeTms = "0100" + std::string(31, '0') + "1" + "10";

TEST_F(JtagServe, XvcReadsTheIdcodeInOneVectorOrCutAcrossTwo) {
  const struct {
    std::string label;
    std::vector<size_t> cuts;  // where one shift request ends and the next starts
  } cases[] = {{"one vector", {}}, {"cut in Shift-DR", {20}}, {"cut at each TCK of the scan", {4, 5, 6, 30, 36}}};
  for (const auto &c : cases) {
    fresh();
    sim({"set", "scan_mode=0x01"});
    ASSERT_NE(start({"--xvc", "0"}), 0);
    e2e::RawClient client(port_);
    ASSERT_TRUE(client.connected());
    // Two requests in one write: both answered, in order.
    ASSERT_TRUE(client.send("getinfo:settck:" + u32(100)));
    EXPECT_EQ(client.read(25, std::chrono::milliseconds(1000)), "xvcServer_v1.0:65536\n" + u32(100))
        << "the period asked is the period used";
    std::string tdo;
    size_t from = 0;
    std::vector<size_t> ends = c.cuts;
    ends.push_back(kIdcodeTms.size());
    for (const size_t end : ends) {
      const std::string part = kIdcodeTms.substr(from, end - from);
      ASSERT_TRUE(client.send(shift_request(part)));
      const std::string answer = client.read((part.size() + 7) / 8);
      ASSERT_EQ(answer.size(), (part.size() + 7) / 8) << c.label;
      for (size_t i = 0; i < part.size(); ++i)  // repack at bit `from`
        if ((static_cast<unsigned char>(answer[i / 8]) >> (i % 8)) & 1) {
          tdo.resize(5, '\0');
          tdo[(from + i) / 8] = char(tdo[(from + i) / 8] | (1 << ((from + i) % 8)));
        }
      from = end;
    }
    tdo.resize(5, '\0');
    EXPECT_EQ(bits_of(tdo, 4, 32), kCpu0Idcode) << c.label;
    client.close();
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02") << c.label;
    EXPECT_EQ(serve_err(), "") << c.label;
  }
}

TEST_F(JtagServe, BadXvcRequestsDropTheClientWithOneLineAndTheNextIsServed) {
  const struct {
    std::string request;
    std::string line;
  } cases[] = {
      {"hello!!!", "jtag-serve: dropped an XVC client that sent \"hello!!!\", which is no XVC 1.0 request\n"},
      {"getinfo:\x01", "jtag-serve: dropped an XVC client that sent \"\\x01\", which is no XVC 1.0 request\n"},
      {"shift:" + u32(524289),
       "jtag-serve: dropped an XVC client that asked for a shift of 524289 bits, more than the 524288 offered\n"},
  };
  for (const auto &c : cases) {
    ASSERT_NE(start({"--xvc", "0"}), 0);
    {
      e2e::RawClient bad(port_);
      ASSERT_TRUE(bad.send(c.request));
      const std::string rest = bad.read_to_end();
      EXPECT_TRUE(rest.empty() || rest == "xvcServer_v1.0:65536\n") << rest;
    }
    e2e::RawClient next(port_);
    ASSERT_TRUE(next.send("getinfo:"));
    EXPECT_EQ(next.read(21), "xvcServer_v1.0:65536\n");
    next.close();
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(serve_err(), c.line);
  }
}

// A client that sends shifts and never reads their answers is dropped once
// an answer has not moved for 5 s, and the board is left to commands.
TEST_F(JtagServe, XvcClientThatStopsReadingIsDropped) {
  ASSERT_NE(start({"--xvc", "0"}), 0);
  e2e::RawClient greedy(port_);
  const std::string idle_shift = shift_request(std::string(size_t{1} << 19, '0'));  // Run-Test/Idle throughout
  const auto begin = std::chrono::steady_clock::now();
  const size_t burst = size_t{256} << 20;  // far more than every socket buffer on the way
  EXPECT_LT(greedy.flood(idle_shift, burst, std::chrono::seconds(40)), burst);
  const std::string line = "jtag-serve: dropped a client that left its answers unread for 5 s\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (serve_err() != line && std::chrono::steady_clock::now() < deadline) ::usleep(50000);
  EXPECT_EQ(serve_err(), line);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(4500));
  e2e::RawClient next(port_);
  ASSERT_TRUE(next.send("getinfo:"));
  EXPECT_EQ(next.read(21), "xvcServer_v1.0:65536\n");
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
}

// SIGTERM ends the server within a second while an XVC client holds the
// board, and the board keeps what the client's shifts did.
TEST_F(JtagServe, StopSignalEndsTheXvcServerAndSavesTheBoard) {
  ASSERT_NE(start({"--xvc", "0"}), 0);
  e2e::RawClient client(port_);
  ASSERT_TRUE(client.send(shift_request("010")));  // Test-Logic-Reset to Capture-DR
  EXPECT_EQ(client.read(1).size(), 1u);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  EXPECT_EQ(tap("cpu0"), "Capture-DR, IR 0x02");
  EXPECT_EQ(serve_err(), "");
}

TEST_F(JtagServe, PortsComeOutInTheOrderOfTheOptions) {
  ASSERT_NE(start({"--rbb", "0", "--xvc", "0"}, 1), 0);
  ASSERT_EQ(serving_.more_ports().size(), 1u);
  {  // one client at a time: each is done before the next connects
    e2e::RawClient xvc(serving_.more_ports()[0]);
    ASSERT_TRUE(xvc.send("getinfo:"));
    EXPECT_EQ(xvc.read(21), "xvcServer_v1.0:65536\n");
  }
  e2e::RawClient rbb(port_);
  ASSERT_TRUE(rbb.send("R"));
  EXPECT_EQ(rbb.read(1), "1") << "TDO of the chain in Test-Logic-Reset rests high";
}

TEST_F(JtagServe, CommandLineErrors) {
  const struct {
    Lines args;
    std::map<std::string, std::string> env;
    std::string err;
  } cases[] = {
      {{}, {}, "jtag-serve: give --rbb PORT, --xvc PORT or both\nTry 'jtag-serve --help'.\n"},
      {{"--xvc", "65536"}, {}, "jtag-serve: bad port '65536'\nTry 'jtag-serve --help'.\n"},
      {{"--rbb"}, {}, "jtag-serve: --rbb needs a value\nTry 'jtag-serve --help'.\n"},
      {{"--wave", "w.vcd", "--tcp", "0"}, {}, "jtag-serve: unknown option '--tcp'\nTry 'jtag-serve --help'.\n"},
  };
  for (const auto &c : cases) {
    const e2e::Result r = exec(e2e::bin("jtag-serve"), "jtag-serve", c.args, c.env);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  // 192.0.2.1 is a documentation address, never one of this machine's.
  const e2e::Result foreign = exec(e2e::bin("jtag-serve"), "jtag-serve", {"--xvc", "0", "--listen", "192.0.2.1"});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_EQ(foreign.out, "");
  EXPECT_EQ(foreign.err, "jtag-serve: cannot listen on 192.0.2.1:0: Cannot assign requested address\n");
}

// remote_bitbang in front of a board that is no simulated board: here the
// simulated board behind jtag-serve --xvc, reached through xvc:.  A read is
// answered by the TCK after it, which OpenOCD's autoprobe and jtag-detect
// both rely on.
TEST_F(JtagServe, RemoteBitbangInFrontOfAnXvcBoard) {
  sim({"set", "scan_mode=0x01"});
  ASSERT_NE(start({"--xvc", "0"}), 0);
  e2e::ServeProcess front;
  const int rbb = front.start_program("jtag-serve", {"jtag-serve", "--rbb", "0"},
                                      "xvc:127.0.0.1:" + std::to_string(port_), path("front.err"));
  ASSERT_NE(rbb, 0);
  const e2e::Result detect =
      exec(e2e::bin("jtag-detect"), "jtag-detect", {}, {{"JTAG_PLATFORM", "rbb:127.0.0.1:" + std::to_string(rbb)}});
  EXPECT_EQ(detect.status, 0) << detect.err;
  EXPECT_EQ(detect.out,
            "TAP 0: IDCODE 0x0bc0e06b, IR length 8\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 8 bits in all\n");
  EXPECT_EQ(detect.err, "");
  // jtag-detect ended only once the board behind both servers was saved.
  EXPECT_EQ(tap("cpu0"), "Test-Logic-Reset, IR 0x02");
  if (::access(e2e::kOpenOcd, X_OK) == 0 || e2e::in_ci()) {
    const e2e::Result ocd =
        exec(e2e::kOpenOcd, "openocd",
             {"-c", "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                        std::to_string(rbb) + "; transport select jtag; init; shutdown"});
    EXPECT_NE(ocd.err.find("tap/device found: 0x0bc0e06b"), std::string::npos) << ocd.err;
  }
  EXPECT_EQ(front.stop(), 0);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(e2e::read_file(path("front.err")), "");
  EXPECT_EQ(serve_err(), "");
}

// openFPGALoader reads each answer with one receive and asks for half the
// vector size offered; its --detect reads the IDCODE of the one TAP and,
// knowing no FPGA of that IDCODE, names it in its complaint.
TEST_F(JtagServe, OpenFpgaLoaderDetectsTheProcessorThroughXvc) {
  JTAGBOX_NEED_PEER(kOpenFpgaLoader);
  sim({"set", "scan_mode=0x01"});
  ASSERT_NE(start({"--xvc", "0"}), 0);
  const e2e::Result r = exec(kOpenFpgaLoader, "openFPGALoader",
                             {"-c", "xvc-client", "--ip", "127.0.0.1", "--port", std::to_string(port_), "--detect"});
  EXPECT_NE((r.out + r.err).find("Unknown device with IDCODE: 0x0bc0e06b"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("detected xvcServer version v1.0 packet size 32768"), std::string::npos) << r.out;
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
}

// An SVF of tens of thousands of long scans without TDO checks: OpenOCD's
// remote_bitbang writes them in whole batches on a non-blocking socket and
// fails at the first write that would block, so the server must read ahead.
class BigSvfOverRemoteBitbang : public JtagServe {
 protected:
  std::string big_svf() {
    std::string svf = "TRST OFF;\nSTATE RESET;\nSIR 8 TDI (ff);\n";
    std::string tdi(128, '0');
    for (int i = 0; i < 22000; ++i) {
      for (size_t k = 0; k < tdi.size(); ++k) tdi[k] = "0123456789abcdef"[(size_t(i) * 7 + k) % 16];
      svf += "SDR 512 TDI (" + tdi + ");\n";
    }
    return svf + "SIR 8 TDI (3d);\n";
  }
};

TEST_F(BigSvfOverRemoteBitbang, OpenOcdPlaysItToJtagServeAndToJtagSimServe) {
  JTAGBOX_NEED_PEER(e2e::kOpenOcd);
  const std::string svf = big_svf();
  ASSERT_GT(svf.size(), size_t{3} << 20);
  e2e::write_file(path("big.svf"), svf);
  for (const bool jtag_sim : {false, true}) {
    fresh();
    sim({"set", "scan_mode=0x01"});
    if (jtag_sim)
      serve();
    else
      ASSERT_NE(start({"--rbb", "0"}), 0);
    const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                              std::to_string(port_) + "; transport select jtag; adapter speed 1000; ";
    const e2e::Result r =
        exec(e2e::kOpenOcd, "openocd", {"-c", setup + "init; svf -quiet " + path("big.svf").string() + "; shutdown"});
    const std::string label = jtag_sim ? "jtag-sim serve" : "jtag-serve --rbb";
    EXPECT_EQ(r.status, 0) << label << r.err;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << label << r.err;
    {  // OpenOCD reads no answer, so it may leave before the server has
       // acted on all it read; the next client is served only after that.
      e2e::RawClient next(port_);
      ASSERT_TRUE(next.send("RQ"));
      EXPECT_EQ(next.read(1, std::chrono::seconds(60)).size(), 1u) << label;
    }
    EXPECT_EQ(stop(), 0) << label;
    EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x3d") << label;
    EXPECT_EQ(serve_err(), "") << label;
  }
}

}  // namespace

namespace {

// The xvc: client against a server that misbehaves (support/xvc_peer.h):
// one exact line and status 1 each, within the silence bound.
class XvcClientAgainstBadServers : public e2e::ServedBoardTest {};

TEST_F(XvcClientAgainstBadServers, EachFaultIsOneLineAndStatusOne) {
  serve();
  const struct {
    e2e::PeerFault fault;
    std::string line;  // after "jtagbox: XVC server 127.0.0.1:PORT: "
  } cases[] = {
      {e2e::PeerFault::BadInfo, "answered getinfo: with \"xvcServer_v2.0:1024\\x0a\", not xvcServer_v1.0:<bytes>"},
      {e2e::PeerFault::CloseMidShift, "closed the connection"},
      {e2e::PeerFault::LongReply, "sent 0x00 when no answer was due"},
      {e2e::PeerFault::ShortReply, "no answer within 10 s"},
      {e2e::PeerFault::Silence, "no answer within 10 s"},
      {e2e::PeerFault::Trickle, "no answer within 10 s"},  // each byte well within it, the answer not
  };
  for (const auto &c : cases) {
    e2e::XvcPeer peer(port_, 4, c.fault);
    ASSERT_NE(peer.port(), 0);
    const std::string where = "127.0.0.1:" + std::to_string(peer.port());
    const e2e::Result r = exec(e2e::bin("JTAG_Shift"), "JTAG_Shift", {"0", "64"}, {{"JTAG_PLATFORM", "xvc:" + where}});
    EXPECT_EQ(r.status, 1) << where;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "jtagbox: XVC server " + where + ": " + c.line + "\n");
    peer.stop();
  }
}

// A server that offers 2^32-1 bytes per vector is used with 1 MiB vectors:
// the client never sizes a buffer by what it is told.
TEST_F(XvcClientAgainstBadServers, HugeOfferIsCappedAndTheRunGoesThrough) {
  serve();
  e2e::XvcPeer peer(port_, 1 << 20, e2e::PeerFault::HugeInfo);
  const e2e::Result r = exec(e2e::bin("JTAG_Reset"), "JTAG_Reset", {},
                             {{"JTAG_PLATFORM", "xvc:127.0.0.1:" + std::to_string(peer.port())}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_GT(peer.shifts(), 0u);
}

}  // namespace

namespace {

// jtag-serve --wave records what each protocol's clients drove, TDO on
// every edge (an XVC answer carries every TDO bit), as sigrok decodes it.
class JtagServeWave : public e2e::ServedBoardTest {};

TEST_F(JtagServeWave, BothProtocolsRecordTheScans) {
  JTAGBOX_NEED_PEER(e2e::kSigrokCli);
  for (const std::string scheme : {"xvc", "rbb"}) {
    fresh();
    const std::filesystem::path vcd = path(scheme + ".vcd");
    port_ = serving_.start_program("jtag-serve", {"jtag-serve", "--" + scheme, "0", "--wave", vcd.string()},
                                   env_["JTAG_PLATFORM"], path("serve.err"));
    ASSERT_NE(port_, 0) << serve_err();
    const std::map<std::string, std::string> wire = {{"JTAG_PLATFORM", scheme + ":127.0.0.1:" + std::to_string(port_)}};
    const e2e::Result reset = exec(e2e::bin("JTAG_Reset"), "JTAG_Reset", {"-d"}, wire);
    ASSERT_EQ(reset.status, 0) << reset.err;
    const e2e::Result load = exec(e2e::bin("JTAG_LoadIR"), "JTAG_LoadIR", {"3d"}, wire);
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(stop(), 0) << scheme;
    EXPECT_EQ(serve_err(), "") << scheme;
    const e2e::Result r = exec(e2e::kSigrokCli, "sigrok-cli",
                               {"-l", "1", "-I", "vcd", "-i", vcd.string(), "-P",
                                "jtag:tdi=tdi:tdo=tdo:tck=tck:tms=tms", "-A", "jtag=bitstrings-tdi:bitstrings-tdo"});
    EXPECT_EQ(r.out,
              "jtag-1: DR TDI: 10101010101010101010101010101010 (0xaaaaaaaa), 32 bits\n"
              "jtag-1: DR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits\n"
              "jtag-1: IR TDI: 00111101 (0x3d), 8 bits\n"
              "jtag-1: IR TDO: 00000001 (0x1), 8 bits\n")
        << scheme;
  }
}

}  // namespace
