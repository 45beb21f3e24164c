// A functional block inside a device (scan chains, control registers, L2
// memory...) that owns some instructions and their data registers.  Devices
// are assembled from units so that each block of the chip model lives in its
// own file.
#ifndef JTAGBOX_SIM_DEVICE_UNIT_H
#define JTAGBOX_SIM_DEVICE_UNIT_H

#include <optional>
#include <ostream>
#include <string>

#include "sim/data_register.h"
#include "sim/state_map.h"

namespace jtag::sim {

class BoardStore;

class DeviceUnit {
 public:
  virtual ~DeviceUnit() = default;

  // The register this unit puts between TDI and TDO for `instruction`, or
  // nullptr when the instruction is not this unit's.
  virtual DataRegister *data_register_for(unsigned instruction) = 0;

  // A new instruction took effect at Update-IR.
  virtual void on_instruction(unsigned /*instruction*/) {}
  // One rising TCK edge in Run-Test/Idle, with the instruction in force.
  virtual void on_run_test_idle_tick(unsigned /*instruction*/) {}
  // The TAP entered Test-Logic-Reset.
  virtual void on_test_logic_reset() {}

  // The small state's keys under `prefix` (the device's, ending in '.'):
  // latches and switches.  save() is called at the end of every process
  // that used the board, so it must be cheap.  load() also takes the keys
  // of `jtag-sim set` for the rows read on demand, as writes of this run.
  virtual void save(StateMap & /*state*/, const std::string & /*prefix*/) const {}
  virtual void load(StateMap & /*state*/, const std::string & /*prefix*/) {}
  // Writes the rows this run changed (memory words, registers, chains).
  virtual void save_changes(BoardStore & /*store*/) {}
  // The value of one of the unit's keys that save() does not give (`key`
  // without the device's prefix), as `jtag-sim set` takes it.
  virtual std::optional<std::string> get(const std::string & /*key*/) { return std::nullopt; }
  // Lines for `jtag-sim show`, each starting with two blanks.
  virtual void show(std::ostream & /*out*/) {}
};

}  // namespace jtag::sim

#endif
