// JTAG_MacroDump: shifts the data register that the last instruction
// selected, with the pattern from an input file, saves what came out, then
// gives TCK pulses in Run-Test/Idle.  It loads no instruction of its own.
//
// The positional group is four words - length, output file, clocks, input
// file - taken whatever they begin with.  A negative length is refused like
// a missing one, as the other dumps do.
#include <string>

#include "base/heap_text.h"
#include "files/input_file.h"
#include "files/output_file.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr const char *kName = "JTAG_MacroDump";
constexpr const char *kNotSpecified = "JTAG_MacroDump: ERROR, Length/File/Clocks not specified !";
constexpr const char *kUsage = "JTAG_MacroDump <length> <outfile> <clocks> <infile> [-d=<level>] [-h]\n";
constexpr int kGroupSize = 4;

struct MacroRequest {
  int length = 0;
  const char *output_name = nullptr;
  int clocks = -1;  // not given
  const char *input_name = nullptr;
  bool group_complete = false;
  bool accelerate = false;
};

void take_group(MacroRequest &r, char *const *words, int present) {
  if (present > 0) cli::read_int(words[0], r.length);
  if (present > 1) r.output_name = words[1];
  if (present > 2) cli::read_int(words[2], r.clocks);
  if (present > 3) r.input_name = words[3];
  r.group_complete = present == kGroupSize;
}

MacroRequest scan_arguments(int argc, char **argv) {
  if (argc - 1 <= 3) cli::fail(kNotSpecified, kUsage);
  MacroRequest r;
  cli::scan(
      argc, argv,
      [&](const char *word) {
        if (cli::letter(word) == 'a')
          r.accelerate = true;
        else
          cli::common_option(word, kUsage);  // -f and -r are not this command's: ignored
      },
      cli::group_of(kGroupSize, [&](char *const *words, int present) { take_group(r, words, present); }));
  if (!r.group_complete || r.clocks < 0 || r.length <= 0) cli::fail(kNotSpecified, kUsage);
  return r;
}

}  // namespace

int cmd_macro_dump(int argc, char **argv) {
  const MacroRequest r = scan_arguments(argc, argv);
  files::OutputFile out(kName, r.output_name);
  files::InputFile in(kName, r.input_name);  // failing, it leaves out empty
  cli::debug("JTAG_MacroDump: Starting MacroDump of (%d bits) to file %s  followed by %d TCK\n", r.length,
             r.output_name, r.clocks);
  const std::string pattern = files::read_pattern(in, r.length);
  cli::debug("Inchain = %s \n", pattern.c_str());

  JTAG_Select_DR();
  if (r.accelerate) jtag_fpga_accelerate = 1;
  cli::debug("Starting  Macro Dump (%d)\n", r.length);
  const jtag::HeapText bits(JTAG_Shift(pattern.c_str(), r.length, 0, 0, '0'));
  const jtag::HeapText dump_text(bin2hex(bits.get()));
  out.write(dump_text.get());
  cli::debug("Cycling TCK in RTI ..\n");
  run_clocks(r.clocks);
  out.close();
  return 0;
}

}  // namespace jtagbox
