// What the board's database costs the commands, as ratios measured side by
// side in this run (the machine's speed cancels out):
//   - JTAG_Reset on an empty board against /bin/true (process start-up);
//   - JTAG_Reset on a board holding many written L2 words against one on
//     an empty board, and the peak memory of each (a command reads only
//     the rows it touches);
//   - the same words written in 64 runs against one run (each run writes
//     only its own words);
//   - JTAG_WriteMem and JTAG_ReadMem of 65,536 words, in words/s;
//   - JTAG_ScanDump -r of a 2^26-bit chain, its time and peak memory per
//     bit (the chain is one row, read and written whole).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"

namespace {

// Runs of one command on one board, taken in turns with the other series
// so that a change in the machine's load falls on all of them alike.
struct Series {
  explicit Series(std::string program, std::map<std::string, std::string> board = {})
      : command(std::move(program)), env(std::move(board)) {}
  std::string command;
  std::map<std::string, std::string> env;  // the board, when not the context's
  std::vector<double> times;
  long peak_rss_kib = 0;
  bool ok = true;

  double median() const {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
  }
};

void run_in_turns(const bench::Context &ctx, int runs, const std::vector<Series *> &all) {
  for (int i = 0; i < runs; ++i)
    for (Series *s : all) {
      const auto m = bench::run(ctx, s->command, {}, s->env);
      s->ok = s->ok && m.status == 0;
      s->times.push_back(m.seconds);
      s->peak_rss_kib = std::max(s->peak_rss_kib, m.peak_rss_kib);
    }
}

// `words` words in a file of that name, one per line.
std::string words_file(const bench::Context &ctx, int words) {
  std::string name = "words-" + std::to_string(words);
  std::ofstream out(ctx.work / name);
  for (int i = 0; i < words; ++i) out << std::hex << 0x0123456789abcdefULL * unsigned(i + 1) << "\n";
  return name;
}

// Writes `total` words from address 0x100000 in runs of `per_run`; the
// seconds of all the runs, or a negative number when one failed.
double write_in_runs(const bench::Context &ctx, int total, int per_run) {
  const std::string file = words_file(ctx, per_run);
  double seconds = 0;
  for (int at = 0; at < total; at += per_run) {
    char address[24];
    std::snprintf(address, sizeof address, "%x", 0x100000 + 8 * at);
    const auto m = bench::run(ctx, "JTAG_WriteMem", {address, std::to_string(per_run), "-f=" + file});
    if (m.status != 0) return -1;
    seconds += m.seconds;
  }
  return seconds;
}

void report(const char *format, double a, double b, double ratio) {
  char line[200];
  std::snprintf(line, sizeof line, format, a, b, ratio);
  bench::report("board_store", line);
}

void fresh_board(const bench::Context &ctx) { bench::run(ctx, "jtag-sim", {"reset"}); }

}  // namespace

JTAGBOX_BENCHMARK(board_store) {
  const int runs = ctx.quick ? 11 : 31;
  const int words = ctx.quick ? 16384 : 262144;
  const int runs_of = ctx.quick ? 16 : 64;

  // The context's board gets the words; a second board stays empty.
  fresh_board(ctx);
  const double one_run = write_in_runs(ctx, words, words);
  if (one_run < 0) return bench::report("board_store", "writing the words failed");
  Series full("JTAG_Reset"), truth("/bin/true");
  Series empty("JTAG_Reset", {{"JTAG_PLATFORM", "sim:" + (ctx.work / "empty").string()}});
  bench::run(ctx, "JTAG_Reset", {}, empty.env);  // the empty board made once
  run_in_turns(ctx, runs, {&empty, &full, &truth});
  if (!empty.ok || !full.ok || !truth.ok) return bench::report("board_store", "JTAG_Reset or /bin/true failed");
  report("JTAG_Reset on an empty board %.2f ms, /bin/true %.2f ms: ratio %.2f (at most 2.2)", 1000 * empty.median(),
         1000 * truth.median(), empty.median() / truth.median());
  char line[200];
  std::snprintf(line, sizeof line,
                "JTAG_Reset with %d L2 words %.2f ms, empty %.2f ms: ratio %.2f (at most 1.2); peak RSS %ld KiB, "
                "empty %ld KiB: %+ld KiB (at most +4096)",
                words, 1000 * full.median(), 1000 * empty.median(), full.median() / empty.median(), full.peak_rss_kib,
                empty.peak_rss_kib, full.peak_rss_kib - empty.peak_rss_kib);
  bench::report("board_store", line);

  fresh_board(ctx);
  const double in_runs = write_in_runs(ctx, words, words / runs_of);
  if (in_runs < 0) return bench::report("board_store", "writing in runs failed");
  std::snprintf(line, sizeof line, "%d words in %d runs %.2f s, in one run %.2f s: ratio %.2f (at most 1.3)", words,
                runs_of, in_runs, one_run, in_runs / one_run);
  bench::report("board_store", line);

  fresh_board(ctx);
  const int access = ctx.quick ? 8192 : 65536;
  const std::string file = words_file(ctx, access);
  const auto write = bench::run(ctx, "JTAG_WriteMem", {"0", std::to_string(access), "-f=" + file});
  const auto read = bench::run(ctx, "JTAG_ReadMem", {"0", std::to_string(access)});
  if (write.status != 0 || read.status != 0) return bench::report("board_store", "JTAG_WriteMem/ReadMem failed");
  std::snprintf(line, sizeof line,
                "%d words: JTAG_WriteMem %.0f words/s (at least 46,000), JTAG_ReadMem %.0f words/s (at least "
                "31,000)",
                access, access / write.seconds, access / read.seconds);
  bench::report("board_store", line);

  const int exponent = ctx.quick ? 20 : 26;
  const std::string bits = std::to_string(1L << exponent);
  bench::run(ctx, "jtag-sim", {"set", "cpu0.chain.01.length=" + bits});
  bench::run(ctx, "JTAG_CPUSelect", {"0"});
  bench::run(ctx, "JTAG_ScanDump", {"01", bits, "warm.hex", "-r"});  // the chain stored, as in use
  const auto dump = bench::run(ctx, "JTAG_ScanDump", {"01", bits, "dump.hex", "-r"});
  if (dump.status != 0) return bench::report("board_store", "JTAG_ScanDump failed");
  std::snprintf(line, sizeof line,
                "JTAG_ScanDump -r of 2^%d bits %.2f s, peak RSS %ld KiB, %.2f bytes/bit (at most 1.5)", exponent,
                dump.seconds, dump.peak_rss_kib, double(dump.peak_rss_kib) * 1024.0 / double(1L << exponent));
  bench::report("board_store", line);
}
