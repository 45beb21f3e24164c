// Long scan dumps: JTAG_ScanDump of one processor chain of 2^20, 2^24 and
// 2^27 bits, bit by bit and through the accelerator (-a), each one process.
// The dump recycles (-r), so the chain is the same for every run; the
// figures include loading the chain from its file and saving it again.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench.h"

JTAGBOX_BENCHMARK(scan_dump) {
  const std::vector<int> exponents = ctx.quick ? std::vector<int>{16} : std::vector<int>{20, 24, 27};
  for (int e : exponents) {
    const long bits = 1L << e;
    const std::string length = std::to_string(bits);
    bench::run(ctx, "jtag-sim", {"set", "cpu0.chain.01.length=" + length});
    // A first dump stores the chain in its file, as it is on a board in use.
    bench::run(ctx, "JTAG_ScanDump", {"01", length, "warm.hex", "-r", "-a"});
    for (const bool accelerate : {false, true}) {
      std::vector<std::string> args = {"01", length, "dump.hex", "-r"};
      if (accelerate) args.emplace_back("-a");
      const auto m = bench::run(ctx, "JTAG_ScanDump", args);
      std::error_code ec;
      const auto size = std::filesystem::file_size(ctx.work / "dump.hex", ec);
      if (m.status != 0 || ec || long(size) != (bits + 3) / 4) {
        bench::report("scan_dump", "JTAG_ScanDump of 2^" + std::to_string(e) + " bits failed (status " +
                                       std::to_string(m.status) + ")");
        return;
      }
      char line[200];
      std::snprintf(line, sizeof line, "2^%d bits%s: %.3f s, %.1f M bits/s, peak RSS %ld KiB (%.2f bytes/bit)", e,
                    accelerate ? " -a" : "   ", m.seconds, double(bits) / m.seconds / 1e6, m.peak_rss_kib,
                    double(m.peak_rss_kib) * 1024.0 / double(bits));
      bench::report("scan_dump", line);
    }
  }
}
