// What the TAP follower tells a recorder: every TCK it gives, with the state
// the controller was in before the rising edge, and every shift.  The
// recorders (the waveform, the SVF record) sit here, between the follower
// and the backend's lines, so they see the same bits on every backend.
#ifndef JTAGBOX_RECORDERS_TAP_OBSERVER_H
#define JTAGBOX_RECORDERS_TAP_OBSERVER_H

#include <optional>
#include <string_view>

#include "base/bits.h"
#include "base/error.h"
#include "base/tap_state.h"

namespace jtag {

class TapObserver {
 public:
  virtual ~TapObserver() = default;
  // One TCK with TMS and TDI driven, from `before`.  `tdo` is what TDO
  // presented before the rising edge when the platform read it; TCKs whose
  // TDO nobody reads (TMS walks, Run-Test/Idle cycles) have none.
  virtual void tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo) = 0;
  // `in.size()` TCKs from Shift-xR (`before`), TMS 1 on the last.  With
  // `recycle`, TDI on TCK i > 0 is out[i - 1]; `out` holds the TDO bits.
  virtual void shift(TapState before, const BitVector &in, const BitVector &out, bool recycle) = 0;
  // The TAP the lines reach is another one now (a scan-mode switch).
  virtual void restart(const TapRecord & /*record*/) {}
  // TRST asserted (the TAP in Test-Logic-Reset, `record`) or released.
  virtual void trst(bool /*asserted*/, const TapRecord &record) { restart(record); }
  // Something the platform did that is not a TCK (scan mode, FPGA
  // registers, the accelerator), in words.
  virtual void note(std::string_view /*text*/) {}
  // The end of a run that went well: everything recorded reaches the file.
  // Throws PlatformError when it cannot.
  virtual void close() = 0;
};

}  // namespace jtag

#endif
