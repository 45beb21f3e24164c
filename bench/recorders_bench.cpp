// The recorders' cost: a JTAG_ScanDump -r of one 2^20-bit processor chain
// (2^16 with --quick) without a recorder, with JTAG_WAVE and with JTAG_SVF
// (a new file each run), as the ratio
// of the fastest of three runs each, measured in the same run; the peak RSS
// shows that the waveform streams.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench.h"

JTAGBOX_BENCHMARK(recorders) {
  const int e = ctx.quick ? 16 : 20;
  const std::string length = std::to_string(1L << e);
  bench::run(ctx, "jtag-sim", {"set", "cpu0.chain.01.length=" + length});
  bench::run(ctx, "JTAG_ScanDump", {"01", length, "warm.hex", "-r"});
  const std::string wave = (ctx.work / "dump.vcd").string();
  struct Variant {
    const char *name;
    std::map<std::string, std::string> env;
  };
  const std::string svf = (ctx.work / "dump.svf").string();
  const std::vector<Variant> variants = {
      {"plain", {}}, {"JTAG_WAVE", {{"JTAG_WAVE", wave}}}, {"JTAG_SVF", {{"JTAG_SVF", svf}}}};
  std::vector<double> best(variants.size(), 1e9);
  std::vector<long> rss(variants.size(), 0);
  for (int round = 0; round < 3; ++round) {
    for (size_t v = 0; v < variants.size(); ++v) {
      std::error_code gone;
      std::filesystem::remove(svf, gone);  // each SVF run appends to a new file
      const auto m = bench::run(ctx, "JTAG_ScanDump", {"01", length, "dump.hex", "-r"}, variants[v].env);
      if (m.status != 0) {
        bench::report("recorders", std::string("JTAG_ScanDump with ") + variants[v].name + " failed");
        return;
      }
      best[v] = std::min(best[v], m.seconds);
      rss[v] = std::max(rss[v], m.peak_rss_kib);
    }
  }
  std::error_code ec;
  const auto vcd_size = std::filesystem::file_size(wave, ec);
  for (size_t v = 0; v < variants.size(); ++v) {
    char line[200];
    std::snprintf(line, sizeof line, "2^%d-bit JTAG_ScanDump -r %-9s: %.3f s (x%.2f of plain), peak RSS %ld KiB", e,
                  variants[v].name, best[v], best[v] / best[0], rss[v]);
    bench::report("recorders", line);
  }
  bench::report("recorders", "VCD size " + std::to_string(ec ? 0 : vcd_size / 1024) + " KiB");
  const auto svf_size = std::filesystem::file_size(svf, ec);
  bench::report("recorders", "SVF size " + std::to_string(ec ? 0 : svf_size / 1024) + " KiB");
}
