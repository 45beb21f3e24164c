// The board on the wire: a JTAG_Shift of 2^20 bits through the rbb: backend
// to jtag-sim serve, against OpenOCD's own drscan of the same length through
// the same server.  OpenOCD's figure is its run with the drscan less its run
// without, so its start-up does not count against it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench.h"

namespace {

constexpr const char *kOpenOCD = "/usr/bin/openocd";

}  // namespace

JTAGBOX_BENCHMARK(remote_bitbang) {
  const int bits = ctx.quick ? 1 << 14 : 1 << 20;
  int port = 0;
  const pid_t server = bench::start_server(ctx, port);
  if (server <= 0 || port == 0) return bench::report("remote_bitbang", "jtag-sim serve did not start");
  const std::string wire = "rbb:127.0.0.1:" + std::to_string(port);

  bench::run(ctx, "JTAG_Reset", {}, {{"JTAG_PLATFORM", wire}});
  const auto ours = bench::run(ctx, "JTAG_Shift", {"0", std::to_string(bits), "-o=out.hex"}, {{"JTAG_PLATFORM", wire}});
  char line[200];
  std::snprintf(line, sizeof line, "JTAG_Shift of %d bits over rbb: %.3f s, %.2f M bits/s (status %d)", bits,
                ours.seconds, bits / ours.seconds / 1e6, ours.status);
  bench::report("remote_bitbang", line);

  if (::access(kOpenOCD, X_OK) != 0) {
    bench::report("remote_bitbang", "openocd is not installed: no comparison");
  } else {
    const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                              std::to_string(port) +
                              "; transport select jtag; adapter speed 1000; "
                              "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; irscan cpu0.tap 0x02; ";
    const std::string log = (ctx.work / "openocd.log").string();
    const auto idle = bench::run(ctx, kOpenOCD, {"-l", log, "-c", setup + "shutdown"});
    const auto scan = bench::run(ctx, kOpenOCD,
                                 {"-l", log, "-c", setup + "drscan cpu0.tap " + std::to_string(bits) + " 0; shutdown"});
    const double seconds = scan.seconds - idle.seconds;
    std::snprintf(line, sizeof line,
                  "OpenOCD drscan of %d bits through the same server: %.3f s, %.2f M bits/s (status %d); ours is %.1f "
                  "times as fast",
                  bits, seconds, bits / seconds / 1e6, scan.status, seconds / ours.seconds);
    bench::report("remote_bitbang", line);
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
}
