// The hand-clocking path: JTAG_Tck with large counts, each TCK one platform
// call through the board's whole chain, with and without the trace file.
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"

JTAGBOX_BENCHMARK(tck) {
  const std::vector<int> counts = ctx.quick ? std::vector<int>{10000} : std::vector<int>{100000, 1000000, 10000000};
  for (const char *mode : {"0x01", "0x00"}) {  // one processor; the full chain of eight TAPs
    bench::run(ctx, "jtag-sim", {"set", std::string("scan_mode=") + mode});
    for (int n : counts) {
      const auto m = bench::run(ctx, "JTAG_Tck", {std::to_string(n)});
      if (m.status != 0) {
        bench::report("tck", "JTAG_Tck failed with status " + std::to_string(m.status));
        return;
      }
      char line[160];
      std::snprintf(line, sizeof line, "scan mode %.4s, %d cycles: %.3f s, %.1f M cycles/s, peak RSS %ld KiB", mode, n,
                    m.seconds, n / m.seconds / 1e6, m.peak_rss_kib);
      bench::report("tck", line);
    }
  }
  const int traced = ctx.quick ? 10000 : 100000;
  const auto m = bench::run(ctx, "JTAG_Tck", {std::to_string(traced)}, {{"JTAG_TRACE", (ctx.work / "trace").string()}});
  char line[128];
  std::snprintf(line, sizeof line, "%d cycles traced: %.3f s (one trace line each)", traced, m.seconds);
  bench::report("tck", line);
}
