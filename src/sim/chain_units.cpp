// The scan-chain units of the processors and the Vornex chips (see
// scan_chains.h for the instructions and the keys).
#include <array>
#include <cstdio>
#include <functional>

#include "sim/access_units.h"
#include "sim/board.h"
#include "sim/scan_chains.h"

namespace jtag::sim {
namespace {

// The scan instructions of each chip (scan_chains.h tells what they do).
enum ProcessorScanInstruction : unsigned {
  kProcessorAccess = 0x88,
  kProcessorChainSelect = 0x81,
  kProcessorChain = 0x80
};
enum VornexScanInstruction : unsigned { kVornexAccess = 0x3D, kVornexConfig = 0x0A, kVornexChain = 0x3E };
constexpr unsigned kChainSelectBits = 6;
constexpr unsigned kVornexConfigBits = 16;
constexpr uint64_t kVornexChainRouting = 0x01E0;

// The chain a unit routes now, as the data register.  Its cells are the
// chain's own; capture only lets the chip's logic act.
class ChainRegister final : public DataRegister {
 public:
  ChainRegister(std::function<ScanChain &()> chain, std::function<void()> on_capture = {})
      : chain_(std::move(chain)), on_capture_(std::move(on_capture)) {}
  ShiftRegister &cells() override { return chain_().cells(); }
  bool cells_kept_elsewhere() const override { return true; }
  void capture() override {
    if (on_capture_) on_capture_();
  }

 private:
  std::function<ScanChain &()> chain_;
  std::function<void()> on_capture_;
};

// Two hexadecimal digits.  Every start of a command names all 256 chains
// of the board, so this is done by hand rather than by snprintf.
std::string chain_number(int chain) {
  constexpr const char *kDigits = "0123456789abcdef";
  return {kDigits[(chain >> 4) & 0xf], kDigits[chain & 0xf]};
}

bool take_flag_or_off(StateMap &state, const std::string &key) {
  return state.contains(key) ? state.take_flag(key) : false;
}

void show_chain(std::ostream &out, const std::string &label, ScanChain &chain) {
  out << "    " << label << ": " << chain.length() << " bits" << (chain.stored() ? ", changed since power-up" : "")
      << "\n";
}

class ProcessorChainUnit final : public DeviceUnit {
 public:
  ProcessorChainUnit(Board &board, int processor) {
    const std::string device = processor_name(processor);
    for (int k = 0; k < kProcessorChainCount; ++k) {
      const std::string key = device + ".chain." + chain_number(k);
      chains_[size_t(k)] = std::make_unique<ScanChain>(board.store(), key, processor_chain_length(processor, k),
                                                       (uint64_t(processor) << 8) | uint64_t(k));
      board.register_chain(key, *chains_[size_t(k)]);
    }
  }

  DataRegister *data_register_for(unsigned instruction) override {
    if (instruction == kProcessorChainSelect) return &select_register_;
    if (instruction == kProcessorChain && access_) return &chain_register_;
    return nullptr;  // 0x88 itself, and 0x80 without access: BYPASS
  }

  void on_instruction(unsigned instruction) override {
    if (instruction == kProcessorAccess) access_ = true;
  }

  void on_test_logic_reset() override {
    access_ = false;
    selection_ = BitVector(kChainSelectBits);
  }

  void save(StateMap &state, const std::string &prefix) const override {
    state.put_number(prefix + "scan_access", access_);
    save_latch(state, prefix + "chain_select", selection_);
  }

  void load(StateMap &state, const std::string &prefix) override {
    access_ = take_flag_or_off(state, prefix + "scan_access");
    load_latch(state, prefix + "chain_select", selection_);
    // A saved board keeps its chains in their own rows; chain keys come
    // only from `jtag-sim set`.
    if (!state.has_prefix(prefix + "chain.")) return;
    for (int k = 0; k < kProcessorChainCount; ++k)
      load_chain_keys(state, prefix + "chain." + chain_number(k), *chains_[size_t(k)]);
  }

  void save_changes(BoardStore &store) override {
    for (auto &chain : chains_) chain->save_changes(store);
  }

  // chain.KK and chain.KK.length
  std::optional<std::string> get(const std::string &key) override {
    for (int k = 0; k < kProcessorChainCount; ++k) {
      const std::string name = "chain." + chain_number(k);
      if (key == name || key == name + ".length") return chain_key_value(*chains_[size_t(k)], key.substr(name.size()));
    }
    return std::nullopt;
  }

