// The TAP operations of the platform interface, built on the backend's
// clock and shift paths.  Each one writes its trace line first, then acts.
//
// Where the TAP goes:
//   JTAG_Reset           five TCKs with TMS high: Test-Logic-Reset
//   JTAG_Select_DR/IR    the shortest TMS path to Select-DR-Scan/Select-IR-Scan
//   JTAG_Shift           from Select-xR-Scan (from any other state it first
//                        walks to Select-DR-Scan): Capture, Shift with TMS 1
//                        on the last bit, Exit1, Update, Run-Test/Idle
//   JTAG_Shift_internal  from Capture-xR with no select: Shift, Exit1; then
//                        mode 2 stays in Exit1-xR, any other mode goes on
//                        through Update to Run-Test/Idle
//   JTAG_SetTms          drives TMS and gives one TCK
//   cycle_tclk           one TCK at the TMS level last driven
// TDI keeps its last level on every TCK that does not shift.
//
// The long part of a shift takes the bulk path when jtag_fpga_accelerate is
// set, or while this process has the scan-dump accelerator switched on;
// otherwise it goes bit by bit.  Both give the same bits.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/backend.h"
#include "platform/bits.h"
#include "platform/heap_text.h"
#include "platform/jtag_platform.h"
#include "platform/trace.h"

extern "C" {
int jtag_fpga_accelerate = 0;
}

namespace {

using jtag::BitVector;
using jtag::TapState;

bool g_scan_dump_accelerator = false;

jtag::Backend &hw() { return jtag::backend(); }

// One TCK whose TDO nobody reads (a backend on the wire only queues it),
// with the line mirrors kept up to date; `tdo` keeps the last bit a shift
// read.
void drive(bool tms_level, bool tdi_level) {
  hw().pulse(tms_level, tdi_level);
  tms = tms_level;
  TDI = tdi_level;
  ++bit_counter;
}

void walk_to(TapState target) {
  for (bool t : jtag::tms_path(hw().tap_state(), target)) drive(t, hw().tdi_level());
}

std::string shift_trace_line(const char *name, const char *pattern, int count, int recycle, int wait, char pad) {
  std::string line = name;
  line += " \"" + jtag::escape_text(pattern == nullptr ? "" : pattern) + "\" ";
  line += std::to_string(count) + " " + std::to_string(recycle) + " " + std::to_string(wait) + " '";
  line += jtag::escape_text(std::string_view(&pad, 1), '\'') + "'";
  return line;
}

std::string accel_suffix() { return " accel=" + std::to_string(jtag_fpga_accelerate); }

// Eight characters for each byte value, most significant bit first.
struct ByteCharacters {
  char text[256][8];
  constexpr ByteCharacters() : text() {
    for (int v = 0; v < 256; ++v)
      for (int j = 0; j < 8; ++j) text[v][j] = ((v >> (7 - j)) & 1) ? '1' : '0';
  }
};
constexpr ByteCharacters kByteCharacters;

// The bit string of a shift: bit i (shifted on cycle i) is character
// n - 1 - i.  A byte at a time, since a scan chain can be long.
char *heap_bit_string(const BitVector &bits) {
  const size_t n = bits.size();
  char *out = jtag::checked_malloc(n + 1);
  const size_t whole = n / 8;
  for (size_t k = 0; k < whole; ++k) {
    const auto byte = unsigned(bits.get_bits(8 * k, 8));
    std::memcpy(out + n - 8 * (k + 1), kByteCharacters.text[byte], 8);
  }
  for (size_t i = 8 * whole; i < n; ++i) out[n - 1 - i] = bits.get(i) ? '1' : '0';
  out[n] = '\0';
  return out;
}

// From Capture-xR: Shift `count` bits, Exit1, and (when asked) on to
// Run-Test/Idle.
char *shift_from_capture(const char *pattern, int count, int recycle, char pad, bool to_idle) {
  BitVector out;
  if (count <= 0) {
    drive(true, hw().tdi_level());  // Capture -> Exit1, nothing shifted
  } else {
    drive(false, hw().tdi_level());  // Capture -> Shift (the capture happens on this edge)
    const BitVector in = jtag::pattern_bits(pattern, size_t(count), pad);
    const bool bulk = jtag_fpga_accelerate != 0 || g_scan_dump_accelerator;
    out = bulk ? hw().shift_bulk(in, recycle != 0) : hw().shift_bits(in, recycle != 0);
    bit_counter += count;
    tms = 1;
    TDI = recycle != 0 && count > 1 ? out.get(size_t(count) - 2) : in.get(size_t(count) - 1);
    tdo = out.get(size_t(count) - 1);
  }
  if (to_idle) {
    drive(true, hw().tdi_level());   // Exit1 -> Update
    drive(false, hw().tdi_level());  // Update -> Run-Test/Idle
  }
  return heap_bit_string(out);
}

}  // namespace

