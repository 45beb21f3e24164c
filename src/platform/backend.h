// What the platform operations need of the hardware.  A backend drives the
// JTAG lines of one board (simulated or real) and reaches its FPGA.
//
// The platform layer builds every TAP operation out of clock() and the two
// shift paths; a backend only has to move bits.  The TAP state it reports is
// the state the hardware holds now, kept across processes like the hardware
// keeps it, so that one command can leave the TAP where the next expects it.
#ifndef JTAGBOX_PLATFORM_BACKEND_H
#define JTAGBOX_PLATFORM_BACKEND_H

#include <cstdint>
#include <memory>

#include "platform/bits.h"
#include "platform/tap_state.h"

namespace jtag {

class Backend {
 public:
  virtual ~Backend() = default;

  // One TCK cycle with TMS and TDI driven: returns TDO as sampled before the
  // rising edge (what the chain presents in this state).
  virtual bool clock(bool tms, bool tdi) = 0;
  // One TCK whose TDO is not wanted: a backend may queue it.
  virtual void pulse(bool tms, bool tdi) { clock(tms, tdi); }

  // `in.size()` cycles in Shift-xR; TMS is 0 on all but the last, 1 on the
  // last.  With `recycle`, TDI on each cycle after the first is the TDO of the
  // cycle before.  Returns the TDO bits, bit i sampled on cycle i.
  // shift_bits is the bit-level path (the default clocks one bit at a time);
  // shift_bulk is the accelerated path, which a backend may do at once.
  virtual BitVector shift_bits(const BitVector &in, bool recycle);
  virtual BitVector shift_bulk(const BitVector &in, bool recycle) { return shift_bits(in, recycle); }

  // Test-Logic-Reset by five TCK cycles with TMS high.
  virtual void reset_tap();

  virtual TapState tap_state() = 0;
  virtual bool tms_level() = 0;  // the TMS level last driven
  virtual bool tdi_level() = 0;  // the TDI level last driven

  virtual void select_scan_mode(unsigned word) = 0;
  virtual unsigned scan_control() = 0;
  virtual uint8_t fpga_read(uint32_t address) = 0;
  virtual void fpga_write(uint32_t address, uint8_t value) = 0;
  // false when the switch failed.
  virtual bool set_scan_dump_accelerator(bool on) = 0;
};

// The backend that JTAG_PLATFORM names, made at the first platform
// operation.  An unusable value ends the process with one line on standard
// error and status 1.
Backend &backend();

}  // namespace jtag

#endif
