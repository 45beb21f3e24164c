// JTAG_Reset: reset the TAP controller of the selected device and print its
// IDCODE, which IEEE 1149.1 puts in the data path at Test-Logic-Reset.  A
// 5-second watchdog ends a reset that never comes back.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "main/cli.h"
#include "main/commands.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr int kWatchdogSeconds = kResetWatchdogSeconds;
constexpr const char *kUsage = "JTAG_Reset  [-d=<level>] [-h]\n";

// Signal handler: only async-signal-safe calls.  The message is the one a
// printf("JTAG_Reset: ERROR : Timeout (%ds)\n", 5) would give.
void watchdog_expired(int) {
  static const char kPrefix[] = "JTAG_Reset: ERROR : Timeout (";
  static const char kSuffix[] = "s)\n";
  char digits[12];
  int n = 0;
  for (int v = kWatchdogSeconds; v > 0 || n == 0; v /= 10) digits[n++] = char('0' + v % 10);
  char message[64];
  size_t len = 0;
  for (const char *p = kPrefix; *p; ++p) message[len++] = *p;
  while (n > 0) message[len++] = digits[--n];
  for (const char *p = kSuffix; *p; ++p) message[len++] = *p;
  ssize_t ignored = ::write(STDOUT_FILENO, message, len);
  (void)ignored;
  _exit(1);
}

}  // namespace

JTAGBOX_COMMAND(7, JTAG_Reset, cmd_reset, kUsage, "");

int cmd_reset(int argc, char **argv) {
  cli::scan(
      argc, argv, [](const char *word) { cli::common_option(word, kUsage); },
      [](char *const *, int) { return 1; });  // positional words are ignored

  cli::debug("JTAG_Reset: Resetting TAP controller \n");
  signal(SIGALRM, watchdog_expired);
  alarm(kWatchdogSeconds);
  // The alarm stays armed to the end: it covers the shift as well.
  const std::string idcode = reset_and_read_idcode();
  std::printf("IDCODE = %s\n", idcode.c_str());
  return 0;
}

}  // namespace jtagbox
