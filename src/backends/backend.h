// What the platform core needs of a backend.  The core owns the TAP: it
// follows the controller's state and the TMS/TDI levels through every TCK it
// gives, and builds every operation of the platform interface out of TCKs
// and shifts.  A backend only moves bits (its BackendLines) and may offer the
// board's other services (BoardServices).  Adding a backend for a probe
// means writing its lines in a folder of src/backends and declaring it once
// in CMakeLists.txt (doc/architecture.md, "Adding a backend"); every
// backend's lines pass the conformance table of tests/backends.
#ifndef JTAGBOX_BACKENDS_BACKEND_H
#define JTAGBOX_BACKENDS_BACKEND_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/bits.h"
#include "base/error.h"
#include "base/tap_state.h"

namespace jtag {

// The lines half of a backend: the TCKs, shifts and reset lines it moves.
class BackendLines {
 public:
  virtual ~BackendLines() = default;

  // One TCK with TMS and TDI driven; returns TDO as sampled before the
  // rising edge (what the chain presents in the state before the edge).
  virtual bool clock(bool tms, bool tdi) = 0;
  // One TCK whose TDO nobody reads: a backend may queue it.
  virtual void pulse(bool tms, bool tdi) { clock(tms, tdi); }
  // Five TCKs with TMS high.  A backend with a reset line of its own may use
  // it instead.
  virtual void reset_tap(bool tdi);

  // `in.size()` TCKs in Shift-xR, TMS 0 on all but the last and 1 on the
  // last; with `recycle`, TDI on each TCK after the first is the TDO of the
  // TCK before.  Returns the TDO bits, bit i sampled on TCK i.  shift_bits
  // is the bit-level path (by default one clock() per bit); shift_bulk is
  // the accelerated path, which a backend may do at once.
  virtual BitVector shift_bits(const BitVector &in, bool recycle);
  virtual BitVector shift_bulk(const BitVector &in, bool recycle) { return shift_bits(in, recycle); }

  // The same shift when nobody reads TDO: a backend may queue it.
  virtual void shift_unread(const BitVector &in) { shift_bulk(in, false); }

  // `in.size()` TCKs in Shift-xR with TMS 0 on every one: the TAP stays in
  // Shift-xR, so a shift too long to hold goes in pieces, all but the last
  // by this and the last by one of the shifts above.  Returns the TDO bits
  // when `read`, else an empty vector (and a backend may queue the TCKs).
  // By default a TCK at a time.
  virtual BitVector shift_staying(const BitVector &in, bool read);

  // Shifts whose TDO is taken later, in the order they were queued, so that
  // many can be on the wire at once instead of a round trip each: a backend
  // that can defers_shifts(), and collect_shift() waits for the oldest one
  // not yet collected.  The core asks defers_shifts() first.
  virtual bool defers_shifts() const { return false; }
  virtual void queue_shift(const BitVector &in);
  virtual BitVector collect_shift();

  // TRST, on a backend that has the line (remote_bitbang's reset bytes, the
  // simulated board's own).  Asserted, it puts every TAP of the chain in
  // Test-Logic-Reset at once, without a TCK, and holds it there: TCKs given
  // meanwhile move nothing.  A backend without the line throws
  // PlatformError; the core asks has_trst() first.
  virtual bool has_trst() const { return false; }
  virtual void set_trst(bool asserted);
  // SRST, the system reset of the board's devices (not of their TAPs), on
  // a backend that has the line; the same contract as TRST otherwise.
  virtual bool has_srst() const { return false; }
  virtual void set_srst(bool asserted);

  // The backend as a person would name it, with what it was set to (a
  // probe's chip and TCK); empty where JTAG_PLATFORM says it all.
  virtual std::string describe() const { return {}; }

  // Runs TCK at `hz` or the nearest rate below it the backend can make;
  // returns the rate taken, or none where this backend's TCK cannot be set
  // (remote_bitbang carries no frequency).  Everything queued takes effect
  // at the old rate first.
  virtual std::optional<double> set_tck_hz(double hz) {
    (void)hz;
    return std::nullopt;
  }

  // Everything queued has been sent and has taken effect on the board.
  virtual void flush() {}
  // Everything queued takes effect, then the lines stay as they are until
  // `until`: the TAP sits where the last TCK left it for a time the board's
  // devices need in real time (an erase).  A backend that bounds how long a
  // run may take does not count this time.
  virtual void hold_until(std::chrono::steady_clock::time_point until);
  // The end of the run, called once after the last TCK: the backend confirms
  // that everything it sent took effect and lets the board go.  Throws
  // PlatformError when it cannot.
  virtual void finish() = 0;
};

// The board beyond its JTAG lines.  A backend without these (a bare probe
// on the wire) has none; the core then refuses the operations that need them.
class BoardServices {
 public:
  virtual ~BoardServices() = default;
  // Route the JTAG chain; the word stays in force after the process ends.
  virtual void select_scan_mode(unsigned word) = 0;
  virtual unsigned scan_control() = 0;
  virtual uint8_t fpga_read(uint32_t address) = 0;
  virtual void fpga_write(uint32_t address, uint8_t value) = 0;
  // false when the switch failed.
  virtual bool set_scan_dump_accelerator(bool on) = 0;
};

// Where the TAP record of one board is kept between runs.
class TapRecordStore {
 public:
  virtual ~TapRecordStore() = default;
  // The record, or the power-up record when the board has none yet.  Throws
  // PlatformError when a record exists but cannot be read.
  virtual TapRecord load() = 0;
  // Called at the end of a run that went well, after BackendLines::finish().
  virtual void save(const TapRecord &record) = 0;
};

// One board as the core sees it: a backend's lines, its TAP record store
// and its board services, if any.
struct Backend {
  std::unique_ptr<BackendLines> lines;
  std::unique_ptr<TapRecordStore> record;
  BoardServices *services = nullptr;  // optional; lives as long as `lines`
  std::string name;                   // the JTAG_PLATFORM value, for messages
};

}  // namespace jtag

#endif
