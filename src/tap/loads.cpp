// JTAG_LoadIR, JTAG_LoadDR and JTAG_ScanIR_Path: shift an 8-bit value, typed
// as hex text, into the instruction or the data register.  The three are one
// design and differ only in how they reach the register:
//   LoadIR       select the IR path, then a full shift
//   LoadDR       select the DR path, then a full shift
//   ScanIR_Path  TMS 1 then TMS 0 by hand (from Select-DR-Scan that is
//                Select-IR-Scan, Capture-IR), then the internal shift that
//                starts at Capture and ends in Run-Test/Idle
// The value text goes to the platform as typed (a "0x" prefix included) and
// the bits that come out are dropped.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"

namespace jtagbox {
namespace {

constexpr int kLoadBits = 8;
constexpr int kInternalShiftToIdle = 1;

enum class Path { InstructionSelect, DataSelect, InstructionByHand };

struct Load {
  const char *missing_value;  // the error for no value
  const char *usage;          // on -h and after the error
  const char *loading;        // debug line before the shift, "%s" = value
  const char *loaded;         // debug line after it
  Path path;
};

constexpr Load kLoadIR = {"JTAG_LoadIR: ERROR, Value not specified !", "JTAG_LoadIR <data> [-d=<level>] [-h]\n",
                          "JTAG_LoadIR: Loading IR with 0x%s\n", "JTAG_LoadIR: IR loaded with 0x%s\n",
                          Path::InstructionSelect};
constexpr Load kLoadDR = {"JTAG_LoadDR: ERROR, Value not specified !", "JTAG_LoadDR <data> [-d=<level>] [-h]\n",
                          "JTAG_LoadDR: Loading DR with 0x%s\n", "JTAG_LoadDR: DR loaded with 0x%s\n",
                          Path::DataSelect};
constexpr Load kScanIRPath = {"JTAG_ScanIR_Path: ERROR, Value not specified !",
                              "JTAG_ScanIR_Path <data> [-d=<level>] [-h]\n",
                              "JTAG_ScanIR_Path: Loading IR with 0x%s\n", "JTAG_ScanIR_Path: IR loaded with 0x%s\n",
                              Path::InstructionByHand};

struct FreeText {
  void operator()(char *text) const { std::free(text); }
};
using HeapText = std::unique_ptr<char, FreeText>;

void shift_value(const Load &load, const char *value) {
  char *out = nullptr;
  switch (load.path) {
    case Path::InstructionSelect:
      JTAG_Select_IR();
      out = JTAG_Shift(value, kLoadBits, 0, 0, '0');
      break;
    case Path::DataSelect:
      JTAG_Select_DR();
      out = JTAG_Shift(value, kLoadBits, 0, 0, '0');
      break;
    case Path::InstructionByHand:
      JTAG_SetTms(1);
      JTAG_SetTms(0);
      out = JTAG_Shift_internal(value, kLoadBits, 0, 0, '0', kInternalShiftToIdle);
      break;
  }
  std::free(out);  // what came out of TDO is not wanted
}

int run_load(const Load &load, int argc, char **argv) {
  if (argc < 2) cli::fail(load.missing_value, load.usage);

  HeapText value;
  cli::scan(
      argc, argv, [&load](const char *word) { cli::common_option(word, load.usage); },
      [&value](char *const *words, int) {
        value.reset(cli::copy_word(words[0]));  // the last value wins
        return 1;
      });
  if (!value) cli::fail(load.missing_value, load.usage);

  if (debug_level) std::printf(load.loading, value.get());
  shift_value(load, value.get());
  if (debug_level) std::printf(load.loaded, value.get());
  return 0;
}

}  // namespace

int cmd_load_ir(int argc, char **argv) { return run_load(kLoadIR, argc, argv); }
int cmd_load_dr(int argc, char **argv) { return run_load(kLoadDR, argc, argv); }
int cmd_scan_ir_path(int argc, char **argv) { return run_load(kScanIRPath, argc, argv); }

}  // namespace jtagbox
