// JTAG_TMS and JTAG_Tck: walk the TAP controller by hand, one TMS level or a
// number of TCK cycles at a time.  The TAP state and the TMS level stay in the
// hardware between runs, so a sequence of these commands moves the
// controller from state to state.
#include <cstdlib>

#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr const char *kTmsUsage = "ERROR: Usage JTAG_TMS <value(0 or 1)>";
constexpr const char *kTckHelp = "JTAG_Tck <data> [-d=<level>] [-h]\n";
constexpr const char *kTckUsage = "JTAG_Tck <num> [-d=<level>] [-h]\n";

}  // namespace

JTAGBOX_COMMAND(11, JTAG_TMS, cmd_tms, kTmsUsage, "");
JTAGBOX_COMMAND(12, JTAG_Tck, cmd_tck, kTckUsage, "");

// No option scan at all: the one word is the level, whatever it looks like
// ("-h" is atoi 0, so it drives TMS low).
int cmd_tms(int argc, char **argv) {
  if (argc != 2) cli::fail(kTmsUsage);
  JTAG_SetTms(std::atoi(argv[1]));
  return 0;
}

int cmd_tck(int argc, char **argv) {
  if (argc < 2) cli::fail("JTAG_Tck: ERROR, Value not specified !", kTckUsage);

  int count = 0;
  cli::scan(
      argc, argv, [](const char *word) { cli::common_option(word, kTckHelp); },
      [&count](char *const *words, int) {
        cli::read_int(words[0], count);  // not a number: the count stays as it was
        return 1;
      });

  if (count <= 0) cli::fail("JTAG_Tck: ERROR, Value needs to be greater than 0 !", kTckUsage);
  cli::debug("JTAG_Tck: Cycling TCK %d times\n", count);
  run_clocks(count);
  return 0;
}

}  // namespace jtagbox
