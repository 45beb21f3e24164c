// The TAP follower: the platform's one picture of the TAP controller and of
// the TMS/TDI levels.  Every TCK the platform gives goes through it, so the
// state it holds is the state the board's TAP is in, and the backend's lines
// underneath only move bits.
#ifndef JTAGBOX_PLATFORM_TAP_FOLLOWER_H
#define JTAGBOX_PLATFORM_TAP_FOLLOWER_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "backends/backend.h"
#include "base/bits.h"
#include "recorders/tap_observer.h"

namespace jtag {

// Shifts longer than this are done at once even where shifts can wait.
inline constexpr size_t kLargestDeferredShift = size_t{1} << 16;

class TapFollower {
 public:
  TapFollower(BackendLines &lines, TapRecord start) : lines_(lines), record_(start) {}

  const TapRecord &record() const { return record_; }
  // The board says its TAP is elsewhere now (another device was routed in).
  void restart_from(TapRecord record);
  // A recorder that sees every TCK from now on (it outlives the follower's
  // use of it).
  void add_observer(TapObserver *observer) { observers_.push_back(observer); }
  const std::vector<TapObserver *> &observers() const { return observers_; }

  // One TCK whose TDO nobody reads; TDI keeps its level.
  void tck(bool tms) { tck(tms, record_.tdi); }
  void tck(bool tms, bool tdi);
  // The shortest TMS path to `target`.
  void walk_to(TapState target);
  // Five TCKs with TMS high: Test-Logic-Reset.
  void reset();
  // TRST, where the backend has it: asserted, the TAP is in
  // Test-Logic-Reset and stays there through any TCK until it is released.
  bool has_trst() const { return lines_.has_trst(); }
  bool trst_asserted() const { return trst_; }
  void set_trst(bool asserted);
  // From Shift-xR: `in.size()` TCKs, TMS 1 on the last, ending in Exit1-xR
  // (see BackendLines::shift_bits).  `bulk` takes the accelerated path.
  BitVector shift(const BitVector &in, bool recycle, bool bulk);
  // The same shift when nobody reads TDO.
  void shift_unread(const BitVector &in);
  // From Shift-xR: `in.size()` TCKs with TMS 0 on all, so the TAP is still
  // in Shift-xR after them: the pieces of a shift too long to hold, all but
  // the last (BackendLines::shift_staying).  TDO when `read`, else empty; a
  // recorder sees each TCK with its TDO.
  BitVector shift_staying(const BitVector &in, bool read);
  // The same shift with its TDO taken later by collect(), in order: on a
  // backend that defers shifts many are on the wire at once.  With a
  // recorder (which must see each shift's TDO in its place) or a backend
  // that cannot defer, it is done at once and kept.
  void queue_shift(const BitVector &in);
  BitVector collect();
  // Whether queued shifts really wait on the wire (else queue_shift is done
  // at once and nothing is gained by deferring what needs its TDO).
  bool defers_shifts() const { return observers_.empty() && lines_.defers_shifts(); }

  // Everything given has taken effect on the board.
  void flush() { lines_.flush(); }
  // That, and then the TAP stays where it is until `until`.
  void hold_until(std::chrono::steady_clock::time_point until) { lines_.hold_until(until); }

  uint64_t tck_count() const { return tck_count_; }

 private:
  // The record after `n` TCKs of a shift from Shift-xR, `last_tdi` on the last.
  void shifted(size_t n, bool last_tdi);

  BackendLines &lines_;
  TapRecord record_;
  uint64_t tck_count_ = 0;
  bool trst_ = false;
  std::deque<std::optional<BitVector>> queued_;  // done at once, or none: the backend's next
  std::vector<TapObserver *> observers_;
};

}  // namespace jtag

#endif
