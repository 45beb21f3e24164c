// The benchmark program: each benchmark runs the installed commands as a
// user would and reports throughput and peak memory.  Benchmarks live in
// their own files and register themselves with JTAGBOX_BENCHMARK.
#ifndef JTAGBOX_BENCH_BENCH_H
#define JTAGBOX_BENCH_BENCH_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Context {
  std::filesystem::path bin;               // the installed bin directory (links and jtag-sim)
  std::filesystem::path work;              // a scratch directory for this benchmark
  bool quick = false;                      // --quick: the small sizes only
  std::map<std::string, std::string> env;  // JTAG_PLATFORM=sim:<work>/board
};

struct Measured {
  int status = -1;
  double seconds = 0;
  long peak_rss_kib = 0;  // of the child, from wait4()
  std::string out;
};

// Runs bin/<command> with `args` in ctx.work, the context's environment
// plus `extra_env`, and measures it.
Measured run(const Context &ctx, const std::string &command, const std::vector<std::string> &args,
             const std::map<std::string, std::string> &extra_env = {});

// `jtag-sim serve --port 0` on the context's board; its pid (the caller
// stops it with SIGTERM) and, in `port`, the port it printed (0 when none).
int start_server(const Context &ctx, int &port);

// `jtag-serve --rbb 0 --xvc 0` on the context's board; its pid and the two
// ports it printed (0 when none).
int start_jtag_serve(const Context &ctx, int &rbb_port, int &xvc_port);

// One result line: "<name>: <text>".
void report(const std::string &name, const std::string &text);

using Function = void (*)(Context &);
struct Registrar {
  Registrar(const char *name, Function f);
};

}  // namespace bench

#define JTAGBOX_BENCHMARK(name)                                \
  static void name(bench::Context &);                          \
  static const bench::Registrar name##_registrar(#name, name); \
  static void name(bench::Context &ctx)

#endif
