#include "backends/backend.h"

#include <thread>

namespace jtag {

BitVector BackendLines::shift_bits(const BitVector &in, bool recycle) {
  const size_t n = in.size();
  BitVector out(n);
  bool previous_tdo = false;
  for (size_t i = 0; i < n; ++i) {
    const bool tdi = (recycle && i > 0) ? previous_tdo : in.get(i);
    previous_tdo = clock(i + 1 == n, tdi);
    out.set(i, previous_tdo);
  }
  return out;
}

BitVector BackendLines::shift_staying(const BitVector &in, bool read) {
  BitVector out(read ? in.size() : 0);
  for (size_t i = 0; i < in.size(); ++i) {
    if (read)
      out.set(i, clock(false, in.get(i)));
    else
      pulse(false, in.get(i));
  }
  return out;
}

void BackendLines::hold_until(std::chrono::steady_clock::time_point until) {
  flush();
  std::this_thread::sleep_until(until);
}

void BackendLines::queue_shift(const BitVector & /*in*/) { throw UnsupportedError("this adapter defers no shift"); }
BitVector BackendLines::collect_shift() { throw UnsupportedError("this adapter defers no shift"); }

void BackendLines::set_trst(bool /*asserted*/) { throw UnsupportedError("this adapter has no TRST line"); }
void BackendLines::set_srst(bool /*asserted*/) { throw UnsupportedError("this adapter has no SRST line"); }

void BackendLines::reset_tap(bool tdi) {
  for (int i = 0; i < 5; ++i) pulse(true, tdi);
}

}  // namespace jtag
