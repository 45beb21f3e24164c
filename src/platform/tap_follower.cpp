#include "platform/tap_follower.h"

namespace jtag {

void TapFollower::restart_from(TapRecord record) {
  record_ = record;
  for (TapObserver *o : observers_) o->restart(record);
}

void TapFollower::tck(bool tms, bool tdi) {
  lines_.pulse(tms, tdi);
  for (TapObserver *o : observers_) o->tck(record_.state, tms, tdi, std::nullopt);
  record_ = {trst_ ? TapState::TestLogicReset : next_state(record_.state, tms), tms, tdi};
  if (trst_)  // held in Test-Logic-Reset, whatever TMS said
    for (TapObserver *o : observers_) o->restart(record_);
  ++tck_count_;
}

void TapFollower::set_trst(bool asserted) {
  lines_.set_trst(asserted);
  trst_ = asserted;
  if (asserted) record_.state = TapState::TestLogicReset;
  for (TapObserver *o : observers_) o->trst(asserted, record_);
}

void TapFollower::walk_to(TapState target) {
  for (const bool tms : tms_path(record_.state, target)) tck(tms);
}

void TapFollower::reset() {
  lines_.reset_tap(record_.tdi);
  if (!observers_.empty()) {
    TapState s = record_.state;
    for (int i = 0; i < 5; ++i) {
      for (TapObserver *o : observers_) o->tck(s, true, record_.tdi, std::nullopt);
      s = next_state(s, true);
    }
  }
  record_ = {TapState::TestLogicReset, true, record_.tdi};
  tck_count_ += 5;
}

BitVector TapFollower::shift(const BitVector &in, bool recycle, bool bulk) {
  const size_t n = in.size();
  if (n == 0) return {};
  BitVector out = bulk ? lines_.shift_bulk(in, recycle) : lines_.shift_bits(in, recycle);
  for (TapObserver *o : observers_) o->shift(record_.state, in, out, recycle);
  shifted(n, recycle && n > 1 ? out.get(n - 2) : in.get(n - 1));
  return out;
}

void TapFollower::shifted(size_t n, bool last_tdi) {
  // TMS was 1 on the last bit only: n - 1 TCKs stay in Shift, the last exits.
  record_ = {next_state(record_.state, true), true, last_tdi};
  tck_count_ += n;
}

void TapFollower::shift_unread(const BitVector &in) {
  const size_t n = in.size();
  if (n == 0) return;
  if (!observers_.empty()) {  // a recorder shows TDO on every shifted bit
    shift(in, false, true);
    return;
  }
  lines_.shift_unread(in);
  shifted(n, in.get(n - 1));
}

BitVector TapFollower::shift_staying(const BitVector &in, bool read) {
  const size_t n = in.size();
  if (n == 0) return {};
  BitVector out = lines_.shift_staying(in, read || !observers_.empty());
  for (TapObserver *o : observers_)
    for (size_t i = 0; i < n; ++i) o->tck(record_.state, false, in.get(i), out.get(i));
  record_ = {record_.state, false, in.get(n - 1)};
  tck_count_ += n;
  if (!read) out = BitVector();
  return out;
}

void TapFollower::queue_shift(const BitVector &in) {
  // A long shift pays its one round trip over many bits, and its own
  // pipelined path is the faster one for it.
  if (!observers_.empty() || !lines_.defers_shifts() || in.empty() || in.size() > kLargestDeferredShift) {
    queued_.emplace_back(shift(in, false, true));
    return;
  }
  lines_.queue_shift(in);
  queued_.emplace_back(std::nullopt);
  shifted(in.size(), in.get(in.size() - 1));
}

BitVector TapFollower::collect() {
  if (queued_.empty()) throw PlatformError("a shift was collected that was never queued");
  std::optional<BitVector> done = std::move(queued_.front());
  queued_.pop_front();
  return done ? std::move(*done) : lines_.collect_shift();
}

}  // namespace jtag
