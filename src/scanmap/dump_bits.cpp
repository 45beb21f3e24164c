#include "scanmap/dump_bits.h"

#include <vector>

#include "base/error.h"
#include "files/checked_file.h"

namespace jtag::scanmap {
namespace {

constexpr size_t kPiece = size_t{1} << 16;

// Hex digit values, 16 for every other byte.
struct DigitTable {
  unsigned char value[256];
  constexpr DigitTable() : value() {
    for (int c = 0; c < 256; ++c) value[c] = 16;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<unsigned char>(c - 'A' + 10);
  }
};
constexpr DigitTable kDigits;

[[noreturn]] void wrong_length(const std::string &path, uint64_t expected, uint64_t found, uint64_t length) {
  throw ArgumentError(path + ": " + std::to_string(found) + " hex digits, expected " + std::to_string(expected) +
                      " for a chain of " + std::to_string(length) + " bits");
}

}  // namespace

BitVector read_dump(const std::string &path, uint64_t length) {
  const uint64_t digits = (length + 3) / 4;
  jtagbox::files::CheckedInput in(path);
  // A regular file's size says at once whether it can fit (the digits and
  // a line end at most); a device is counted as it is read.
  if (in.size() > digits + 1) wrong_length(path, digits, in.size(), length);
  std::vector<uint64_t> words(BitVector::word_count(digits * 4));
  std::vector<char> piece(kPiece);
  uint64_t seen = 0;  // digits so far; digit i holds bits 4 (digits - 1 - i) and up
  bool ended = false;  // the line end came
  uint64_t offset = 0;
  while (const size_t n = in.read(piece.data(), piece.size())) {
    for (size_t i = 0; i < n; ++i, ++offset) {
      const unsigned char c = static_cast<unsigned char>(piece[i]);
      const unsigned v = kDigits.value[c];
      if (v < 16 && !ended) {
        if (seen == digits) wrong_length(path, digits, seen + 1, length);
        const uint64_t bit = 4 * (digits - 1 - seen++);
        words[bit >> 6] |= uint64_t(v) << (bit & 63);
      } else if (c == '\n' && !ended) {
        ended = true;
      } else {
        throw ArgumentError(path + ": offset " + std::to_string(offset) + ": " +
                            (ended ? std::string("text after the line end") : "'" + printable(std::string(1, char(c))) +
                                                                                  "' is not a hex digit"));
      }
    }
  }
  if (seen != digits) wrong_length(path, digits, seen, length);
  BitVector bits = BitVector::from_words(std::move(words), digits * 4);
  for (uint64_t k = length; k < digits * 4; ++k)
    if (bits.get(k))
      throw ArgumentError(path + ": bit " + std::to_string(k) + " is set, above the chain's " +
                          std::to_string(length) + " bits");
  bits.resize(length);
  return bits;
}

std::string dump_text(const BitVector &bits) { return to_hex(bits); }

}  // namespace jtag::scanmap
