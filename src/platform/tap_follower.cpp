#include "platform/tap_follower.h"

namespace jtag {

void TapFollower::tck(bool tms, bool tdi) {
  lines_.pulse(tms, tdi);
  record_ = {next_state(record_.state, tms), tms, tdi};
  ++tck_count_;
}

void TapFollower::walk_to(TapState target) {
  for (const bool tms : tms_path(record_.state, target)) tck(tms);
}

void TapFollower::reset() {
  lines_.reset_tap(record_.tdi);
  record_ = {TapState::TestLogicReset, true, record_.tdi};
  tck_count_ += 5;
}

BitVector TapFollower::shift(const BitVector &in, bool recycle, bool bulk) {
  const size_t n = in.size();
  if (n == 0) return {};
  BitVector out = bulk ? lines_.shift_bulk(in, recycle) : lines_.shift_bits(in, recycle);
  // TMS was 1 on the last bit only: n - 1 TCKs stay in Shift, the last exits.
  record_.state = next_state(record_.state, true);
  record_.tms = true;
  record_.tdi = recycle && n > 1 ? out.get(n - 2) : in.get(n - 1);
  tck_count_ += n;
  return out;
}

}  // namespace jtag
