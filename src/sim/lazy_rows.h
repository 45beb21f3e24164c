// The rows of one part of the board (L2 words, control registers, FPGA
// registers) as a run sees them: each read from the store when first
// needed and kept, each written here kept until the end of the run, when
// only those are written back.
#ifndef JTAGBOX_SIM_LAZY_ROWS_H
#define JTAGBOX_SIM_LAZY_ROWS_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>

namespace jtag::sim {

class LazyRows {
 public:
  using Fetch = std::function<std::optional<uint64_t>(uint64_t address)>;
  explicit LazyRows(Fetch fetch) : fetch_(std::move(fetch)) {}

  // The stored or written value, nullopt for one never written.
  std::optional<uint64_t> get(uint64_t address) {
    const auto it = known_.find(address);
    if (it != known_.end()) return it->second;
    const std::optional<uint64_t> value = fetch_ ? fetch_(address) : std::nullopt;
    known_.emplace(address, value);
    return value;
  }
  void put(uint64_t address, uint64_t value) {
    known_[address] = value;
    written_[address] = value;
  }
  // What this run wrote, by address.
  const std::map<uint64_t, uint64_t> &written() const { return written_; }

 private:
  Fetch fetch_;
  std::unordered_map<uint64_t, std::optional<uint64_t>> known_;
  std::map<uint64_t, uint64_t> written_;
};

}  // namespace jtag::sim

#endif
