// The processors' control-register and L2 engines driven TCK by TCK: an
// access completes only on the last of its full count of Run-Test/Idle TCKs
// (the TCK that leaves Run-Test/Idle does not count), another instruction
// abandons it, a strobe of the other direction does nothing, and the L2
// ignores the low three address bits.
#include "sim/access_units.h"

#include <gtest/gtest.h>

#include "base/bits.h"
#include "sim/board.h"

namespace {

using jtag::BitVector;
using jtag::sim::creg_unwritten_value;
using jtag::sim::l2_unwritten_word;

// Processor 0's TAP from Run-Test/Idle, one TCK at a time.
class Cpu0 {
 public:
  Cpu0() { walk({true, true, true, true, true, false}); }

  void instruction(unsigned code) {
    walk({true, true, false, false});  // Select-DR, Select-IR, Capture-IR, Shift-IR
    shift(BitVector::from_u64(code, 8));
    walk({true, false});  // Update-IR, Run-Test/Idle
  }
  BitVector data(const BitVector &in) {
    walk({true, false, false});  // Select-DR, Capture-DR, Shift-DR
    BitVector out = shift(in);
    walk({true, false});
    return out;
  }
  // An instruction, then `ticks` TCKs in Run-Test/Idle.
  void strobe(unsigned code, int ticks) {
    instruction(code);
    for (int i = 0; i < ticks; ++i) board_.clock(false, false);
  }
  // An instruction and a value for its data register.
  void load(unsigned code, const BitVector &value) {
    instruction(code);
    data(value);
  }
  void creg_write(uint64_t address, uint64_t value, int ticks) {
    load(0x08, BitVector::from_u64(address, 40));
    load(0x09, BitVector::from_u64(value, 64));
    strobe(0x0c, ticks);
  }
  uint64_t creg_read(uint64_t address, int ticks) {
    load(0x08, BitVector::from_u64(address, 40));
    strobe(0x0d, ticks);
    instruction(0x0a);
    return data(BitVector(64)).to_u64();
  }
  // The L2 words: 65 bits, the field from bit 1 up (the direction at 57..64).
  void l2_write(uint64_t address, uint64_t value, int ticks, uint64_t direction = 0x82) {
    load(0x58, word(direction << 56 | address));
    load(0x59, word(value));
    strobe(0x5a, ticks);
  }
  uint64_t l2_read(uint64_t address, int ticks, uint64_t direction = 0x81) {
    load(0x58, word(direction << 56 | address));
    strobe(0x5b, ticks);
    return data(BitVector(64)).to_u64();  // no further instruction
  }

 private:
  static BitVector word(uint64_t field) {
    BitVector w(65);
    w.set_bits(1, 64, field);
    return w;
  }
  void walk(std::initializer_list<bool> tms) {
    for (bool t : tms) board_.clock(t, false);
  }
  BitVector shift(const BitVector &in) {
    BitVector out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out.set(i, board_.clock(i + 1 == in.size(), in.get(i)));
    return out;
  }
  jtag::sim::Board board_;
};

const uint64_t kCreg10 = creg_unwritten_value(0, 0x10);
const uint64_t kL2At100 = l2_unwritten_word(0, 0x100), kL2At108 = l2_unwritten_word(0, 0x108);

// (A control-register write one TCK short: end to end, by hand, across processes.)
TEST(AccessUnits, AnAccessNeedsItsFullCountOfTcks) {
  for (int ticks : {128, 129}) {
    Cpu0 t;
    t.l2_write(0x100, 0xfeedface, ticks);
    EXPECT_EQ(t.l2_read(0x100, 65), ticks == 129 ? 0xfeedfaceu : kL2At100) << ticks;
  }
  // A read given too few TCKs returns the last completed read's data.
  Cpu0 t;
  EXPECT_EQ(t.l2_read(0x100, 64), 0u);  // the read data as the board powered up
  t.creg_write(0x20, 0x5678, 11);
  EXPECT_EQ(t.creg_read(0x10, 11), kCreg10);
  EXPECT_EQ(t.creg_read(0x20, 10), kCreg10);
  EXPECT_EQ(t.creg_read(0x20, 11), 0x5678u);
  t.l2_write(0x100, 0xfeedface, 129);
  EXPECT_EQ(t.l2_read(0x108, 65), kL2At108);
  EXPECT_EQ(t.l2_read(0x100, 64), kL2At108);
  EXPECT_EQ(t.l2_read(0x100, 65), 0xfeedfaceu);
}

TEST(AccessUnits, AbandonedMismatchedAndUnalignedAccesses) {
  Cpu0 t;
  t.creg_write(0x10, 0x99, 5);
  t.strobe(0x02, 20);  // IDCODE abandons the write
  EXPECT_EQ(t.creg_read(0x10, 11), kCreg10);
  t.l2_write(0x100, 0x77, 129, 0x81);  // a read access word under the write strobe
  EXPECT_EQ(t.l2_read(0x100, 65), kL2At100);
  EXPECT_EQ(t.l2_read(0x108, 65, 0x82), kL2At100);  // a write access word under the read strobe: stale
  t.l2_write(0x105, 0x55, 129);
  EXPECT_EQ(t.l2_read(0x100, 65), 0x55u);
  EXPECT_EQ(t.l2_read(0x10f, 65), kL2At108);
}

}  // namespace
