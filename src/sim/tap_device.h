// One chip's TAP controller as IEEE 1149.1 describes it: the sixteen-state
// controller, an instruction register, IDCODE and BYPASS, and the units that
// supply the chip's own data registers.
#ifndef JTAGBOX_SIM_TAP_DEVICE_H
#define JTAGBOX_SIM_TAP_DEVICE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/tap_state.h"
#include "sim/data_register.h"
#include "sim/device_unit.h"
#include "sim/state_map.h"

namespace jtag::sim {

struct TapDescription {
  std::string name;             // "cpu0", "vnx3": also the prefix of its keys
  unsigned ir_length;           // bits
  uint32_t idcode;              // captured at Test-Logic-Reset
  unsigned idcode_instruction;  // the instruction Test-Logic-Reset loads
};

class TapDevice {
 public:
  explicit TapDevice(TapDescription description);
  virtual ~TapDevice() = default;
  TapDevice(const TapDevice &) = delete;
  TapDevice &operator=(const TapDevice &) = delete;

  void add_unit(std::unique_ptr<DeviceUnit> unit) { units_.push_back(std::move(unit)); }

  // One TCK: returns what TDO shows before the edge (1 when not shifting, as
  // the board's pull-up gives), then acts on the rising edge.
  bool clock(bool tms, bool tdi);

  // What TDO presents now, before the next rising TCK edge: the cell next
  // to TDO while shifting, else 1 (the board's pull-up).
  bool tdo();
  // TRST: Test-Logic-Reset at once, without a clock.
  void test_reset();

  // The cells between TDI and TDO in Shift-DR or Shift-IR (for the bulk path).
  ShiftRegister &shifting_cells();

  const TapDescription &description() const { return desc_; }
  const std::string &name() const { return desc_.name; }
  TapState state() const { return state_; }
  unsigned instruction() const { return instruction_; }
  unsigned ir_length() const { return desc_.ir_length; }
  unsigned bypass_instruction() const { return (1u << desc_.ir_length) - 1; }

  void save(StateMap &state) const;
  void load(StateMap &state);
  void save_changes(BoardStore &store) {
    for (auto &unit : units_) unit->save_changes(store);
  }
  // A key of a unit, without the device's prefix (see DeviceUnit::get).
  std::optional<std::string> get(const std::string &key) {
    for (auto &unit : units_)
      if (auto value = unit->get(key)) return value;
    return std::nullopt;
  }
  void show(std::ostream &out);

  // The IR captures ...01 as IEEE 1149.1 requires of its two low bits.
  static constexpr unsigned kIrCapture = 0x01;
  // What Capture-IR loads instead (a broken IR's, sim/chain_faults.h).
  void set_ir_capture(unsigned pattern) { ir_capture_ = pattern; }

 private:
  // The cells of the register in flight, as save() wrote them.
  void load_dr_cells(const std::string &text, const std::string &prefix);
  DataRegister &data_register();
  void enter_test_logic_reset();

  TapDescription desc_;
  TapState state_ = TapState::TestLogicReset;
  unsigned instruction_;
  ShiftRegister ir_;
  ConstantRegister idcode_;
  BypassRegister bypass_;
  std::vector<std::unique_ptr<DeviceUnit>> units_;
  ShiftRegister *shifting_dr_ = nullptr;  // the cells of the Shift-DR under way
  unsigned ir_capture_ = kIrCapture;
};

}  // namespace jtag::sim

#endif
