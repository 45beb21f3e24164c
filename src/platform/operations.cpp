// The operations of the platform interface, built on the TAP follower and
// the backend's lines.  Each one writes its trace line first, then
// acts.
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
// set, or while the session has the scan-dump accelerator switched on;
// otherwise it goes bit by bit.  Both give the same bits.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/bits.h"
#include "base/heap_text.h"
#include "platform/jtag_platform.h"
#include "platform/platform_session.h"
#include "platform/trace.h"

extern "C" {
int jtag_fpga_accelerate = 0;
}

namespace {

using jtag::BitVector;
using jtag::PlatformSession;
using jtag::TapState;

PlatformSession &board() { return PlatformSession::get(); }

// The line mirrors the platform keeps for the executable: the levels last
// driven, the last TDO a shift read, and a running count of TCKs.
// A library caller's sessions leave them alone: its threads share none.
void mirror_lines(PlatformSession &s) {
  if (jtag::session_bound()) return;
  const jtag::TapRecord &r = s.tap().record();
  tms = r.tms;
  TDI = r.tdi;
  bit_counter = int(s.tap().tck_count());
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

// The bit string of a shift, written into `out` (n + 1 bytes): bit i
// (shifted on cycle i) is character n - 1 - i.  A byte at a time, since a
// scan chain can be long.
void write_bit_string(const BitVector &bits, char *out) {
  const size_t n = bits.size();
  const size_t whole = n / 8;
  for (size_t k = 0; k < whole; ++k) {
    const auto byte = unsigned(bits.get_bits(8 * k, 8));
    std::memcpy(out + n - 8 * (k + 1), kByteCharacters.text[byte], 8);
  }
  for (size_t i = 8 * whole; i < n; ++i) out[n - 1 - i] = bits.get(i) ? '1' : '0';
  out[n] = '\0';
}

// From Capture-xR: Shift `count` bits, Exit1, and (when asked) on to
// Run-Test/Idle.  The memory of the answer is taken before the first TCK,
// so a shift longer than memory allows ends before it touches the board
// rather than after hours on a slow wire.
char *shift_from_capture(PlatformSession &s, const char *pattern, int count, int recycle, char pad, bool to_idle) {
  const size_t length = count > 0 ? size_t(count) : 0;
  jtag::HeapText answer(jtag::checked_malloc(length + 1));
  jtag::TapFollower &tap = s.tap();
  BitVector out;
  if (length == 0) {
    tap.tck(true);  // Capture -> Exit1, nothing shifted
  } else {
    const BitVector in = jtag::pattern_bits(pattern, length, pad);
    tap.tck(false);  // Capture -> Shift (the capture happens on this edge)
    const bool bulk = jtag_fpga_accelerate != 0 || s.scan_dump_accelerator;
    out = tap.shift(in, recycle != 0, bulk);
    if (!jtag::session_bound()) tdo = out.get(length - 1);
  }
  if (to_idle) {
    tap.tck(true);   // Exit1 -> Update
    tap.tck(false);  // Update -> Run-Test/Idle
  }
  mirror_lines(s);
  write_bit_string(out, answer.get());
  return answer.release();
}

std::string hex_line(const char *name, unsigned value) {
  char line[64];
  std::snprintf(line, sizeof line, "%s 0x%x", name, value);
  return line;
}

}  // namespace

extern "C" int JTAG_Reset(void) {
  PlatformSession &s = board();
  jtag::trace("JTAG_Reset");
  jtag::guarded([&] { s.tap().reset(); });
  mirror_lines(s);
  return 0;
}

extern "C" int JTAG_Select_IR(void) {
  PlatformSession &s = board();
  jtag::trace("JTAG_Select_IR");
  jtag::guarded([&] { s.tap().walk_to(TapState::SelectIRScan); });
  mirror_lines(s);
  return 0;
}

extern "C" int JTAG_Select_DR(void) {
  PlatformSession &s = board();
  jtag::trace("JTAG_Select_DR");
  jtag::guarded([&] { s.tap().walk_to(TapState::SelectDRScan); });
  mirror_lines(s);
  return 0;
}

extern "C" char *JTAG_Shift(const char *pattern, int count, int recycle, int wait, char pad) {
  PlatformSession &s = board();
  jtag::trace(shift_trace_line("JTAG_Shift", pattern, count, recycle, wait, pad) + accel_suffix());
  return jtag::guarded([&] {
    const TapState at = s.tap().record().state;
    if (at != TapState::SelectDRScan && at != TapState::SelectIRScan) s.tap().walk_to(TapState::SelectDRScan);
    s.tap().tck(false);  // Select -> Capture
    return shift_from_capture(s, pattern, count, recycle, pad, true);
  });
}

extern "C" char *JTAG_Shift_internal(const char *pattern, int count, int recycle, int wait, char pad, int mode) {
  PlatformSession &s = board();
  jtag::trace(shift_trace_line("JTAG_Shift_internal", pattern, count, recycle, wait, pad) + " " + std::to_string(mode) +
              accel_suffix());
  return jtag::guarded([&] { return shift_from_capture(s, pattern, count, recycle, pad, mode != 2); });
}

extern "C" int JTAG_SetTms(int level) {
  PlatformSession &s = board();
  jtag::trace("JTAG_SetTms " + std::to_string(level));
  jtag::guarded([&] { s.tap().tck(level != 0); });
  mirror_lines(s);
  return 0;
}

extern "C" int cycle_tclk(void) {
  PlatformSession &s = board();
  jtag::trace("cycle_tclk");
  jtag::guarded([&] { s.tap().tck(s.tap().record().tms); });
  mirror_lines(s);
  return 0;
}

extern "C" int JTAG_system_scan_mode_select(unsigned int word) {
  PlatformSession &s = board();
  jtag::trace(hex_line("JTAG_system_scan_mode_select", word));
  jtag::guarded([&] {
    s.lines().flush();  // what was clocked reaches the device it was meant for
    s.services("scan-mode selection").select_scan_mode(word);
    s.note(hex_line("scan mode selected:", word) + ", the chain reaches other devices from here");
    s.reload_tap_record();
  });
  mirror_lines(s);
  return 0;
}

extern "C" unsigned int JTAG_read_scan_control_reg(void) {
  PlatformSession &s = board();
  jtag::trace("JTAG_read_scan_control_reg");
  return jtag::guarded([&] {
    const unsigned value = s.services("the scan control register").scan_control();
    s.note(hex_line("scan control register read:", value));
    return value;
  });
}

// The one board service whose failure the commands handle themselves: a
// backend without an accelerator answers "failed" like a switch that failed.
extern "C" int jtag_pelustr_fpga_accelerate(int on) {
  PlatformSession &s = board();
  jtag::trace("jtag_pelustr_fpga_accelerate " + std::to_string(on));
  if (!s.has_services()) return 1;
  const bool switched = jtag::guarded([&] {
    s.lines().flush();
    const bool done = s.services("the scan-dump accelerator").set_scan_dump_accelerator(on != 0);
    s.note(std::string("scan-dump accelerator switched ") + (on != 0 ? "on" : "off") + (done ? "" : ": failed"));
    return done;
  });
  if (!switched) return 1;
  s.scan_dump_accelerator = on != 0;
  return 0;
}

extern "C" unsigned char fpga_get8(uint32_t address) {
  PlatformSession &s = board();
  jtag::trace(hex_line("fpga_get8", address));
  return jtag::guarded([&] {
    const uint8_t value = s.services("FPGA registers").fpga_read(address);
    char line[64];
    std::snprintf(line, sizeof line, "FPGA register 0x%x read: 0x%02x", address, unsigned(value));
    s.note(line);
    return value;
  });
}

extern "C" int fpga_put8(uint32_t address, unsigned char value) {
  PlatformSession &s = board();
  char line[64];
  std::snprintf(line, sizeof line, "fpga_put8 0x%x 0x%x", address, unsigned(value));
  jtag::trace(line);
  jtag::guarded([&] {
    s.services("FPGA registers").fpga_write(address, value);
    std::snprintf(line, sizeof line, "FPGA register 0x%x written: 0x%02x", address, unsigned(value));
    s.note(line);
  });
  return 0;
}
