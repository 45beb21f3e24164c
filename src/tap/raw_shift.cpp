// JTAG_Shift and JTAG_IRPath: shift an arbitrary pattern of any length
// through the data or the instruction register and show what came out, with
// every shift setting of the platform exposed (count, recycle, sentinel
// wait, pad character).
//
// JTAG_Shift takes its pattern from the command line or from a file, and
// writes the result to standard output or to a file, by the rules of the
// scan dumps' pattern and output files (files/).  Choices of our own:
//   - "-f=" or "-o=" with no name after the '=' is malformed, like "-f"
//     without '=': usage block, status 1.
//   - A negative length passes to the platform unchanged; it shifts nothing
//     and the result is the empty text.  No input is read for it.
#include <cstdio>
#include <optional>
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

constexpr const char *kShiftName = "JTAG_Shift";

// Printed after its error line, on -h as after a mistake.
constexpr const char *kShiftUsage =
    "JTAG_Shift <pattern|-f=input file> <Length>\n"
    "\tOptional: -r[ecycle] : set TDI=TDO\n"
    "\t         -p[ad]=[0|1]: pad character (default 0)\n"
    "\t         -w[ait]     : enable wait for sentinel bit\n"
    "\t         -d[=<num>] (debug [=level])\n"
    "\t         -h (help)\n\n"
    "\t         -a (accelerate using FPGA accelerator)\n\n"
    "\t         -o=<output file>\n\n";

void print_shift_usage() {
  std::puts("JTAG_Shift: ERROR, Pattern/Length not specified !");
  std::fputs(kShiftUsage, stdout);
}

[[noreturn]] void shift_usage_exit(int status) {
  print_shift_usage();
  cli::exit_command(status);
}

// -p=<c> sets the pad character; "-p" without '=' (or with nothing after
// it) keeps the one before.
void take_pad(const char *word, ShiftSettings &s) {
  char c = 0;
  if (std::sscanf(word, "-p=%c", &c) == 1) s.pad = c;
}

struct ShiftRequest {
  ShiftSettings settings;
  const char *pattern = nullptr;  // the word as typed
  std::string input_name;         // from -f=; empty when none was given
  std::string output_name;        // from -o=; empty when none was given
  bool accelerate = false;
};

std::string file_option(const char *word, const char *format) {
  if (!cli::has_equals(word)) shift_usage_exit(1);
  std::string name = cli::option_value(word, format);
  if (name.empty()) shift_usage_exit(1);
  return name;
}

void take_shift_option(ShiftRequest &r, const char *word) {
  switch (cli::letter(word)) {
    case 'a': r.accelerate = true; break;
    case 'w': r.settings.wait = 1; break;
    case 'p': take_pad(word, r.settings); break;
    case 'f':
      if (r.settings.recycle) shift_usage_exit(1);  // -r and -f exclude each other
      r.input_name = file_option(word, "-f=%s");
      break;
    case 'o': r.output_name = file_option(word, "-o=%s"); break;
    case 'r':
      if (!r.input_name.empty()) shift_usage_exit(1);
      r.settings.recycle = 1;
      break;
    default: cli::common_option(word, [] { print_shift_usage(); });
  }
}

// Before an input file is named a positional word is the pattern and the
// word after it the length; afterwards a positional word is the length.
int take_shift_positional(ShiftRequest &r, char *const *words, int remaining) {
  if (!r.input_name.empty()) {
    cli::read_int(words[0], r.settings.length);
    return 1;
  }
  r.pattern = words[0];
  if (remaining < 2) return 1;
  cli::read_int(words[1], r.settings.length);
  return 2;
}

ShiftRequest scan_shift_arguments(int argc, char **argv) {
  if (argc - 1 < 2) shift_usage_exit(1);
  ShiftRequest r;
  cli::scan(
      argc, argv, [&](const char *word) { take_shift_option(r, word); },
      [&](char *const *words, int remaining) { return take_shift_positional(r, words, remaining); });
  if ((r.pattern == nullptr && r.input_name.empty()) || r.settings.length == 0) shift_usage_exit(1);
  return r;
}

}  // namespace

