// The processors' control-register and L2 engines driven TCK by TCK: an
// access completes only after its full count of Run-Test/Idle TCKs.
#include <gtest/gtest.h>

#include "platform/bits.h"
#include "sim/access_units.h"
#include "sim/board.h"

namespace {

using jtag::BitVector;
using jtag::sim::Board;

class Tap {
 public:
  Tap() : board_("/nonexistent") { reset(); }

  // Test-Logic-Reset, then Run-Test/Idle (a newly routed TAP starts reset).
  void reset() {
    for (int i = 0; i < 5; ++i) board_.clock(true, false);
    board_.clock(false, false);
  }

  void instruction(unsigned code) {
    walk({true, true, false, false});  // Select-DR, Select-IR, Capture-IR, Shift-IR
    shift(BitVector::from_u64(code, 8));
    walk({true, false});  // Update-IR, Run-Test/Idle
  }

  BitVector data(const BitVector &in) {
    walk({true, false, false});  // Select-DR, Capture-DR, Shift-DR
    BitVector out = shift(in);
    walk({true, false});  // Update-DR, Run-Test/Idle
    return out;
  }

  void idle(int ticks) {
    for (int i = 0; i < ticks; ++i) board_.clock(false, false);
  }

  Board &board() { return board_; }

 private:
  void walk(std::initializer_list<bool> tms) {
    for (bool t : tms) board_.clock(t, false);
  }
  BitVector shift(const BitVector &in) {
    BitVector out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out.set(i, board_.clock(i + 1 == in.size(), in.get(i)));
    return out;
  }
  Board board_;
};

// ---- control registers ----

void creg_write(Tap &t, uint64_t address, uint64_t value, int ticks) {
  t.instruction(0x08);
  t.data(BitVector::from_u64(address, 40));
  t.instruction(0x09);
  t.data(BitVector::from_u64(value, 64));
  t.instruction(0x0c);
  t.idle(ticks);
}

uint64_t creg_read(Tap &t, uint64_t address, int ticks) {
  t.instruction(0x08);
  t.data(BitVector::from_u64(address, 40));
  t.instruction(0x0d);
  t.idle(ticks);
  t.instruction(0x0a);
  return t.data(BitVector(64)).to_u64();
}

TEST(CregUnit, AWriteNeedsElevenTicks) {
  for (int ticks : {0, 10, 11, 12}) {
    Tap t;
    creg_write(t, 0x10, 0x1234, ticks);
    const uint64_t expected = ticks >= 11 ? 0x1234 : jtag::sim::creg_unwritten_value(0, 0x10);
    EXPECT_EQ(creg_read(t, 0x10, 11), expected) << ticks;
  }
}

TEST(CregUnit, AReadGivenTooFewTicksLeavesTheLastReadData) {
  Tap t;
  creg_write(t, 0x10, 0x1234, 11);
  creg_write(t, 0x20, 0x5678, 11);
  EXPECT_EQ(creg_read(t, 0x10, 11), 0x1234u);
  EXPECT_EQ(creg_read(t, 0x20, 10), 0x1234u);  // stale
  EXPECT_EQ(creg_read(t, 0x20, 11), 0x5678u);
}

TEST(CregUnit, AnotherInstructionAbandonsTheAccess) {
  Tap t;
  t.instruction(0x08);
  t.data(BitVector::from_u64(0x10, 40));
  t.instruction(0x09);
  t.data(BitVector::from_u64(0x99, 64));
  t.instruction(0x0c);
  t.idle(5);
  t.instruction(0x02);  // IDCODE
  t.idle(20);
  EXPECT_EQ(creg_read(t, 0x10, 11), jtag::sim::creg_unwritten_value(0, 0x10));
}

// ---- L2 memory ----

BitVector access_word(uint64_t direction, uint64_t address) {
  BitVector w(65);
  w.set_bits(1, 56, address);
  w.set_bits(57, 8, direction);
  return w;
}

void l2_write(Tap &t, uint64_t address, uint64_t value, int ticks, uint64_t direction = 0x82) {
  t.instruction(0x58);
  t.data(access_word(direction, address));
  t.instruction(0x59);
  BitVector w(65);
  w.set_bits(1, 64, value);
  t.data(w);
  t.instruction(0x5a);
  t.idle(ticks);
}

uint64_t l2_read(Tap &t, uint64_t address, int ticks, uint64_t direction = 0x81) {
  t.instruction(0x58);
  t.data(access_word(direction, address));
  t.instruction(0x5b);
  t.idle(ticks);
  return t.data(BitVector(64)).to_u64();  // no further instruction
}

TEST(L2Unit, AWriteNeeds129TicksAndAReadNeeds65) {
  const uint64_t unwritten = jtag::sim::l2_unwritten_word(0, 0x100);
  for (int ticks : {128, 129}) {
    Tap t;
    l2_write(t, 0x100, 0xfeedface, ticks);
    EXPECT_EQ(l2_read(t, 0x100, 65), ticks == 129 ? 0xfeedfaceu : unwritten) << ticks;
  }
  Tap t;
  l2_write(t, 0x100, 0xfeedface, 129);
  EXPECT_EQ(l2_read(t, 0x108, 65), jtag::sim::l2_unwritten_word(0, 0x108));
  EXPECT_EQ(l2_read(t, 0x100, 64), jtag::sim::l2_unwritten_word(0, 0x108));  // stale
  EXPECT_EQ(l2_read(t, 0x100, 65), 0xfeedfaceu);
}

TEST(L2Unit, TheLeavingTckDoesNotCount) {
  // 64 ticks, then the TCK with TMS high that leaves Run-Test/Idle for the
  // read-data shift: still one short.
  Tap t;
  l2_write(t, 0x100, 0x77, 129);
  EXPECT_EQ(l2_read(t, 0x100, 64), 0u);  // the read data as the board powered up
}

TEST(L2Unit, TheStrobeMustMatchTheDirection) {
  Tap t;
  l2_write(t, 0x100, 0x77, 129, 0x81);  // a read access word under the write strobe
  EXPECT_EQ(l2_read(t, 0x100, 65), jtag::sim::l2_unwritten_word(0, 0x100));
  EXPECT_EQ(l2_read(t, 0x108, 65, 0x82), jtag::sim::l2_unwritten_word(0, 0x100));  // stale
}

TEST(L2Unit, UnalignedAddressesReachTheWordThatHoldsThem) {
  Tap t;
  l2_write(t, 0x105, 0x55, 129);
  EXPECT_EQ(l2_read(t, 0x100, 65), 0x55u);
  EXPECT_EQ(l2_read(t, 0x10f, 65), jtag::sim::l2_unwritten_word(0, 0x108));
}

TEST(AccessUnits, EachProcessorHasItsOwn) {
  Tap t;
  for (unsigned mode : {0x01u, 0x03u, 0x04u, 0x05u}) {
    t.board().select_scan_mode(mode);
    t.reset();
    creg_write(t, 0x10, mode, 11);
    l2_write(t, 0x100, mode << 8, 129);
  }
  int n = 0;
  for (unsigned mode : {0x01u, 0x03u, 0x04u, 0x05u}) {
    t.board().select_scan_mode(mode);
    t.reset();
    EXPECT_EQ(creg_read(t, 0x10, 11), mode);
    EXPECT_EQ(creg_read(t, 0x18, 11), jtag::sim::creg_unwritten_value(n, 0x18));
    EXPECT_EQ(l2_read(t, 0x100, 65), mode << 8);
    ++n;
  }
}

}  // namespace
