// A processor's L2 memory: 64-bit words at byte addresses (the low three
// bits are ignored), reached through the 65-bit access and data words and
// the read and write strobes (see access_units.h).
#include "sim/access_units.h"
#include "sim/board.h"
#include "sim/board_store.h"

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
  L2Unit(Board &board, int processor)
      : board_(board), processor_(processor), words_([store = board.store(), processor](uint64_t address) {
          return store != nullptr ? store->l2_word(processor, address) : std::nullopt;
        }) {}

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
      words_.put(address(), data_word_.get_bits(1, 64));
  }

  void on_test_logic_reset() override {
    read_.cancel();
    write_.cancel();
  }

  void save(StateMap &state, const std::string &prefix) const override {
    save_latch(state, prefix + "l2_access_word", access_word_);
    save_latch(state, prefix + "l2_data_word", data_word_);
    save_latch(state, prefix + "l2_read_data", read_data_);
    read_.save(state, prefix + "l2_read_ticks");
    write_.save(state, prefix + "l2_write_ticks");
  }

  void load(StateMap &state, const std::string &prefix) override {
    for (const auto &[address_text, value_text] : state.take_prefixed(prefix + "l2.")) {
      const auto address = key_address(address_text, kAddressMax);
      const auto value = parse_number(value_text);
      if (!address || word_address(*address) != *address)
        throw StateError("bad L2 address '" + address_text + "' (a multiple of 8 below 2^56)");
      if (!value) throw StateError("bad L2 word '" + value_text + "'");
      words_.put(*address, *value);
    }
    load_latch(state, prefix + "l2_access_word", access_word_);
    load_latch(state, prefix + "l2_data_word", data_word_);
    load_latch(state, prefix + "l2_read_data", read_data_);
    read_.load(state, prefix + "l2_read_ticks");
    write_.load(state, prefix + "l2_write_ticks");
  }

  void save_changes(BoardStore &store) override {
    for (const auto &[address, value] : words_.written()) store.put_l2_word(processor_, address, value);
  }

  std::optional<std::string> get(const std::string &key) override {
    if (key.rfind("l2.", 0) != 0) return std::nullopt;
    const auto address = key_address(key.substr(3), kAddressMax);
    if (!address || word_address(*address) != *address) return std::nullopt;
    return value_text(word_at(*address));
  }

  void show(std::ostream &out) override {
    const RowSummary words =
        board_.store() != nullptr ? board_.store()->l2_words(processor_, kShowFirst) : RowSummary{};
    out << "  L2 memory: " << words.count << " words written; others read "
        << value_text(l2_unwritten_word(processor_, 0)) << " + address\n";
    for (const auto &[address, value] : words.first)
      out << "    l2 " << hex_text(address) << " = " << value_text(value) << "\n";
    show_rest(out, "    ", processor_name(processor_) + ".l2.", words);
  }

 private:
  uint64_t direction() const { return access_word_.get_bits(57, 8); }
  uint64_t address() const { return word_address(access_word_.get_bits(1, kAddressBits)); }
  uint64_t word_at(uint64_t address) { return words_.get(address).value_or(l2_unwritten_word(processor_, address)); }

  Board &board_;
  int processor_;
  LazyRows words_;  // by word address
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
