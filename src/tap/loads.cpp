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
#include "base/heap_text.h"
#include "main/cli.h"
#include "main/commands.h"
#include "platform/jtag_platform.h"
#include "tap/tap_steps.h"

namespace jtagbox {
namespace {

constexpr int kLoadBits = 8;  // instruction and data loads alike
constexpr int kInternalShiftToIdle = 1;

enum class Path { InstructionSelect, DataSelect, InstructionByHand };

struct Load {
  const char *missing_value;  // the error for no value
  const char *usage;          // on -h and after the error
  const char *loading;        // debug line before the shift, "%s" = value
  const char *loaded;         // debug line after it
  Path path;
};

constexpr Load kLoadIR = {
    .missing_value = "JTAG_LoadIR: ERROR, Value not specified !",
    .usage = "JTAG_LoadIR <data> [-d=<level>] [-h]\n",
    .loading = "JTAG_LoadIR: Loading IR with 0x%s\n",
    .loaded = "JTAG_LoadIR: IR loaded with 0x%s\n",
    .path = Path::InstructionSelect,
};
constexpr Load kLoadDR = {
    .missing_value = "JTAG_LoadDR: ERROR, Value not specified !",
    .usage = "JTAG_LoadDR <data> [-d=<level>] [-h]\n",
    .loading = "JTAG_LoadDR: Loading DR with 0x%s\n",
    .loaded = "JTAG_LoadDR: DR loaded with 0x%s\n",
    .path = Path::DataSelect,
};
constexpr Load kScanIRPath = {
    .missing_value = "JTAG_ScanIR_Path: ERROR, Value not specified !",
    .usage = "JTAG_ScanIR_Path <data> [-d=<level>] [-h]\n",
    .loading = "JTAG_ScanIR_Path: Loading IR with 0x%s\n",
    .loaded = "JTAG_ScanIR_Path: IR loaded with 0x%s\n",
    .path = Path::InstructionByHand,
};

void shift_value(const Load &load, const char *value) {
  switch (load.path) {
    case Path::InstructionSelect: load_instruction(value, kLoadBits); break;
    case Path::DataSelect: load_data(value, kLoadBits); break;
    case Path::InstructionByHand: {
      JTAG_SetTms(1);
      JTAG_SetTms(0);
      jtag::HeapText dropped(JTAG_Shift_internal(value, kLoadBits, 0, 0, '0', kInternalShiftToIdle));
      break;
    }
  }
}

int run_load(const Load &load, int argc, char **argv) {
  if (argc < 2) cli::fail(load.missing_value, load.usage);

  const char *value = nullptr;
  cli::scan(
      argc, argv, [&load](const char *word) { cli::common_option(word, load.usage); },
      [&value](char *const *words, int) {
        value = words[0];  // the last value wins
        return 1;
      });
  if (value == nullptr) cli::fail(load.missing_value, load.usage);

  cli::debug(load.loading, value);
  shift_value(load, value);
  cli::debug(load.loaded, value);
  return 0;
}

}  // namespace

int cmd_load_ir(int argc, char **argv) { return run_load(kLoadIR, argc, argv); }
int cmd_load_dr(int argc, char **argv) { return run_load(kLoadDR, argc, argv); }
int cmd_scan_ir_path(int argc, char **argv) { return run_load(kScanIRPath, argc, argv); }

}  // namespace jtagbox
