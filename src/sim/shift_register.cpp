#include "sim/shift_register.h"

#include <algorithm>

namespace jtag::sim {

BitVector ShiftRegister::contents() const {
  const size_t n = length();
  BitVector out(n);
  out.copy_from(0, bits_, head_, n - head_);
  out.copy_from(n - head_, bits_, 0, head_);
  return out;
}

void ShiftRegister::load(const BitVector &value) {
  const size_t n = std::min(value.size(), length());
  BitVector fresh(length());
  fresh.copy_from(0, value, 0, n);
  bits_ = std::move(fresh);
  head_ = 0;
}

void ShiftRegister::load_u64(uint64_t value) { load(BitVector::from_u64(value, std::min<size_t>(length(), 64))); }

BitVector ShiftRegister::shift_many(const BitVector &in) {
  const size_t n = length();
  const size_t m = in.size();
  if (n == 0) return in;
  // The bits leave in the order: the register from bit 0 up, then the input.
  BitVector out(m);
  const BitVector now = contents();
  const size_t from_register = std::min(m, n);
  out.copy_from(0, now, 0, from_register);
  if (m > n) out.copy_from(n, in, 0, m - n);
  // What stays: the last n bits of (register ++ input).
  BitVector after(n);
  if (m >= n) {
    after.copy_from(0, in, m - n, n);
  } else {
    after.copy_from(0, now, m, n - m);
    after.copy_from(n - m, in, 0, m);
  }
  bits_ = std::move(after);
  head_ = 0;
  return out;
}

}  // namespace jtag::sim
