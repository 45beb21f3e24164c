// The simulated board: four processors (8-bit IR) and four Vornex chips
// (6-bit IR), each with its own TAP, behind the FPGA's scan-mode switch; the
// FPGA register file; the scan-dump accelerator; the fault switches that
// tests use to reach the error paths; and the wiring faults of a broken
// board (sim/chain_faults.h), which the board's store keeps.
//
// Scan-mode word (low eight bits; higher bits are ignored):
//   bits 2..0  0 full scan, 1 processor 0, 2 scan dump, 3 processor 1,
//              4 processor 2, 5 processor 3, 6 nothing, 7 Vornex chip
//   bits 7..6  the Vornex chip for code 7
// The chains, from TDI to TDO:
//   full scan  cpu0, cpu1, cpu2, cpu3, vnx0, vnx1, vnx2, vnx3
//   scan dump  cpu0, cpu1, cpu2, cpu3
//   code 6     no device: TDO reads 1 (the board's pull-up)
// At power-up the word is 0x01 (processor 0), every TAP is in
// Test-Logic-Reset with IDCODE selected, TMS and TDI rest high, FPGA
// registers read 0 and the accelerator is off.
#ifndef JTAGBOX_SIM_BOARD_H
#define JTAGBOX_SIM_BOARD_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/tap_state.h"
#include "sim/chain_faults.h"
#include "sim/lazy_rows.h"
#include "sim/state_map.h"
#include "sim/tap_device.h"

namespace jtag::sim {

class BoardStore;
class ScanChain;

inline constexpr int kProcessorCount = 4;
inline constexpr int kVornexCount = 4;
inline constexpr unsigned kPowerUpScanMode = 0x01;
inline constexpr uint32_t kMiscCsrAddress = 0xCB1000;  // KESTA_MORVIN_ONLY_MISC_CSR
inline constexpr uint8_t kVornexClockStopBit = 0x01;

uint32_t processor_idcode(int index);
uint32_t vornex_idcode(int index);
// The devices' names, as the board's keys and faults name them: cpu0, vnx3.
std::string processor_name(int index);
std::string vornex_name(int index);

struct Faults {
  bool reset_hang = false;      // JTAG_Reset never returns
  bool accel_on_fail = false;   // switching the scan-dump accelerator on fails
  bool accel_off_fail = false;  // switching it off fails
};

class Board {
 public:
  // A board at power-up whose parts read on demand (memory, registers,
  // chains) come from `store` when they were saved there; without a store
  // the board lives in this process only.
  explicit Board(BoardStore *store = nullptr);
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  // The devices the scan mode routes, TDI side first.
  const std::vector<TapDevice *> &chain() const { return routed_; }

  bool clock(bool tms, bool tdi);
  // What TDO presents now (that of the device nearest TDO), without a clock.
  bool tdo();
  // TRST asserted: every TAP to Test-Logic-Reset.
  void test_reset();
  // TRST: asserted, every TAP goes to Test-Logic-Reset at once and stays
  // there through any TCK until it is released.  A level of the run, not of
  // the saved board: a new run starts with TRST released.
  void set_trst(bool asserted);
  bool trst() const { return trst_; }
  // SRST, the system reset: the processors' and the Vornex chips' cores, not
  // their TAPs, so nothing the chain shows changes.  The board keeps its
  // level and how often it was asserted, for a person or a test to see.
  void set_srst(bool asserted);
  bool srst() const { return srst_; }
  uint64_t srst_assertions() const { return srst_assertions_; }
  // in.size() cycles in Shift-xR at once, TMS 1 on the last.
  BitVector shift_bulk(const BitVector &in, bool recycle);
  // in.size() cycles in Shift-xR at once with TMS 0 on all: the chain is
  // still shifting after them (a long shift in pieces).
  BitVector shift_staying(const BitVector &in);
  // Whether every device on the chain is in a Shift state (bulk possible).
  bool chain_is_shifting();

  // The TAP state of the chain: that of its first device, or, with no device
  // routed, what the controller would be in after the clocks given.
  TapState tap_state() const;
  bool tms_level() const { return tms_; }
  bool tdi_level() const { return tdi_; }

