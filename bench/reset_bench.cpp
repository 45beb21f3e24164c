// The cost of one small command: process start, board load and save.
#include <cstdio>

#include "bench.h"

JTAGBOX_BENCHMARK(reset) {
  const int runs = ctx.quick ? 20 : 200;
  double total = 0;
  long peak = 0;
  for (int i = 0; i < runs; ++i) {
    const auto m = bench::run(ctx, "JTAG_Reset", {});
    if (m.status != 0) {
      bench::report("reset", "JTAG_Reset failed with status " + std::to_string(m.status));
      return;
    }
    total += m.seconds;
    peak = std::max(peak, m.peak_rss_kib);
  }
  char line[128];
  std::snprintf(line, sizeof line, "%d runs of JTAG_Reset, %.2f ms per run, peak RSS %ld KiB", runs,
                1000 * total / runs, peak);
  bench::report("reset", line);
}
