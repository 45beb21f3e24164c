// XVC against remote_bitbang: a JTAG_Shift of 2^20 bits through one
// jtag-serve, once over each protocol (the ratio is the figure), and the
// number of shift: requests the xvc: client sends for a shift of that
// length, which should be the bits over the bits one request carries, plus
// the few of the walks around it.
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "backends/backend_arguments.h"
#include "backends/xvc/xvc_client.h"
#include "bench.h"

namespace {

// The requests of one shift of `bits` from Test-Logic-Reset, through the
// client in this process.
uint64_t requests_for_shift(int port, int bits) {
  const std::string value = "xvc:127.0.0.1:" + std::to_string(port);
  jtag::Backend b = jtag::xvc::open_xvc_backend(jtag::BackendArguments(value, "xvc", "host,port"));
  const uint64_t before = jtag::xvc::shift_requests_sent();
  for (const bool tms : {false, true, false, false}) b.lines->pulse(tms, true);  // to Shift-DR
  b.lines->shift_bits(jtag::BitVector(size_t(bits)), false);
  for (const bool tms : {true, false}) b.lines->pulse(tms, true);  // to Run-Test/Idle
  b.lines->finish();
  return jtag::xvc::shift_requests_sent() - before;
}

}  // namespace

JTAGBOX_BENCHMARK(xvc) {
  const int bits = ctx.quick ? 1 << 14 : 1 << 20;
  int rbb_port = 0;
  int xvc_port = 0;
  const pid_t server = bench::start_jtag_serve(ctx, rbb_port, xvc_port);
  if (server <= 0 || rbb_port == 0 || xvc_port == 0) return bench::report("xvc", "jtag-serve did not start");
  double seconds[2] = {0, 0};
  const char *schemes[] = {"rbb", "xvc"};
  const int ports[] = {rbb_port, xvc_port};
  char line[200];
  for (int i = 0; i < 2; ++i) {
    const std::string wire = std::string(schemes[i]) + ":127.0.0.1:" + std::to_string(ports[i]);
    bench::run(ctx, "JTAG_Reset", {}, {{"JTAG_PLATFORM", wire}});
    const auto r = bench::run(ctx, "JTAG_Shift", {"0", std::to_string(bits), "-o=out.hex"}, {{"JTAG_PLATFORM", wire}});
    seconds[i] = r.seconds;
    std::snprintf(line, sizeof line, "JTAG_Shift of %d bits over %s through jtag-serve: %.3f s (status %d)", bits,
                  schemes[i], r.seconds, r.status);
    bench::report("xvc", line);
  }
  std::snprintf(line, sizeof line, "XVC takes %.2f times as long as remote_bitbang", seconds[1] / seconds[0]);
  bench::report("xvc", line);
  try {
    const uint64_t requests = requests_for_shift(xvc_port, bits);
    std::snprintf(line, sizeof line, "shift: requests for a %d-bit shift with its walks: %llu (vectors of %u bits)",
                  bits, static_cast<unsigned long long>(requests), 65536u * 8);
  } catch (const jtag::PlatformError &e) {
    std::snprintf(line, sizeof line, "the in-process client failed: %s", e.what());
  }
  bench::report("xvc", line);
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
}
