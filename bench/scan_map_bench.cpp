// jtag-scan on a long chain: decode and diff of dumps of 2^26 bits (16 MiB
// files) through a map of 100,000 latches, against cat of the same files to
// /dev/null.  Each is one process started the same way (sh -c 'exec ...
// > /dev/null'); the four are run in turns, 15 rounds, and the medians
// compared, so that a change in the machine's load falls on all of them.
// The memory is the highest peak RSS against the size of the dumps.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench.h"

namespace {

struct Runs {
  std::vector<double> seconds;
  long peak_rss_kib = 0;
  int status = 0;
  double median() {
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
  }
};

void run_once(const bench::Context &ctx, const std::string &command, Runs &runs) {
  const bench::Measured m = bench::run(ctx, "/bin/sh", {"-c", "exec " + command + " >/dev/null"});
  runs.seconds.push_back(m.seconds);
  runs.peak_rss_kib = std::max(runs.peak_rss_kib, m.peak_rss_kib);
  if (m.status != 0) runs.status = m.status;
}

}  // namespace

JTAGBOX_BENCHMARK(scan_map) {
  const int exponent = ctx.quick ? 16 : 26;
  const size_t latches = ctx.quick ? 100 : 100000;
  const uint64_t bits = uint64_t{1} << exponent;
  std::mt19937_64 random(30);
  {
    std::ofstream map(ctx.work / "m.map");
    map << "chain c " << bits << "\n";
    const uint64_t stride = bits / latches;
    for (size_t i = 0; i < latches; ++i) map << "latch" << i << " " << i * stride << " " << 1 + random() % 64 << "\n";
  }
  std::string a(size_t(bits / 4), '0');
  const char *hex = "0123456789abcdef";
  for (char &c : a) c = hex[random() % 16];
  std::string b = a;
  for (int i = 0; i < 1000; ++i) b[size_t(random() % b.size())] = 'f';
  std::ofstream(ctx.work / "a.hex") << a;
  std::ofstream(ctx.work / "b.hex") << b;
  const double file_kib = double(a.size()) / 1024.0;
  // A child's peak RSS counts the pages it shares with this process until
  // it starts the program: the dumps are let go first.
  std::string().swap(a);
  std::string().swap(b);
  const std::string scan = (ctx.bin / "jtag-scan").string();

  Runs cat1, decode, cat2, diff;
  for (int round = 0; round < 15; ++round) {
    run_once(ctx, "cat m.map a.hex", cat1);
    run_once(ctx, scan + " decode m.map c a.hex", decode);
    run_once(ctx, "cat m.map a.hex b.hex", cat2);
    run_once(ctx, scan + " diff m.map c a.hex b.hex", diff);
  }
  if (decode.status != 0 || diff.status != 1) {
    bench::report("scan_map", "jtag-scan failed (decode status " + std::to_string(decode.status) + ", diff status " +
                                  std::to_string(diff.status) + ")");
    return;
  }
  char line[240];
  std::snprintf(line, sizeof line,
                "2^%d bits, %zu latches: decode %.3f s = %.2f x cat (%.3f s), peak RSS %ld KiB = %.2f x the dump",
                exponent, latches, decode.median(), decode.median() / cat1.median(), cat1.median(), decode.peak_rss_kib,
                double(decode.peak_rss_kib) / file_kib);
  bench::report("scan_map", line);
  std::snprintf(line, sizeof line,
                "2^%d bits, %zu latches: diff %.3f s = %.2f x cat (%.3f s), peak RSS %ld KiB = %.2f x the two dumps",
                exponent, latches, diff.median(), diff.median() / cat2.median(), cat2.median(), diff.peak_rss_kib,
                double(diff.peak_rss_kib) / (2 * file_kib));
  bench::report("scan_map", line);
}
