// A functional block inside a device (scan chains, control registers, L2
// memory...) that owns some instructions and their data registers.  Devices
// are assembled from units so that each block of the chip model lives in its
// own file.
#ifndef JTAGBOX_SIM_DEVICE_UNIT_H
#define JTAGBOX_SIM_DEVICE_UNIT_H

#include <ostream>
#include <string>

#include "sim/data_register.h"
#include "sim/state_map.h"

namespace jtag::sim {

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

  // Keys under `prefix` (the device's, ending in '.').  save() is called at
  // the end of every process that used the board, so it must be cheap when
  // nothing changed.
  virtual void save(StateMap & /*state*/, const std::string & /*prefix*/) const {}
  virtual void load(StateMap & /*state*/, const std::string & /*prefix*/) {}
  // Lines for `jtag-sim show`, each starting with two blanks.
  virtual void show(std::ostream & /*out*/) const {}
};

}  // namespace jtag::sim

#endif
