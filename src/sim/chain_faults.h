// The wiring faults of a broken board, as `jtag-sim fault` sets them and the
// board's store keeps them until `jtag-sim fault clear`.  Each is what a
// real board does when the fault is there, so the commands meet them as they
// would meet the broken board:
//
//   tdo-stuck=0|1         the board's TDO line stuck low or high
//   chain-open=DEV        DEV's TDI is disconnected and floats high (the pull-up
//                         IEEE 1149.1 asks of TDI): DEV and the devices between
//                         it and TDO still shift, but nothing from nearer TDI
//                         comes through; DEV shifts in ones
//   ir-capture=DEV        DEV's Capture-IR loads ones with the two low bits 0
//                         (0b11111100 for a processor), not ...01
//   absent=DEV            DEV is not fitted and a jumper carries its TDI to its
//                         TDO: the chain is one device shorter
//   held-in-reset=DEV     DEV's TRST is stuck low: its TAP stays in
//                         Test-Logic-Reset whatever TMS does, and there its TDO
//                         is not driven, so the next device's TDI (or the
//                         board's TDO) reads its pull-up: ones.  On the wire
//                         this is the chain open at the next device toward TDO
//   tdo-errors=RATE[,above=HZ][,seed=N]
//                         each TDO bit is wrong with probability RATE (0 to 1);
//                         with above=, only while TCK runs faster than HZ, where
//                         the board knows the rate (its source tells it); the
//                         errors come from a generator seeded with N at the
//                         start of each run (without seed=, a fresh seed each
//                         run)
//
// DEV is cpu0..cpu3 or vnx0..vnx3, as the board's keys name them.  Each kind
// is set once at most; the kinds combine.
#ifndef JTAGBOX_SIM_CHAIN_FAULTS_H
#define JTAGBOX_SIM_CHAIN_FAULTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace jtag::sim {

struct TdoErrors {
  double rate = 0;
  std::optional<double> above_hz;  // only faster than this; none: at any rate
  std::optional<uint64_t> seed;    // none: a fresh seed each run
};

struct ChainFaults {
  std::optional<bool> tdo_stuck;
  std::string chain_open;  // device names; empty: no such fault
  std::string ir_capture;
  std::string absent;
  std::string held_in_reset;
  std::optional<TdoErrors> tdo_errors;

  bool any() const;
  // One NAME=VALUE of `jtag-sim fault`.  Throws StateError naming what is
  // wrong; the faults are unchanged then.
  void set(const std::string &name, const std::string &value);
  // NAME and VALUE of each fault set, in the order above, as set() takes
  // them back.
  std::vector<std::pair<std::string, std::string>> entries() const;
  // The faults a store kept (entries() of an earlier board).  Throws
  // StateError for a row set() refuses.
  static ChainFaults from_entries(const std::vector<std::pair<std::string, std::string>> &rows);
};

}  // namespace jtag::sim

#endif
