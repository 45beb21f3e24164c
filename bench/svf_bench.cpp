// The SVF player against the raw shift: an SDR of 2^24 bits (2^16 with
// --quick) played by jtag-svf, with TDI, TDO and MASK written out in full
// (12 MiB of text) so that every bit is read and checked, against
// JTAG_Shift of the same length, bit by bit and with -a, on the simulated
// board and over remote_bitbang to jtag-sim serve.  Fastest of three runs
// each, as ratios measured in the same run.
//
// Then jtag-svf against OpenOCD's svf on the same files through the same
// server: 20,000 short checked statements (alternating SIR 8 and SDR 9,
// 2,000 with --quick), and 64 checked scans of 2^16 bits (8 with --quick).
// OpenOCD's figure is its run with the file less its run without, so its
// start-up does not count against it; fastest of three each.  OpenOCD's svf
// lets scans run ahead of their checks, so jtag-svf is measured with
// --ahead 256 against it, and as it plays by default (each checked scan
// compared before the next statement goes: a round trip each) beside that.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench.h"

namespace {

// Reset, then the SDR: out of TDO come processor 0's IDCODE and then the
// zeros shifted in.
void write_svf(const std::string &path, size_t bits) {
  const size_t digits = bits / 4;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "STATE RESET;\nSDR " << bits << " TDI (" << std::string(digits, '0') << ")\n  TDO ("
      << std::string(digits - 8, '0') << "0bc0e06b)\n  MASK (" << std::string(digits, 'f') << ");\n";
}

// SIR 8 (IDCODE, the IR captures ...01) and SDR 9 (IDCODE's low nine bits,
// 0x06b), `pairs` times.
void write_short_svf(const std::string &path, size_t pairs) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "STATE RESET;\n";
  for (size_t i = 0; i < pairs; ++i) out << "SIR 8 TDI (02) TDO (01) MASK (03);\nSDR 9 TDI (000) TDO (06b);\n";
}

// `scans` SDRs of 2^16 bits from Test-Logic-Reset, each checked in full:
// IDCODE, then the zeros shifted in.
void write_long_svf(const std::string &path, size_t scans) {
  constexpr size_t kDigits = (size_t{1} << 16) / 4;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < scans; ++i)
    out << "STATE RESET;\nSDR 65536 TDI (" << std::string(kDigits, '0') << ")\n  TDO (" << std::string(kDigits - 8, '0')
        << "0bc0e06b)\n  MASK (" << std::string(kDigits, 'f') << ");\n";
}

struct Best {
  double seconds = 1e9;
  long rss_kib = 0;
  bool failed = false;
};

void compare(bench::Context &ctx, const std::string &where, const std::map<std::string, std::string> &env,
             size_t bits) {
  const std::string length = std::to_string(bits);
  const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
      {"jtag-svf", {"-q", "sdr.svf"}},
      {"JTAG_Shift", {"0", length, "-o=out.hex"}},
      {"JTAG_Shift", {"0", length, "-o=out.hex", "-a"}},
  };
  std::vector<Best> best(runs.size());
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < runs.size(); ++i) {
      const bench::Measured m = bench::run(ctx, runs[i].first, runs[i].second, env);
      best[i].failed = best[i].failed || m.status != 0;
      best[i].seconds = std::min(best[i].seconds, m.seconds);
      best[i].rss_kib = std::max(best[i].rss_kib, m.peak_rss_kib);
    }
  }
  const char *names[] = {"jtag-svf SDR", "JTAG_Shift", "JTAG_Shift -a"};
  for (size_t i = 0; i < runs.size(); ++i) {
    char line[200];
    std::snprintf(line, sizeof line, "%s: %zu bits, %-13s %.3f s (x%.2f of JTAG_Shift), peak RSS %ld KiB%s",
                  where.c_str(), bits, names[i], best[i].seconds, best[i].seconds / best[1].seconds, best[i].rss_kib,
                  best[i].failed ? " FAILED" : "");
    bench::report("svf", line);
  }
}

}  // namespace

constexpr const char *kOpenOCD = "/usr/bin/openocd";

// jtag-svf and OpenOCD's svf on `file` through the server at `port`.
void against_openocd(bench::Context &ctx, int port, const std::string &file, const std::string &what) {
  if (::access(kOpenOCD, X_OK) != 0) return bench::report("svf", "openocd is not installed: no comparison");
  const std::string wire = "rbb:127.0.0.1:" + std::to_string(port);
  const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                            std::to_string(port) +
                            "; transport select jtag; adapter speed 1000; "
                            "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; ";
  const std::string log = (ctx.work / "openocd.log").string();
  Best ours, exact, theirs, idle;
  for (int round = 0; round < 3; ++round) {
    const bench::Measured a = bench::run(ctx, "jtag-svf", {"-q", "--ahead", "256", file}, {{"JTAG_PLATFORM", wire}});
    ours.failed = ours.failed || a.status != 0;
    ours.seconds = std::min(ours.seconds, a.seconds);
    const bench::Measured e = bench::run(ctx, "jtag-svf", {"-q", file}, {{"JTAG_PLATFORM", wire}});
    exact.failed = exact.failed || e.status != 0;
    exact.seconds = std::min(exact.seconds, e.seconds);
    std::string play = setup;
    play += "svf -quiet " + file + "; shutdown";
    const bench::Measured b = bench::run(ctx, kOpenOCD, {"-l", log, "-c", play});
    theirs.failed = theirs.failed || b.status != 0;
    theirs.seconds = std::min(theirs.seconds, b.seconds);
    const bench::Measured c = bench::run(ctx, kOpenOCD, {"-l", log, "-c", setup + "shutdown"});
    idle.seconds = std::min(idle.seconds, c.seconds);
  }
  const double openocd = theirs.seconds - idle.seconds;
  char line[320];
  std::snprintf(line, sizeof line,
                "%s over rbb: jtag-svf --ahead 256 %.3f s%s, OpenOCD svf %.3f s%s (start-up %.3f s less): x%.1f; "
                "jtag-svf exact (the default) %.3f s%s",
                what.c_str(), ours.seconds, ours.failed ? " FAILED" : "", openocd, theirs.failed ? " FAILED" : "",
                idle.seconds, openocd / ours.seconds, exact.seconds, exact.failed ? " FAILED" : "");
  bench::report("svf", line);
}

JTAGBOX_BENCHMARK(svf) {
  const size_t bits = ctx.quick ? size_t{1} << 16 : size_t{1} << 24;
  write_svf((ctx.work / "sdr.svf").string(), bits);
  bench::run(ctx, "jtag-sim", {"reset"});
  compare(ctx, "sim", {}, bits);

  int port = 0;
  const int server = bench::start_server(ctx, port);
  if (server <= 0 || port == 0) return bench::report("svf", "jtag-sim serve did not start");
  compare(ctx, "rbb", {{"JTAG_PLATFORM", "rbb:127.0.0.1:" + std::to_string(port)}}, bits);
  const size_t pairs = ctx.quick ? 1000 : 10000;
  write_short_svf((ctx.work / "short.svf").string(), pairs);
  against_openocd(ctx, port, (ctx.work / "short.svf").string(),
                  std::to_string(2 * pairs) + " short checked statements");
  const size_t scans = ctx.quick ? 8 : 64;
  write_long_svf((ctx.work / "long.svf").string(), scans);
  against_openocd(ctx, port, (ctx.work / "long.svf").string(), std::to_string(scans) + " checked scans of 2^16 bits");
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
}
