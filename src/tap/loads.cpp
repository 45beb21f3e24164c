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
#include <string>

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

// The messages name the command and its register: "NAME: ERROR, Value not
// specified !", "NAME: Loading IR with 0x%s", "NAME: IR loaded with 0x%s".
struct Load {
  const char *name;
  const char *reg;    // "IR" or "DR"
  const char *usage;  // on -h and after the error
  Path path;
};

constexpr Load kLoadIR = {"JTAG_LoadIR", "IR", "JTAG_LoadIR <data> [-d=<level>] [-h]\n", Path::InstructionSelect};
constexpr Load kLoadDR = {"JTAG_LoadDR", "DR", "JTAG_LoadDR <data> [-d=<level>] [-h]\n", Path::DataSelect};
constexpr Load kScanIRPath = {"JTAG_ScanIR_Path", "IR", "JTAG_ScanIR_Path <data> [-d=<level>] [-h]\n",
                              Path::InstructionByHand};

[[noreturn]] void value_missing(const Load &load) {
  const std::string message = std::string(load.name) + ": ERROR, Value not specified !";
  cli::fail(message.c_str(), load.usage);
}

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
  if (argc < 2) value_missing(load);

  const char *value = nullptr;
  cli::scan(
      argc, argv, [&load](const char *word) { cli::common_option(word, load.usage); },
      [&value](char *const *words, int) {
        value = words[0];  // the last value wins
        return 1;
      });
  if (value == nullptr) value_missing(load);

  cli::debug("%s: Loading %s with 0x%s\n", load.name, load.reg, value);
  shift_value(load, value);
  cli::debug("%s: %s loaded with 0x%s\n", load.name, load.reg, value);
  return 0;
}

}  // namespace

JTAGBOX_COMMAND(2, JTAG_LoadDR, cmd_load_dr, kLoadDR.usage, "");
JTAGBOX_COMMAND(3, JTAG_LoadIR, cmd_load_ir, kLoadIR.usage, "");
JTAGBOX_COMMAND(13, JTAG_ScanIR_Path, cmd_scan_ir_path, kScanIRPath.usage, "");

int cmd_load_ir(int argc, char **argv) { return run_load(kLoadIR, argc, argv); }
int cmd_load_dr(int argc, char **argv) { return run_load(kLoadDR, argc, argv); }
int cmd_scan_ir_path(int argc, char **argv) { return run_load(kScanIRPath, argc, argv); }

}  // namespace jtagbox
