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
  // Too many digits: a regular file's count is its size less a line end;
  // a device's is what came before the check.
  const auto too_many = [&](uint64_t counted) {
    const uint64_t found = in.size() > digits ? in.size() - (in.last_byte() == '\n' ? 1 : 0) : counted;
    wrong_length(path, digits, found, length);
  };
  // Sixteen digits make a word, the first word (the most significant) the
  // digits % 16 left over: it starts as if that many zeros had come first.
  const size_t word_total = size_t((digits + 15) / 16);
  std::vector<uint64_t> words;
  words.reserve(word_total);
  jtagbox::files::prepare_big_buffer(words.data(), word_total * sizeof(uint64_t));
  words.resize(word_total);
  std::vector<char> piece(kPiece);
  size_t next_word = word_total;
  unsigned in_word = unsigned((16 - digits % 16) % 16);
  uint64_t word = 0;
  uint64_t seen = 0;   // digits so far
  bool ended = false;  // the line end came
  uint64_t offset = 0;
  while (const size_t n = in.read(piece.data(), piece.size())) {
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(piece[i]);
      const unsigned v = kDigits.value[c];
      if (v < 16 && !ended) [[likely]] {
        word = (word << 4) | v;
        if (++in_word == 16) {
          if (next_word == 0) too_many(offset + i + 1);
          words[--next_word] = word;
          word = 0;
          in_word = 0;
        }
        continue;
      }
      const uint64_t at = offset + i;
      if (c == '\n' && !ended) {
        ended = true;
        seen = at;
        continue;
      }
      throw ArgumentError(path + ": offset " + std::to_string(at) + ": " +
                          (ended ? std::string("text after the line end")
                                 : "'" + printable(std::string(1, char(c))) + "' is not a hex digit"));
    }
    offset += n;
    if (!ended && offset > digits) too_many(offset);
  }
  if (!ended) seen = offset;
  if (seen != digits) wrong_length(path, digits, seen, length);
  BitVector bits = BitVector::from_words(std::move(words), digits * 4);
  for (uint64_t k = length; k < digits * 4; ++k)
    if (bits.get(k))
      throw ArgumentError(path + ": bit " + std::to_string(k) + " is set, above the chain's " + std::to_string(length) +
                          " bits");
  bits.resize(length);
  return bits;
}

std::string dump_text(const BitVector &bits) { return to_hex(bits); }

}  // namespace jtag::scanmap
