// One scan chain's contents: powered up from a seed, or kept in a file.
//
// File format: the 8 bytes "JSCHAIN1", the length as a little-endian 64-bit
// count, then the bits in little-endian 64-bit words, bit 0 first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "sim/access_units.h"
#include "sim/scan_chains.h"

namespace jtag::sim {
namespace {

constexpr char kMagic[8] = {'J', 'S', 'C', 'H', 'A', 'I', 'N', '1'};
constexpr size_t kHeaderBytes = 16;

size_t words_for(size_t bits) { return (bits + 63) / 64; }

uint64_t splitmix64(uint64_t &state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

std::vector<uint64_t> to_words(const BitVector &bits) {
  std::vector<uint64_t> words(words_for(bits.size()));
  for (size_t w = 0; w < words.size(); ++w) {
    const size_t at = w * 64;
    words[w] = bits.get_bits(at, unsigned(std::min<size_t>(64, bits.size() - at)));
  }
  return words;
}

BitVector from_words(const std::vector<uint64_t> &words, size_t length) {
  BitVector bits(length);
  for (size_t w = 0; w < words.size(); ++w) {
    const size_t at = w * 64;
    bits.set_bits(at, unsigned(std::min<size_t>(64, length - at)), words[w]);
  }
  return bits;
}

// A chain file that cannot be read mid-command is a broken board directory:
// say so and stop rather than shift made-up bits.
[[noreturn]] void unreadable(const std::filesystem::path &file) {
  std::fprintf(stderr, "jtag-sim: the scan chain file %s cannot be read; 'jtag-sim reset' powers the board up fresh\n",
               file.c_str());
  std::exit(1);
}

}  // namespace

ScanChain::ScanChain(std::filesystem::path file, size_t length, uint64_t seed)
    : file_(std::move(file)), power_up_length_(length), length_(length), seed_(seed) {}

void ScanChain::set_length(size_t length) {
  if (length == length_) return;
  length_ = length;
  cells_.reset();
  touched_ = false;
  if (file_valid_) file_stale_ = true;
  file_valid_ = false;
}

BitVector ScanChain::power_up_contents() const {
  std::vector<uint64_t> words(words_for(length_));
  uint64_t state = seed_;
  for (uint64_t &w : words) w = splitmix64(state);
  return from_words(words, length_);
}

BitVector ScanChain::read_file() const {
  std::ifstream in(file_, std::ios::binary);
  char header[kHeaderBytes];
  if (!in.read(header, kHeaderBytes)) unreadable(file_);
  std::vector<uint64_t> words(words_for(length_));
  if (!in.read(reinterpret_cast<char *>(words.data()), std::streamsize(words.size() * 8))) unreadable(file_);
  return from_words(words, length_);
}

ShiftRegister &ScanChain::cells() {
  if (!cells_) {
    cells_.emplace(length_);
    cells_->load(file_valid_ ? read_file() : power_up_contents());
  }
  touched_ = true;
  return *cells_;
}

void ScanChain::set_contents(const BitVector &value) { cells().load(value); }

void ScanChain::look_for_file() {
  file_valid_ = false;
  file_stale_ = false;
  std::error_code ec;
  const auto size = std::filesystem::file_size(file_, ec);
  if (ec) return;  // no file: the chain is as it powered up
  std::ifstream in(file_, std::ios::binary);
  char header[kHeaderBytes] = {};
  in.read(header, kHeaderBytes);
  uint64_t length = 0;
  std::memcpy(&length, header + 8, 8);
  file_valid_ =
      in && std::memcmp(header, kMagic, 8) == 0 && length == length_ && size == kHeaderBytes + 8 * words_for(length_);
  file_stale_ = !file_valid_;
}

void ScanChain::persist() {
  std::error_code ec;
  if (!touched_) {
    if (file_stale_) std::filesystem::remove(file_, ec);
    file_stale_ = false;
    return;
  }
  std::filesystem::create_directories(file_.parent_path(), ec);
  const std::filesystem::path tmp = file_.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    const uint64_t length = length_;
    out.write(kMagic, 8);
    out.write(reinterpret_cast<const char *>(&length), 8);
    const std::vector<uint64_t> words = to_words(cells_->contents());
    out.write(reinterpret_cast<const char *>(words.data()), std::streamsize(words.size() * 8));
    out.flush();
    if (!out) {
      std::fprintf(stderr, "jtag-sim: cannot write %s\n", tmp.c_str());
      return;
    }
  }
  std::filesystem::rename(tmp, file_, ec);
  if (ec) std::fprintf(stderr, "jtag-sim: cannot replace %s: %s\n", file_.c_str(), ec.message().c_str());
  file_valid_ = !ec;
  file_stale_ = false;
}

void load_chain_keys(StateMap &state, const std::string &key, ScanChain &chain) {
  if (const auto length = state.take_optional(key + ".length")) {
    const auto n = parse_number(*length);
    if (!n || *n == 0 || *n > kMaxChainLength)
      throw StateError("bad chain length '" + *length + "' for '" + key + ".length' (1 to 4294967295 bits)");
    chain.set_length(size_t(*n));
  }
  chain.look_for_file();
  if (state.contains(key)) {
    BitVector value(chain.length());
    const std::string text = state.take(key);
    StateMap one;
    one.put(key, text);
    load_latch(one, key, value);  // a 0x hex value of at most the chain's length
    chain.set_contents(value);
  }
}

void save_chain_keys(StateMap &state, const std::string &key, const ScanChain &chain) {
  if (chain.length() != chain.power_up_length()) state.put_number(key + ".length", chain.length());
}

}  // namespace jtag::sim