extern "C" int JTAG_Reset(void) {
  jtag::Backend &b = hw();
  jtag::trace("JTAG_Reset");
  b.reset_tap();
  tms = 1;
  bit_counter += 5;
  return 0;
}

extern "C" int JTAG_Select_IR(void) {
  hw();
  jtag::trace("JTAG_Select_IR");
  walk_to(TapState::SelectIRScan);
  return 0;
}

extern "C" int JTAG_Select_DR(void) {
  hw();
  jtag::trace("JTAG_Select_DR");
  walk_to(TapState::SelectDRScan);
  return 0;
}

extern "C" char *JTAG_Shift(const char *pattern, int count, int recycle, int wait, char pad) {
  hw();
  jtag::trace(shift_trace_line("JTAG_Shift", pattern, count, recycle, wait, pad) + accel_suffix());
  const TapState s = hw().tap_state();
  if (s != TapState::SelectDRScan && s != TapState::SelectIRScan) walk_to(TapState::SelectDRScan);
  drive(false, hw().tdi_level());  // Select -> Capture
  return shift_from_capture(pattern, count, recycle, pad, true);
}

extern "C" char *JTAG_Shift_internal(const char *pattern, int count, int recycle, int wait, char pad, int mode) {
  hw();
  jtag::trace(shift_trace_line("JTAG_Shift_internal", pattern, count, recycle, wait, pad) + " " +
              std::to_string(mode) + accel_suffix());
  return shift_from_capture(pattern, count, recycle, pad, mode != 2);
}

extern "C" int JTAG_SetTms(int level) {
  hw();
  jtag::trace("JTAG_SetTms " + std::to_string(level));
  drive(level != 0, hw().tdi_level());
  return 0;
}

extern "C" int cycle_tclk(void) {
  hw();
  jtag::trace("cycle_tclk");
  drive(hw().tms_level(), hw().tdi_level());
  return 0;
}

extern "C" int JTAG_system_scan_mode_select(unsigned int word) {
  hw();
  char line[64];
  std::snprintf(line, sizeof line, "JTAG_system_scan_mode_select 0x%x", word);
  jtag::trace(line);
  hw().select_scan_mode(word);
  return 0;
}

extern "C" unsigned int JTAG_read_scan_control_reg(void) {
  hw();
  jtag::trace("JTAG_read_scan_control_reg");
  return hw().scan_control();
}

extern "C" int jtag_pelustr_fpga_accelerate(int on) {
  hw();
  jtag::trace("jtag_pelustr_fpga_accelerate " + std::to_string(on));
  if (!hw().set_scan_dump_accelerator(on != 0)) return 1;
  g_scan_dump_accelerator = on != 0;
  return 0;
}

extern "C" unsigned char fpga_get8(uint32_t address) {
  hw();
  char line[64];
  std::snprintf(line, sizeof line, "fpga_get8 0x%x", address);
  jtag::trace(line);
  return hw().fpga_read(address);
}

extern "C" int fpga_put8(uint32_t address, unsigned char value) {
  hw();
  char line[64];
  std::snprintf(line, sizeof line, "fpga_put8 0x%x 0x%x", address, unsigned(value));
  jtag::trace(line);
  hw().fpga_write(address, value);
  return 0;
}
