// The chips' scan chains: long runs of the chip's own flip-flops that the
// TAP can put between TDI and TDO.  Capture does not load them - the chain
// is the flip-flops themselves - so what a shift leaves behind stays until
// the next shift (or, on a Vornex chip whose clock runs, until its logic
// moves on).
//
// Processors (8-bit IR), 64 chains each, numbered 0x00..0x3f:
//   0x88  scan access on; until then (and again after Test-Logic-Reset)
//         0x80 selects BYPASS and no chain is reachable
//   0x81  the 6-bit chain-select register (captures the selection)
//   0x80  the selected chain is the data register
//   Chain K of processor N is 1000 + 37*K + 5*N bits long at power-up.
// Vornex chips (6-bit IR), one chain each:
//   0x3D  scan access on (as 0x88 on a processor)
//   0x0A  the 16-bit scan configuration register; 0x01E0 routes the chain
//   0x3E  the chain is the data register when access is on and the
//         configuration is 0x01E0; otherwise BYPASS
//   The chain of Vornex chip N is 3000 + 250*N bits long.  While the Vornex
//   clock runs (bit 0 of FPGA register 0xCB1000 clear) its logic changes the
//   chain between one capture and the next: every Capture-DR of 0x3E moves
//   each 64-bit word of it one step along a fixed sequence.  With the clock
//   stopped it holds still.
// Test-Logic-Reset turns scan access off and clears the chain selection and
// the Vornex configuration; the chains keep their contents.
//
// Contents at power-up are a fixed pseudo-random pattern of the chip and the
// chain.  A chain that has been shifted (or set) is kept in its own row of
// the board's store, read only when a command first uses the chain and
// written only when the board is saved, so a long chain costs nothing to
// the commands that do not touch it.
//
// Keys (jtag-sim set/show), with KK the chain number in two hex digits:
//   cpuN.scan_access=0|1, cpuN.chain_select=0xKK, cpuN.chain.KK.length=BITS,
//   cpuN.chain.KK=0xHEX (set only: the contents, bit 0 = the first bit out);
//   vnxN.scan_access=0|1, vnxN.scan_config=0xVALUE, vnxN.chain.length=BITS,
//   vnxN.chain=0xHEX.
// A new length powers the chain up afresh at that length.
#ifndef JTAGBOX_SIM_SCAN_CHAINS_H
#define JTAGBOX_SIM_SCAN_CHAINS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bits.h"
#include "sim/device_unit.h"
#include "sim/shift_register.h"
#include "sim/state_map.h"

namespace jtag::sim {

class Board;
class BoardStore;

inline constexpr int kProcessorChainCount = 64;
inline constexpr uint64_t kMaxChainLength = 0xffffffffu;  // a 32-bit bit count

size_t processor_chain_length(int processor, int chain);
size_t vornex_chain_length(int vornex);

// One scan chain: its length and contents, brought in from the store on
// first use.
class ScanChain {
 public:
  ScanChain(BoardStore *store, std::string key, size_t length, uint64_t seed);

  size_t length();
  size_t power_up_length() const { return power_up_length_; }
  // A new length: the contents power up afresh.
  void set_length(size_t length);

  // The cells, loaded from the store or powered up on first use.  A chain
  // whose cells were handed out is written back by save_changes().
  ShiftRegister &cells();
  BitVector contents() { return cells().contents(); }
  void set_contents(const BitVector &value);

  // Whether the chain differs from power-up (a stored row, or used here).
  bool stored();
  void save_changes(BoardStore &store);

 private:
  void read_row();
  BitVector power_up_contents() const;

  BoardStore *store_;
  std::string key_;
  size_t power_up_length_;
  size_t length_;
  uint64_t seed_;
  std::optional<ShiftRegister> cells_;
  bool row_read_ = false;        // the store was asked for the chain's row
  bool has_row_ = false;         // the store holds a row for it
  bool touched_ = false;         // handed out or set in this process
  bool length_changed_ = false;  // given a new length in this process
};

// Reads a chain's length or contents key of `jtag-sim set` into it.  Throws
// StateError.
void load_chain_keys(StateMap &state, const std::string &key, ScanChain &chain);
// The value of KEY or KEY.length (`rest` is "" or ".length").
std::string chain_key_value(ScanChain &chain, const std::string &rest);

std::unique_ptr<DeviceUnit> make_processor_chain_unit(Board &board, int processor);
std::unique_ptr<DeviceUnit> make_vornex_chain_unit(Board &board, int vornex);

}  // namespace jtag::sim

#endif
