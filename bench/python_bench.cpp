// import jtagbox against the commands, in one run on one board: N L2 words
// read by one JTAG_ReadMem against board.read_mem of the same words (words a
// second; the method's time is its call, the command's its process, which
// is what a script pays for each), and many resets, one JTAG_Reset process
// each against reset() calls in one Python process.  The goals: read_mem at
// least 0.8 times the command's words a second; the resets in at most a
// twentieth of the commands' time.  Debian's /usr/bin/python3 runs the
// module; the package is found beside bin/ (a build tree's python/) or in
// Debian's Python path where it is installed.
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench.h"

namespace {

constexpr const char *kPython = "/usr/bin/python3";

std::map<std::string, std::string> python_env(const bench::Context &ctx) {
  const std::filesystem::path beside = ctx.bin.parent_path() / "python";
  if (std::filesystem::exists(beside / "jtagbox" / "__init__.py")) return {{"PYTHONPATH", beside.string()}};
  return {};
}

// A Python run that prints one number, the seconds its timed part took;
// negative when it failed.
double python_seconds(const bench::Context &ctx, const std::string &script) {
  const bench::Measured m = bench::run(ctx, kPython, {"-c", script}, python_env(ctx));
  if (m.status != 0) return -1;
  return std::stod(m.out);
}

}  // namespace

JTAGBOX_BENCHMARK(python) {
  const int words = ctx.quick ? 1024 : 4096;
  const int resets = ctx.quick ? 1000 : 10000;
  const std::string count = std::to_string(words);
  if (bench::run(ctx, "JTAG_WriteMem", {"10000", count, "-x=5a5a5a5a5a5a5a5a"}).status != 0 ||
      bench::run(ctx, "JTAG_ReadMem", {"10000", "1"}).status != 0)
    return bench::report("python", "JTAG_WriteMem or JTAG_ReadMem failed");

  const bench::Measured read = bench::run(ctx, "JTAG_ReadMem", {"10000", count});
  const double method = python_seconds(
      ctx, "import jtagbox, time\nb = jtagbox.open()\nb.reset()\nt = time.perf_counter()\nw = b.read_mem(0x10000, " +
               count + ")\nd = time.perf_counter() - t\nassert len(w) == " + count + "\nprint(d)\n");
  if (read.status != 0 || method < 0) return bench::report("python", "JTAG_ReadMem or read_mem failed");
  char line[200];
  std::snprintf(line, sizeof line,
                "%d words: JTAG_ReadMem %.0f words/s, read_mem %.0f words/s, %.2f times the command's (goal: at "
                "least 0.8)",
                words, words / read.seconds, words / method, read.seconds / method);
  bench::report("python_read_mem", line);

  double commands = 0;
  for (int i = 0; i < resets; ++i) {
    const bench::Measured m = bench::run(ctx, "JTAG_Reset", {});
    if (m.status != 0) return bench::report("python", "JTAG_Reset failed");
    commands += m.seconds;
  }
  const double calls =
      python_seconds(ctx, "import jtagbox, time\nb = jtagbox.open()\nt = time.perf_counter()\nfor _ in range(" +
                              std::to_string(resets) + "):\n    b.reset()\nprint(time.perf_counter() - t)\n");
  if (calls < 0) return bench::report("python", "reset() failed");
  std::snprintf(line, sizeof line,
                "%d resets: JTAG_Reset runs %.2f s, reset() calls %.2f s, %.3f of the commands' time (goal: at most "
                "0.05)",
                resets, commands, calls, calls / commands);
  bench::report("python_reset", line);
}
