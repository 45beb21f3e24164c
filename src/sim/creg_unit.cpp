// A processor's control registers: 64-bit values at 40-bit addresses,
// reached through the address, write-data and read-data registers and the
// read and write strobes (see access_units.h).
#include <map>

#include "sim/access_units.h"
#include "sim/board.h"

namespace jtag::sim {
namespace {

constexpr unsigned kAddressInstruction = 0x08;
constexpr unsigned kWriteDataInstruction = 0x09;
constexpr unsigned kReadDataInstruction = 0x0a;
constexpr unsigned kWriteStrobe = 0x0c;
constexpr unsigned kReadStrobe = 0x0d;
constexpr unsigned kAddressBits = 40;
constexpr uint64_t kAddressMax = (uint64_t{1} << kAddressBits) - 1;

class CregUnit final : public DeviceUnit {
 public:
  CregUnit(Board &board, int processor) : board_(board), processor_(processor) {}

  DataRegister *data_register_for(unsigned instruction) override {
    switch (instruction) {
      case kAddressInstruction: return &address_register_;
      case kWriteDataInstruction: return &write_data_register_;
      case kReadDataInstruction: return &read_data_register_;
      default: return nullptr;  // the strobes run with BYPASS in the data path
    }
  }

  void on_instruction(unsigned instruction) override {
    read_.on_instruction(instruction);
    write_.on_instruction(instruction);
  }

  void on_run_test_idle_tick(unsigned instruction) override {
    if (read_.tick(instruction, board_.tms_level())) read_data_ = BitVector::from_u64(value_at(address()), 64);
    if (write_.tick(instruction, board_.tms_level())) registers_[address()] = write_data_.to_u64();
  }

  void on_test_logic_reset() override {
    read_.cancel();
    write_.cancel();
  }

  void save(StateMap &state, const std::string &prefix) const override {
    for (const auto &[address, value] : registers_) state.put(prefix + "creg." + hex_text(address), value_text(value));
    save_latch(state, prefix + "creg_address", address_);
    save_latch(state, prefix + "creg_write_data", write_data_);
    save_latch(state, prefix + "creg_read_data", read_data_);
    read_.save(state, prefix + "creg_read_ticks");
    write_.save(state, prefix + "creg_write_ticks");
  }

  void load(StateMap &state, const std::string &prefix) override {
    registers_.clear();
    for (const auto &[address_text, value_text] : state.take_prefixed(prefix + "creg.")) {
      const auto address = parse_number(address_text);
      const auto value = parse_number(value_text);
      if (!address || *address > kAddressMax)
        throw StateError("bad control register address '" + address_text + "' (40 bits)");
      if (!value) throw StateError("bad control register value '" + value_text + "'");
      if (!registers_.emplace(*address, *value).second)
        throw StateError("control register " + hex_text(*address) + " given twice");
    }
    load_latch(state, prefix + "creg_address", address_);
    load_latch(state, prefix + "creg_write_data", write_data_);
    load_latch(state, prefix + "creg_read_data", read_data_);
    read_.load(state, prefix + "creg_read_ticks");
    write_.load(state, prefix + "creg_write_ticks");
  }

  void show(std::ostream &out) const override {
    out << "  control registers: " << registers_.size() << " written; others read "
        << value_text(creg_unwritten_value(processor_, 0)) << " + address\n";
    for (const auto &[address, value] : registers_)
      out << "    creg " << hex_text(address) << " = " << value_text(value) << "\n";
  }

 private:
  uint64_t address() const { return address_.to_u64(); }
  uint64_t value_at(uint64_t address) const {
    const auto it = registers_.find(address);
    return it == registers_.end() ? creg_unwritten_value(processor_, address) : it->second;
  }

  Board &board_;
  int processor_;
  std::map<uint64_t, uint64_t> registers_;  // only those written
  BitVector address_{kAddressBits};
  BitVector write_data_{64};
  BitVector read_data_{64};
  LatchRegister address_register_{address_, true};
  LatchRegister write_data_register_{write_data_, true};
  LatchRegister read_data_register_{read_data_, false};
  StrobeTimer read_{kReadStrobe, kCregAccessTicks};
  StrobeTimer write_{kWriteStrobe, kCregAccessTicks};
};

}  // namespace

uint64_t creg_unwritten_value(int processor, uint64_t address) {
  return (uint64_t(0xc0 | processor) << 56) | (address & kAddressMax);
}

std::unique_ptr<DeviceUnit> make_creg_unit(Board &board, int processor) {
  return std::make_unique<CregUnit>(board, processor);
}

}  // namespace jtag::sim
