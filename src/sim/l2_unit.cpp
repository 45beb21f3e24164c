// A processor's L2 memory: 64-bit words at byte addresses (the low three
// bits are ignored), reached through the 65-bit access and data words and
// the read and write strobes (see access_units.h).
#include <map>

#include "sim/access_units.h"
#include "sim/board.h"

namespace jtag::sim {
namespace {

constexpr unsigned kAccessWordInstruction = 0x58;
constexpr unsigned kDataWordInstruction = 0x59;
constexpr unsigned kWriteStrobe = 0x5a;
constexpr unsigned kReadStrobe = 0x5b;  // also selects the read data
constexpr unsigned kWordBits = 65;
constexpr unsigned kAddressBits = 56;
constexpr uint64_t kAddressMax = (uint64_t{1} << kAddressBits) - 1;
constexpr uint64_t kReadDirection = 0x81;
constexpr uint64_t kWriteDirection = 0x82;

uint64_t word_address(uint64_t address) { return address & kAddressMax & ~uint64_t{7}; }

class L2Unit final : public DeviceUnit {
 public:
  L2Unit(Board &board, int processor) : board_(board), processor_(processor) {}

  DataRegister *data_register_for(unsigned instruction) override {
    switch (instruction) {
      case kAccessWordInstruction: return &access_register_;
      case kDataWordInstruction: return &data_register_;
      case kReadStrobe: return &read_data_register_;
      default: return nullptr;
    }
  }

  void on_instruction(unsigned instruction) override {
    read_.on_instruction(instruction);
    write_.on_instruction(instruction);
  }

  void on_run_test_idle_tick(unsigned instruction) override {
    if (read_.tick(instruction, board_.tms_level()) && direction() == kReadDirection)
      read_data_ = BitVector::from_u64(word_at(address()), 64);
    if (write_.tick(instruction, board_.tms_level()) && direction() == kWriteDirection)
      words_[address()] = data_word_.get_bits(1, 64);
  }

  void on_test_logic_reset() override {
    read_.cancel();
    write_.cancel();
  }

  void save(StateMap &state, const std::string &prefix) const override {
    for (const auto &[address, value] : words_) state.put(prefix + "l2." + hex_text(address), value_text(value));
    save_latch(state, prefix + "l2_access_word", access_word_);
    save_latch(state, prefix + "l2_data_word", data_word_);
    save_latch(state, prefix + "l2_read_data", read_data_);
    read_.save(state, prefix + "l2_read_ticks");
    write_.save(state, prefix + "l2_write_ticks");
  }

  void load(StateMap &state, const std::string &prefix) override {
    words_.clear();
    for (const auto &[address_text, value_text] : state.take_prefixed(prefix + "l2.")) {
      const auto address = parse_number(address_text);
      const auto value = parse_number(value_text);
      if (!address || *address > kAddressMax || word_address(*address) != *address)
        throw StateError("bad L2 address '" + address_text + "' (a multiple of 8 below 2^56)");
      if (!value) throw StateError("bad L2 word '" + value_text + "'");
      if (!words_.emplace(*address, *value).second) throw StateError("L2 word " + hex_text(*address) + " given twice");
    }
    load_latch(state, prefix + "l2_access_word", access_word_);
    load_latch(state, prefix + "l2_data_word", data_word_);
    load_latch(state, prefix + "l2_read_data", read_data_);
    read_.load(state, prefix + "l2_read_ticks");
    write_.load(state, prefix + "l2_write_ticks");
  }

  void show(std::ostream &out) const override {
    out << "  L2 memory: " << words_.size() << " words written; others read "
        << value_text(l2_unwritten_word(processor_, 0)) << " + address\n";
    for (const auto &[address, value] : words_)
      out << "    l2 " << hex_text(address) << " = " << value_text(value) << "\n";
  }

 private:
  uint64_t direction() const { return access_word_.get_bits(57, 8); }
  uint64_t address() const { return word_address(access_word_.get_bits(1, kAddressBits)); }
  uint64_t word_at(uint64_t address) const {
    const auto it = words_.find(address);
    return it == words_.end() ? l2_unwritten_word(processor_, address) : it->second;
  }

  Board &board_;
  int processor_;
  std::map<uint64_t, uint64_t> words_;  // only those written, by word address
  BitVector access_word_{kWordBits};
  BitVector data_word_{kWordBits};
  BitVector read_data_{64};
  LatchRegister access_register_{access_word_, true};
  LatchRegister data_register_{data_word_, true};
  LatchRegister read_data_register_{read_data_, false};
  StrobeTimer read_{kReadStrobe, kL2ReadTicks};
  StrobeTimer write_{kWriteStrobe, kL2WriteTicks};
};

}  // namespace

uint64_t l2_unwritten_word(int processor, uint64_t address) {
  return (uint64_t(0xa0 | processor) << 56) | word_address(address);
}

std::unique_ptr<DeviceUnit> make_l2_unit(Board &board, int processor) {
  return std::make_unique<L2Unit>(board, processor);
}

}  // namespace jtag::sim
