// The TAP steps that the loads, the register and memory accesses and the
// scan-dump setups are made of.  Each load selects its path and makes one
// full shift (Capture, Shift, Exit1, Update, Run-Test/Idle); what comes out
// of a load is not wanted and is dropped.
#ifndef JTAGBOX_TAP_TAP_STEPS_H
#define JTAGBOX_TAP_TAP_STEPS_H

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

}  // namespace jtagbox

#endif