  void select_scan_mode(unsigned word) {
    scan_mode_ = word & 0xffu;
    route();
  }
  unsigned scan_mode() const { return scan_mode_; }
  unsigned scan_control() const { return scan_mode_ | (accelerator_ ? 0x100u : 0u); }

  uint8_t fpga_read(uint32_t address);
  void fpga_write(uint32_t address, uint8_t value) { fpga_.put(address, value); }
  bool vornex_clock_stopped() { return fpga_read(kMiscCsrAddress) & kVornexClockStopBit; }

  bool set_accelerator(bool on);  // false when a fault makes it fail
  bool accelerator() const { return accelerator_; }
  Faults &faults() { return faults_; }
  // The wiring faults; the board is built with those its store keeps.
  const ChainFaults &chain_faults() const { return chain_faults_; }
  void set_chain_faults(ChainFaults faults);
  // The TCK rate, where the board's source tells it (an XVC client's
  // settck:, the FTDI emulator's clock); tdo-errors' above= needs it.
  void set_tck_hz(std::optional<double> hz) { tck_hz_ = hz; }

  TapDevice &processor(int index) { return *devices_[index]; }
  TapDevice &vornex(int index) { return *devices_[kProcessorCount + index]; }
  const std::vector<std::unique_ptr<TapDevice>> &devices() const { return devices_; }
  BoardStore *store() const { return store_; }

  // The scan chains by key ("cpu0.chain.0c", "vnx1.chain"), registered by
  // the units that own them.
  void register_chain(const std::string &key, ScanChain &chain) { chains_[key] = &chain; }
  ScanChain *find_chain(const std::string &key);

  // The small state (scalars, TAPs, latches) as keys; load() also takes
  // the keys of `jtag-sim set` for the parts read on demand (fpga.ADDR,
  // cpuN.l2.ADDR, chains...), as writes of this run.
  void save(StateMap &state) const;
  void load(StateMap &state);
  // Writes what this run changed to the store (nothing when nothing did).
  void save_changes(BoardStore &store);
  // The value of a key that save() does not give, in the spelling `jtag-sim
  // set` takes; nullopt for no such key.
  std::optional<std::string> get(const std::string &key);
  void show(std::ostream &out);

 private:
  void route();  // the devices the scan mode puts on the chain
  // TDO as the board's line shows the bit `driven` onto it: stuck, or
  // wrong where the presented bit is one of the erroneous ones.
  bool tdo_line(bool driven) const;
  // After a TCK edge: whether the next bit presented on TDO is wrong.
  void draw_tdo_error();
  bool errors_now() const;
  TapDevice *device_named(const std::string &name);

  BoardStore *store_;
  std::vector<TapDevice *> routed_;
  std::map<std::string, ScanChain *> chains_;
  std::vector<std::unique_ptr<TapDevice>> devices_;
  unsigned scan_mode_ = kPowerUpScanMode;
  bool tms_ = true;
  bool tdi_ = true;
  TapState unrouted_state_ = TapState::TestLogicReset;
  bool trst_ = false;
  bool srst_ = false;
  uint64_t srst_assertions_ = 0;
  LazyRows fpga_;
  bool accelerator_ = false;
  Faults faults_;
  ChainFaults chain_faults_;
  TapDevice *open_input_ = nullptr;  // chain-open: the device whose TDI floats
  TapDevice *held_ = nullptr;        // held-in-reset
  std::optional<double> tck_hz_;
  std::mt19937_64 errors_;
  std::geometric_distribution<uint64_t> error_gap_{1.0};
  uint64_t bits_to_error_ = 0;  // correct bits before the next wrong one
  bool tdo_wrong_ = false;      // the bit presented now is wrong
};

// Adds the chip-specific units (scan chains, control registers, memory...)
// to a freshly made device.  One place lists what each kind of chip holds.
void add_processor_units(TapDevice &cpu, Board &board, int index);
void add_vornex_units(TapDevice &vnx, Board &board, int index);

}  // namespace jtag::sim

#endif
