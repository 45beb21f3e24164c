// The board model on its own: the bulk path must give exactly what the
// bit-level path gives, on every chain shape, with and without recycle.
#include <gtest/gtest.h>

#include "platform/tap_state.h"
#include "sim/board.h"

namespace {

using jtag::BitVector;
using jtag::TapState;
using jtag::sim::Board;

void walk(Board &b, std::initializer_list<bool> tms) {
  for (bool t : tms) b.clock(t, false);
}

// To Shift-DR from anywhere: reset, then Run-Test/Idle, Select-DR, Capture, Shift.
void to_shift_dr(Board &b) { walk(b, {true, true, true, true, true, false, true, false, false}); }
void to_shift_ir(Board &b) { walk(b, {true, true, true, true, true, false, true, true, false, false}); }

BitVector bit_level(Board &b, const BitVector &in, bool recycle) {
  BitVector out(in.size());
  bool prev = false;
  for (size_t i = 0; i < in.size(); ++i) {
    prev = b.clock(i + 1 == in.size(), recycle && i > 0 ? prev : in.get(i));
    out.set(i, prev);
  }
  return out;
}

BitVector pattern(size_t n, unsigned seed) {
  BitVector v(n);
  for (size_t i = 0; i < n; ++i) v.set(i, ((i * 2654435761u + seed) >> 7) & 1u);
  return v;
}

TEST(Board, BulkShiftEqualsBitLevelShift) {
  for (unsigned mode : {0x01u, 0x00u, 0x02u, 0x47u}) {
    for (bool ir : {false, true}) {
      for (bool recycle : {false, true}) {
        for (size_t n : {1u, 2u, 7u, 33u, 64u, 100u, 300u}) {
          Board a("/nonexistent"), b("/nonexistent");
          a.select_scan_mode(mode);
          b.select_scan_mode(mode);
          ir ? to_shift_ir(a) : to_shift_dr(a);
          ir ? to_shift_ir(b) : to_shift_dr(b);
          // Load some content first so the registers are not all zeros.
          const BitVector first = pattern(n, 11);
          EXPECT_EQ(bit_level(a, first, false), b.shift_bulk(first, false));
          // Exit1 -> Update -> Select-DR (-> Select-IR) -> Capture -> Shift
          for (Board *x : {&a, &b}) ir ? walk(*x, {true, true, true, false, false}) : walk(*x, {true, true, false, false});
          const BitVector in = pattern(n, 5);
          const BitVector slow = bit_level(a, in, recycle);
          const BitVector fast = b.shift_bulk(in, recycle);
          EXPECT_EQ(slow, fast) << "mode " << mode << " ir " << ir << " recycle " << recycle << " n " << n;
          EXPECT_EQ(a.tap_state(), b.tap_state());
          EXPECT_EQ(a.tap_state(), ir ? TapState::Exit1IR : TapState::Exit1DR);
        }
      }
    }
  }
}

TEST(Board, RecycleOfLengthPlusOneLeavesTheRegisterAsItWas) {
  Board b("/nonexistent");
  to_shift_ir(b);  // processor 0: an 8-bit IR
  b.shift_bulk(BitVector::from_u64(0xa5, 8), false);
  walk(b, {true, true, true, false, false});  // Update-IR, Select-DR, Select-IR, Capture, Shift
  // The IR captured 0x01: recycle 9 bits and the capture value comes back.
  const BitVector out = b.shift_bulk(BitVector(9), true);
  EXPECT_EQ(out.get_bits(0, 8), 0x01u);
}

TEST(Board, IdcodeAfterResetAndBypassForUnknownInstructions) {
  Board b("/nonexistent");
  to_shift_dr(b);
  EXPECT_EQ(b.shift_bulk(BitVector(32), false).to_u64(), jtag::sim::processor_idcode(0));
  // Load an instruction nobody knows: the data path is the 1-bit BYPASS.
  walk(b, {true, true, true, false, false});
  b.shift_bulk(BitVector::from_u64(0x77, 8), false);
  walk(b, {true, true, false, false});  // Update-IR, Select-DR, Capture-DR, Shift-DR
  const BitVector out = b.shift_bulk(BitVector::from_u64(0xff, 8), false);
  EXPECT_EQ(out.get_bits(0, 8), 0xfeu);  // the bypass bit (captured 0), then the input one cycle late
}

}  // namespace
