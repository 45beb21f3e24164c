// The TAP steps that the register and memory accesses are made of.
#ifndef JTAGBOX_ACCESS_TAP_STEPS_H
#define JTAGBOX_ACCESS_TAP_STEPS_H

#include <cstdlib>

#include "platform/jtag_platform.h"

namespace jtagbox {

inline constexpr int kInstructionBits = 8;

// Select the instruction path and shift an 8-bit instruction (two hex digits).
inline void load_instruction(const char *code) {
  JTAG_Select_IR();
  std::free(JTAG_Shift(code, kInstructionBits, 0, 0, '0'));
}

// Select the data path and shift `pattern` in; what comes out is not needed.
inline void load_data(const char *pattern, int bits) {
  JTAG_Select_DR();
  std::free(JTAG_Shift(pattern, bits, 0, 0, '0'));
}

// Select the data path and shift zeros in; returns the bits that came out.
inline char *unload_data(int bits, int wait) {
  JTAG_Select_DR();
  return JTAG_Shift("0", bits, 0, wait, '0');
}

// Free-running TCK in Run-Test/Idle while the device completes an access.
inline void run_clocks(int cycles) {
  for (int i = 0; i < cycles; ++i) cycle_tclk();
}

}  // namespace jtagbox

#endif