JTAGBOX_COMMAND(8, JTAG_Shift, cmd_shift, kShiftUsage, "-a -f= -o= -p= -r -w");

int cmd_shift(int argc, char **argv) {
  const ShiftRequest r = scan_shift_arguments(argc, argv);
  const ShiftSettings &s = r.settings;
  const char *output_name = r.output_name.c_str();

  std::optional<files::OutputFile> out;
  if (!r.output_name.empty()) out.emplace(kShiftName, output_name);
  std::string file_pattern;  // the file's pattern replaces the command line's
  const char *pattern = r.pattern;
  if (!r.input_name.empty()) {
    files::InputFile in(kShiftName, r.input_name.c_str());  // failing, it leaves out empty
    file_pattern = files::read_pattern(in, s.length);
    pattern = file_pattern.c_str();
    cli::debug("JTAG_Shift: Shifting = %s (%d shifts) \n", pattern, s.length);
  } else {
    cli::debug("JTAG_Shift: Shifting %s (%d shifts)\n", pattern, s.length);
  }

  if (r.accelerate) jtag_fpga_accelerate = 1;
  const jtag::HeapText hex = shift_register(ShiftPath::Data, pattern, s);
  cli::debug("JTAG_Shift: Data Out is : %s\n", hex.get());
  if (out) {
    cli::debug("JTAG_SHIFT: Saving shift data(len=%d) to file %s\n", s.length, output_name);
    out->write(hex.get());
    out->close();
  } else {
    std::puts(hex.get());
  }
  return 0;
}

// ---- JTAG_IRPath ----

namespace {

constexpr const char *kIRPathUsage =
    "JTAG_IRPath <pattern> <length>\n\tOptional: -r[ecycle] : set TDI=TDO\n\t         -w[ait]    : enable wait for "
    "sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t         -h (help)\n\n";

[[noreturn]] void ir_path_fail(const char *message) {
  std::puts(message);
  std::printf("%s", kIRPathUsage);
  cli::exit_command(1);
}

struct IRPathRequest {
  ShiftSettings settings;
  const char *pattern = nullptr;  // the word as typed
};

void take_ir_path_option(IRPathRequest &r, const char *word) {
  switch (cli::letter(word)) {
    case 'p': take_pad(word, r.settings); break;
    case 'r': r.settings.recycle = 1; break;
    case 'w': r.settings.wait = 1; break;
    default: cli::common_option(word, [] { std::printf("%s", kIRPathUsage); });
  }
}

IRPathRequest scan_ir_path_arguments(int argc, char **argv) {
  if (argc - 1 < 2) ir_path_fail("JTAG_IRPath: ERROR, Pattern/Length not specified !");
  IRPathRequest r;
  cli::scan(
      argc, argv, [&](const char *word) { take_ir_path_option(r, word); },
      cli::group_of(2, [&](char *const *words, int present) {
        r.pattern = words[0];
        if (present > 1) cli::read_int(words[1], r.settings.length);
      }));
  if (r.pattern == nullptr) ir_path_fail("JTAG_IRPath: ERROR, pattern not specified !");
  if (r.settings.length == 0) ir_path_fail("JTAG_IRPath: ERROR, length not specified !");
  return r;
}

}  // namespace

JTAGBOX_COMMAND(18, JTAG_IRPath, cmd_ir_path, kIRPathUsage, "-p= -r -w");

int cmd_ir_path(int argc, char **argv) {
  const IRPathRequest r = scan_ir_path_arguments(argc, argv);
  cli::debug("JTAG_IRPath: Shifting %s (%d shifts)\n", r.pattern, r.settings.length);
  const jtag::HeapText hex = shift_register(ShiftPath::Instruction, r.pattern, r.settings);
  cli::debug("JTAG_IRPath: Data Out is :");
  std::puts(hex.get());
  return 0;
}

}  // namespace jtagbox
