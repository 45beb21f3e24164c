// A shift register of any length, as a ring buffer so that one shift is O(1)
// whatever the length (a processor scan chain can hold hundreds of millions
// of flip-flops).  Bit 0 is the end next to TDO; TDI enters at the top.
#ifndef JTAGBOX_SIM_SHIFT_REGISTER_H
#define JTAGBOX_SIM_SHIFT_REGISTER_H

#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/bits.h"

namespace jtag::sim {

class ShiftRegister {
 public:
  ShiftRegister() = default;
  explicit ShiftRegister(size_t length) : bits_(length) {}
  // Holding `value` itself (bit 0 next to TDO), without a copy: a chain can
  // be hundreds of megabytes.
  explicit ShiftRegister(BitVector value) : bits_(std::move(value)) {}

  size_t length() const { return bits_.size(); }
  bool lsb() const { return length() == 0 ? true : bits_.get(head_); }

  // One shift: returns the bit leaving at the TDO end, takes `tdi` at the top.
  bool shift(bool tdi) {
    if (length() == 0) return tdi;
    const bool out = bits_.get(head_);
    bits_.set(head_, tdi);
    if (++head_ == length()) head_ = 0;
    return out;
  }

  // in.size() shifts at once; returns the bits that left, in order.
  BitVector shift_many(const BitVector &in);

  BitVector contents() const;  // bit 0 = the bit next to TDO
  // `count` (at most 64) bits of the contents from bit `at`, bit `at` lowest.
  uint64_t get_bits(size_t at, unsigned count) const {
    size_t p = head_ + at;
    if (p >= length()) p -= length();
    if (p + count <= length()) return bits_.get_bits(p, count);
    const auto first = unsigned(length() - p);
    return bits_.get_bits(p, first) | (bits_.get_bits(0, count - first) << first);
  }
  void load(const BitVector &value);
  void load_u64(uint64_t value);
  uint64_t to_u64() const { return contents().to_u64(); }

 private:
  BitVector bits_;
  size_t head_ = 0;  // physical index of logical bit 0
};

}  // namespace jtag::sim

#endif
