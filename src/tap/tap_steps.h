// The TAP steps that the loads, the register and memory accesses and the
// scan-dump setups are made of.  Each load selects its path and makes one
// full shift (Capture, Shift, Exit1, Update, Run-Test/Idle); what comes out
// of a load is not wanted and is dropped.
#ifndef JTAGBOX_TAP_TAP_STEPS_H
#define JTAGBOX_TAP_TAP_STEPS_H

#include <string>

#include "base/heap_text.h"

namespace jtagbox {

// The instruction register of the processors (and of their control-register
// and L2 access units) is 8 bits long.
inline constexpr int kProcessorInstructionBits = 8;

// Select the instruction path and shift `code` (hex text) into an
// instruction register of `bits` bits.
void load_instruction(const char *code, int bits);

// Select the data path and shift `value` (hex text) into the data register
// of the instruction in force, `bits` bits long.
void load_data(const char *value, int bits);

// Select the data path and shift zeros in; returns the bits that came out.
// `wait` is the sentinel wait the register needs.
jtag::HeapText unload_data(int bits, int wait);

// Free-running TCK in Run-Test/Idle while the device completes an access.
void run_clocks(int cycles);

// How long JTAG_Reset waits for a reset that does not come back.
inline constexpr int kResetWatchdogSeconds = 5;

// JTAG_Reset's steps: the TAP to Test-Logic-Reset, where IEEE 1149.1 puts
// the IDCODE in the data path, then its 32 bits out.  The IDCODE as the
// eight hex digits the command prints.
std::string reset_and_read_idcode();

// The settings a raw shift passes after its pattern.
struct ShiftSettings {
  int length = 0;
  int recycle = 0;
  int wait = 0;
  char pad = '0';
};

// JTAG_IRPath's and JTAG_Shift's shift: the path selected, `pattern` (hex
// text) shifted with the settings; what came out, as hex text.
enum class ShiftPath { Instruction, Data };
jtag::HeapText shift_register(ShiftPath path, const char *pattern, const ShiftSettings &settings);

}  // namespace jtagbox

#endif