  void show(std::ostream &out) override {
    out << "  scan chains: access " << (access_ ? "on" : "off") << ", chain 0x" << chain_number(selected())
        << " selected\n";
    for (int k = 0; k < kProcessorChainCount; ++k)
      if (chains_[size_t(k)]->stored() || k == selected())
        show_chain(out, "chain 0x" + chain_number(k), *chains_[size_t(k)]);
  }

 private:
  int selected() const { return int(selection_.to_u64()); }

  bool access_ = false;
  BitVector selection_{kChainSelectBits};
  std::array<std::unique_ptr<ScanChain>, kProcessorChainCount> chains_;
  LatchRegister select_register_{selection_, true};
  ChainRegister chain_register_{[this]() -> ScanChain & { return *chains_[size_t(selected())]; }};
};

// One step of the running chip's logic on one word of its chain.
uint64_t next_logic_state(uint64_t word) { return word * 6364136223846793005u + 1442695040888963407u; }

class VornexChainUnit final : public DeviceUnit {
 public:
  VornexChainUnit(Board &board, int vornex)
      : board_(board),
        key_(vornex_name(vornex) + ".chain"),
        chain_(board.store(), key_, vornex_chain_length(vornex), 0x5600u | uint64_t(vornex)) {
    board.register_chain(key_, chain_);
  }

  DataRegister *data_register_for(unsigned instruction) override {
    if (instruction == kVornexConfig) return &config_register_;
    if (instruction == kVornexChain && access_ && config_.to_u64() == kVornexChainRouting) return &chain_register_;
    return nullptr;
  }

  void on_instruction(unsigned instruction) override {
    if (instruction == kVornexAccess) access_ = true;
  }

  void on_test_logic_reset() override {
    access_ = false;
    config_ = BitVector(kVornexConfigBits);
  }

  void save(StateMap &state, const std::string &prefix) const override {
    state.put_number(prefix + "scan_access", access_);
    save_latch(state, prefix + "scan_config", config_);
  }

  void load(StateMap &state, const std::string &prefix) override {
    access_ = take_flag_or_off(state, prefix + "scan_access");
    load_latch(state, prefix + "scan_config", config_);
    load_chain_keys(state, key_, chain_);
  }

  void save_changes(BoardStore &store) override { chain_.save_changes(store); }

  std::optional<std::string> get(const std::string &key) override {
    if (key == "chain" || key == "chain.length") return chain_key_value(chain_, key.substr(5));
    return std::nullopt;
  }

  void show(std::ostream &out) override {
    char config[16];
    std::snprintf(config, sizeof config, "0x%04x", unsigned(config_.to_u64()));
    out << "  scan chain: access " << (access_ ? "on" : "off") << ", configuration " << config << ", clock "
        << (board_.vornex_clock_stopped() ? "stopped" : "running") << "\n";
    show_chain(out, "chain", chain_);
  }

 private:
  // With the clock running the chip's logic moves the flip-flops on.
  void on_capture() {
    if (board_.vornex_clock_stopped()) return;
    ShiftRegister &cells = chain_.cells();
    BitVector now = cells.contents();
    for (size_t at = 0; at < now.size(); at += 64) {
      const unsigned n = unsigned(std::min<size_t>(64, now.size() - at));
      now.set_bits(at, n, next_logic_state(now.get_bits(at, n)));
    }
    cells.load(now);
  }

  Board &board_;
  std::string key_;
  ScanChain chain_;
  bool access_ = false;
  BitVector config_{kVornexConfigBits};
  LatchRegister config_register_{config_, true};
  ChainRegister chain_register_{[this]() -> ScanChain & { return chain_; }, [this] { on_capture(); }};
};

}  // namespace

size_t processor_chain_length(int processor, int chain) { return 1000 + 37 * size_t(chain) + 5 * size_t(processor); }
size_t vornex_chain_length(int vornex) { return 3000 + 250 * size_t(vornex); }

std::unique_ptr<DeviceUnit> make_processor_chain_unit(Board &board, int processor) {
  return std::make_unique<ProcessorChainUnit>(board, processor);
}
std::unique_ptr<DeviceUnit> make_vornex_chain_unit(Board &board, int vornex) {
  return std::make_unique<VornexChainUnit>(board, vornex);
}

}  // namespace jtag::sim
