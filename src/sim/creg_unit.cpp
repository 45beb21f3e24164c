// A processor's control registers: 64-bit values at 40-bit addresses,
// reached through the address, write-data and read-data registers and the
// read and write strobes (see access_units.h).
#include "sim/access_units.h"
#include "sim/board.h"
#include "sim/board_store.h"

namespace jtag::sim {
namespace {

// The processor's control-register instructions.
enum CregInstruction : unsigned {
  kAddressInstruction = 0x08,
  kWriteDataInstruction = 0x09,
  kReadDataInstruction = 0x0a,
  kWriteStrobe = 0x0c,
  kReadStrobe = 0x0d,
};
constexpr unsigned kAddressBits = 40;
constexpr uint64_t kAddressMax = (uint64_t{1} << kAddressBits) - 1;

class CregUnit final : public DeviceUnit {
 public:
  CregUnit(Board &board, int processor)
      : board_(board), processor_(processor), registers_([store = board.store(), processor](uint64_t address) {
          return store != nullptr ? store->control_register(processor, address) : std::nullopt;
        }) {}

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
    if (write_.tick(instruction, board_.tms_level())) registers_.put(address(), write_data_.to_u64());
  }

  void on_test_logic_reset() override {
    read_.cancel();
    write_.cancel();
  }

  void save(StateMap &state, const std::string &prefix) const override {
    save_latch(state, prefix + "creg_address", address_);
    save_latch(state, prefix + "creg_write_data", write_data_);
    save_latch(state, prefix + "creg_read_data", read_data_);
    read_.save(state, prefix + "creg_read_ticks");
    write_.save(state, prefix + "creg_write_ticks");
  }

  void load(StateMap &state, const std::string &prefix) override {
    for (const auto &[address_text, value_text] : state.take_prefixed(prefix + "creg.")) {
      const auto address = key_address(address_text, kAddressMax);
      const auto value = parse_number(value_text);
      if (!address) throw StateError("bad control register address '" + address_text + "' (40 bits)");
      if (!value) throw StateError("bad control register value '" + value_text + "'");
      registers_.put(*address, *value);
    }
    load_latch(state, prefix + "creg_address", address_);
    load_latch(state, prefix + "creg_write_data", write_data_);
    load_latch(state, prefix + "creg_read_data", read_data_);
    read_.load(state, prefix + "creg_read_ticks");
    write_.load(state, prefix + "creg_write_ticks");
  }

  void save_changes(BoardStore &store) override {
    for (const auto &[address, value] : registers_.written()) store.put_control_register(processor_, address, value);
  }

  std::optional<std::string> get(const std::string &key) override {
    if (key.rfind("creg.", 0) != 0) return std::nullopt;
    const auto address = key_address(key.substr(5), kAddressMax);
    if (!address) return std::nullopt;
    return value_text(value_at(*address));
  }

  void show(std::ostream &out) override {
    const RowSummary rows =
        board_.store() != nullptr ? board_.store()->control_registers(processor_, kShowFirst) : RowSummary{};
    out << "  control registers: " << rows.count << " written; others read "
        << value_text(creg_unwritten_value(processor_, 0)) << " + address\n";
    for (const auto &[address, value] : rows.first)
      out << "    creg " << hex_text(address) << " = " << value_text(value) << "\n";
    show_rest(out, "    ", processor_name(processor_) + ".creg.", rows);
  }

 private:
  uint64_t address() const { return address_.to_u64(); }
  uint64_t value_at(uint64_t address) {
    return registers_.get(address).value_or(creg_unwritten_value(processor_, address));
  }

  Board &board_;
  int processor_;
  LazyRows registers_;
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
