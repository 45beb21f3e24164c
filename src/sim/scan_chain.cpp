// One scan chain's contents: powered up from a seed, or kept in the store
// (a BLOB with chain bit i in bit i%8 of byte i/8, bit 0 the first out).
#include <cstdio>
#include <vector>

#include "sim/access_units.h"
#include "sim/board_store.h"
#include "sim/scan_chains.h"

namespace jtag::sim {
namespace {

size_t words_for(size_t bits) { return (bits + 63) / 64; }

uint64_t splitmix64(uint64_t &state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

}  // namespace

ScanChain::ScanChain(BoardStore *store, std::string key, size_t length, uint64_t seed)
    : store_(store), key_(std::move(key)), power_up_length_(length), length_(length), seed_(seed) {}

void ScanChain::read_row() {
  if (row_read_) return;
  row_read_ = true;
  if (store_ == nullptr) return;
  const auto length = store_->chain_length(key_);
  if (!length) return;
  if (*length == 0 || *length > kMaxChainLength)
    throw StoreError("the scan chain " + key_ + " in " + (store_->dir() / kBoardFile).string() + " has length " +
                     std::to_string(*length) + "; 'jtag-sim reset' powers the board up fresh");
  has_row_ = true;
  length_ = size_t(*length);
}

size_t ScanChain::length() {
  read_row();
  return length_;
}

bool ScanChain::stored() {
  read_row();
  return has_row_ || touched_ || length_changed_;
}

void ScanChain::set_length(size_t length) {
  read_row();
  if (length == length_) return;
  length_ = length;
  cells_.reset();
  touched_ = false;
  has_row_ = false;  // its contents are those of another length
  length_changed_ = true;
}

BitVector ScanChain::power_up_contents() const {
  BitVector bits(length_);
  uint64_t state = seed_;
  for (size_t w = 0; w < words_for(length_); ++w) {
    const size_t at = w * 64;
    bits.set_bits(at, unsigned(std::min<size_t>(64, length_ - at)), splitmix64(state));
  }
  return bits;
}

ShiftRegister &ScanChain::cells() {
  read_row();
  if (!cells_) {
    BitVector bits(length_);
    if (!has_row_ || !store_->chain_contents(key_, bits)) bits = power_up_contents();
    cells_.emplace(std::move(bits));
  }
  touched_ = true;
  return *cells_;
}

void ScanChain::set_contents(const BitVector &value) { cells().load(value); }

void ScanChain::save_changes(BoardStore &store) {
  if (touched_) {
    store.put_chain(key_, length_, &*cells_);
  } else if (length_changed_ && length_ == power_up_length_) {
    store.forget_chain(key_);
  } else if (length_changed_) {
    store.put_chain(key_, length_, nullptr);
  }
}

void load_chain_keys(StateMap &state, const std::string &key, ScanChain &chain) {
  if (const auto length = state.take_optional(key + ".length")) {
    const auto n = parse_number(*length);
    if (!n || *n == 0 || *n > kMaxChainLength)
      throw StateError("bad chain length '" + *length + "' for '" + key + ".length' (1 to 4294967295 bits)");
    chain.set_length(size_t(*n));
  }
  if (state.contains(key)) {
    BitVector value(chain.length());
    const std::string text = state.take(key);
    StateMap one;
    one.put(key, text);
    load_latch(one, key, value);  // a 0x hex value of at most the chain's length
    chain.set_contents(value);
  }
}

std::string chain_key_value(ScanChain &chain, const std::string &rest) {
  if (rest == ".length") return std::to_string(chain.length());
  return "0x" + to_hex(chain.contents());
}

}  // namespace jtag::sim
