#include "tap/tap_steps.h"

#include "main/cli.h"
#include "platform/jtag_platform.h"

namespace jtagbox {

void load_instruction(const char *code, int bits) {
  JTAG_Select_IR();
  jtag::HeapText dropped(JTAG_Shift(code, bits, 0, 0, '0'));
}

void load_data(const char *value, int bits) {
  JTAG_Select_DR();
  jtag::HeapText dropped(JTAG_Shift(value, bits, 0, 0, '0'));
}

jtag::HeapText unload_data(int bits, int wait) {
  JTAG_Select_DR();
  return jtag::HeapText(JTAG_Shift("0", bits, 0, wait, '0'));
}

void run_clocks(int cycles) {
  for (int i = 0; i < cycles; ++i) cycle_tclk();
}

std::string reset_and_read_idcode() {
  JTAG_Reset();
  cli::debug("JTAG_Reset: JTAG Reset Complete\n");
  JTAG_Select_DR();
  const jtag::HeapText bits(JTAG_Shift("AAAAAAAA", 32, 0, 0, '0'));
  return jtag::HeapText(bin2hex(bits.get())).get();
}

jtag::HeapText shift_register(ShiftPath path, const char *pattern, const ShiftSettings &s) {
  if (path == ShiftPath::Instruction)
    JTAG_Select_IR();
  else
    JTAG_Select_DR();
  const jtag::HeapText bits(JTAG_Shift(pattern, s.length, s.recycle, s.wait, s.pad));
  return jtag::HeapText(bin2hex(bits.get()));
}

}  // namespace jtagbox
