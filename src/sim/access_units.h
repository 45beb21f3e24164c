// The processors' access engines behind their TAP: the control registers
// (CREG) and the L2 memory, each reached through a few instructions, data
// registers and a strobe that needs free-running TCK in Run-Test/Idle.
//
// Control registers (40-bit addresses, 64-bit values):
//   0x08  40-bit address register        0x0d  read strobe, 11 TCK
//   0x09  64-bit write-data register     0x0c  write strobe, 11 TCK
//   0x0a  64-bit read-data register (the result of the last completed read)
// L2 memory (64-bit words at byte addresses, 56-bit address field):
//   0x58  65-bit access word: bits 64..57 direction (0x81 read, 0x82 write),
//         bits 56..1 the address, bit 0 unused
//   0x59  65-bit data word: bits 64..1 the data, bit 0 unused
//   0x5a  write strobe, 129 TCK
//   0x5b  read strobe, 65 TCK; its data register is the 64-bit read data
// An access happens on the last of its TCKs: the TCKs counted are those that
// keep the TAP in Run-Test/Idle (TMS low) while the strobe is the
// instruction in force, from the Update-IR that loaded it.  Any other
// instruction, or Test-Logic-Reset, abandons it.  With fewer TCKs nothing
// happens: the read data stays as the last completed read left it, and the
// register or word keeps its value.  A strobe whose access word carries the
// other direction does nothing either.
//
// The L2 ignores the low three address bits: an access at 0x101 reaches the
// word at 0x100.  Values never written read as a pattern of the processor
// and the address:
//   control register A of processor n:  0xc<n> in the top byte, A below
//   L2 word at A of processor n:        0xa<n> in the top byte, A below
// e.g. cpu1's CREG 0x10 reads 0xc100000000000010, cpu0's L2 word 0x100
// reads 0xa000000000000100.
//
// State keys (only written registers and words are kept):
//   cpuN.creg.ADDR=VALUE, cpuN.l2.ADDR=VALUE, and the latches
//   cpuN.creg_address, creg_write_data, creg_read_data, creg_read_ticks,
//   creg_write_ticks, l2_access_word, l2_data_word, l2_read_data,
//   l2_read_ticks, l2_write_ticks (ticks: -1 when no access is under way).
#ifndef JTAGBOX_SIM_ACCESS_UNITS_H
#define JTAGBOX_SIM_ACCESS_UNITS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "base/bits.h"
#include "sim/device_unit.h"
#include "sim/state_map.h"

namespace jtag::sim {

class Board;
struct RowSummary;

// `jtag-sim show` lists this many rows of a part and summarises the rest,
// so that it stays quick on a board with millions of written words.
inline constexpr size_t kShowFirst = 8;
// The summary line after the first rows, when there are more: how many and
// up to which address, and the key that reads one (`key_prefix` ADDR).
void show_rest(std::ostream &out, const std::string &indent, const std::string &key_prefix, const RowSummary &rows);
// A row address from a key, when it is a number no larger than `max`.
std::optional<uint64_t> key_address(const std::string &text, uint64_t max);

inline constexpr int kCregAccessTicks = 11;
inline constexpr int kL2ReadTicks = 65;
inline constexpr int kL2WriteTicks = 129;

uint64_t creg_unwritten_value(int processor, uint64_t address);
uint64_t l2_unwritten_word(int processor, uint64_t address);

std::unique_ptr<DeviceUnit> make_creg_unit(Board &board, int processor);
std::unique_ptr<DeviceUnit> make_l2_unit(Board &board, int processor);

// ---- pieces the two units share ----

// Counts the TCKs that keep the TAP in Run-Test/Idle while a strobe
// instruction is in force.
class StrobeTimer {
 public:
  StrobeTimer(unsigned strobe, int ticks_needed) : strobe_(strobe), needed_(ticks_needed) {}
  void on_instruction(unsigned instruction) { ticks_ = instruction == strobe_ ? 0 : kIdle; }
  void cancel() { ticks_ = kIdle; }
  // True on the tick that completes the access.
  bool tick(unsigned instruction, bool tms);

  void save(StateMap &state, const std::string &key) const;
  void load(StateMap &state, const std::string &key);

 private:
  static constexpr int kIdle = -1;
  unsigned strobe_;
  int needed_;
  int ticks_ = kIdle;
};

// A data register in front of a latch: Capture-DR loads the latch into the
// cells, Update-DR (when writable) stores the cells into the latch.
class LatchRegister : public DataRegister {
 public:
  LatchRegister(BitVector &latch, bool writable) : DataRegister(latch.size()), latch_(latch), writable_(writable) {}
  void capture() override { cells_.load(latch_); }
  void update() override {
    if (writable_) latch_ = cells_.contents();
  }

 private:
  BitVector &latch_;
  bool writable_;
};

// Latches in the state map as "0x" hex; missing keys leave the latch at 0.
void save_latch(StateMap &state, const std::string &key, const BitVector &latch);
void load_latch(StateMap &state, const std::string &key, BitVector &latch);
// A 64-bit register or memory value, "0x" + sixteen digits.
std::string value_text(uint64_t value);

}  // namespace jtag::sim

#endif
