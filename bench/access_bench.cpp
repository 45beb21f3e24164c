// L2 memory runs: one JTAG_WriteMem of N words from a file, then one
// JTAG_ReadMem of the same N words to a file, each a single process.  Every
// word is a few hundred TCKs on the bit-level path; the board is loaded and
// saved once per process, not per word.
#include <cstdio>
#include <fstream>

#include "bench.h"

namespace {

std::string word_text(int i) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", 0x0123456789abcdefULL * unsigned(i + 1));
  return text;
}

void report_run(const char *name, int words, const bench::Measured &m) {
  char line[160];
  std::snprintf(line, sizeof line, "%d words in %.3f s, %.0f words/s, peak RSS %ld KiB", words, m.seconds,
                words / m.seconds, m.peak_rss_kib);
  bench::report(name, line);
}

}  // namespace

JTAGBOX_BENCHMARK(l2_memory) {
  const int words = 4096;
  std::string expected;
  {
    std::ofstream in(ctx.work / "in");
    for (int i = 0; i < words; ++i) {
      in << word_text(i) << "\n";
      expected += word_text(i) + " ";
    }
  }
  const std::string length = std::to_string(words);
  const auto write = bench::run(ctx, "JTAG_WriteMem", {"10000", length, "-f=in"});
  if (write.status != 0)
    return bench::report("l2_memory", "JTAG_WriteMem failed with status " + std::to_string(write.status));
  report_run("l2_write_mem", words, write);

  const auto read = bench::run(ctx, "JTAG_ReadMem", {"10000", length, "-f=out"});
  if (read.status != 0)
    return bench::report("l2_memory", "JTAG_ReadMem failed with status " + std::to_string(read.status));
  std::ifstream out(ctx.work / "out");
  const std::string saved((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  if (saved != expected) return bench::report("l2_memory", "JTAG_ReadMem did not read back what was written");
  report_run("l2_read_mem", words, read);

  // The cost the written words add to every later small command.
  const auto reset = bench::run(ctx, "JTAG_Reset", {});
  char line[120];
  std::snprintf(line, sizeof line, "JTAG_Reset on a board holding %d L2 words: %.2f ms", words, 1000 * reset.seconds);
  bench::report("l2_memory", line);
}
