// The SVF player against the raw shift: an SDR of 2^24 bits (2^16 with
// --quick) played by jtag-svf, with TDI, TDO and MASK written out in full
// (12 MiB of text) so that every bit is read and checked, against
// JTAG_Shift of the same length, bit by bit and with -a, on the simulated
// board and over remote_bitbang to jtag-sim serve.  Fastest of three runs
// each, as ratios measured in the same run.
#include <signal.h>
#include <sys/wait.h>

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

JTAGBOX_BENCHMARK(svf) {
  const size_t bits = ctx.quick ? size_t{1} << 16 : size_t{1} << 24;
  write_svf((ctx.work / "sdr.svf").string(), bits);
  bench::run(ctx, "jtag-sim", {"reset"});
  compare(ctx, "sim", {}, bits);

  int port = 0;
  const int server = bench::start_server(ctx, port);
  if (server <= 0 || port == 0) return bench::report("svf", "jtag-sim serve did not start");
  compare(ctx, "rbb", {{"JTAG_PLATFORM", "rbb:127.0.0.1:" + std::to_string(port)}}, bits);
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
}
