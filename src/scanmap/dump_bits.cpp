#include "scanmap/dump_bits.h"

#include <algorithm>
#include <bit>
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

// The dump's words in the order the file holds them, the most significant
// (index word_count - 1) first, each handed to `put(index, word)` as it is
// complete; the pad bits above the chain's length are checked in the
// first.  A regular file too short for the chain is refused before
// anything is read, so that a map's length sizes nothing the file cannot
// fill; then `start(words)` is told how many words will come.  From a
// device the words come as it gives them, none beyond the chain's.  Every
// fault is an ArgumentError.
template <class Start, class Put>
void read_words(const std::string &path, uint64_t length, Start &&start, Put &&put) {
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
  if (in.regular() && in.size() < digits) {
    const bool line_end = in.size() != 0 && in.last_byte() == '\n';
    wrong_length(path, digits, in.size() - (line_end ? 1 : 0), length);
  }
  if (in.regular()) start(word_total);
  const unsigned top_bits = unsigned(length - 64 * (word_total - 1));  // the chain's bits in the top word
  std::vector<char> piece(kPiece);
  size_t next_word = word_total;
  unsigned in_word = unsigned((16 - digits % 16) % 16);
  uint64_t word = 0;
  uint64_t seen = 0;   // digits so far
  bool ended = false;  // the line end came
  uint64_t offset = 0;
  // One complete word: the pad bits checked in the first, then handed on.
  const auto complete = [&](uint64_t at) {
    if (next_word == 0) too_many(at);
    if (next_word == word_total && top_bits < 64 && (word >> top_bits) != 0)
      throw ArgumentError(
          path + ": bit " +
          std::to_string(64 * (word_total - 1) + top_bits + unsigned(std::countr_zero(word >> top_bits))) +
          " is set, above the chain's " + std::to_string(length) + " bits");
    put(--next_word, word);
    word = 0;
    in_word = 0;
  };
  while (const size_t n = in.read(piece.data(), piece.size())) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(piece.data());
    size_t i = 0;
    while (i < n) {
      // Sixteen digits at a word's start in one go, without a branch a digit;
      // anything else takes the digit-by-digit path below.
      if (in_word == 0 && !ended && n - i >= 16) {
        unsigned any = 0;
        uint64_t w = 0;
        for (size_t k = 0; k < 16; ++k) {
          const unsigned v = kDigits.value[bytes[i + k]];
          any |= v;
          w = (w << 4) | (v & 15);
        }
        if ((any & 16) == 0) {
          word = w;
          complete(offset + i + 16);
          i += 16;
          continue;
        }
      }
      const unsigned char c = bytes[i];
      const unsigned v = kDigits.value[c];
      const uint64_t at = offset + i++;
      if (v < 16 && !ended) {
        word = (word << 4) | v;
        if (++in_word == 16) complete(at + 1);
        continue;
      }
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
}

}  // namespace

BitVector read_dump(const std::string &path, uint64_t length) {
  // The words come most significant first: gathered so (each written once),
  // then turned round.
  std::vector<uint64_t> words;
  const auto start = [&](size_t word_total) {
    words.reserve(word_total);
    jtagbox::files::prepare_big_buffer(words.data(), word_total * sizeof(uint64_t));
  };
  read_words(path, length, start, [&](size_t, uint64_t word) { words.push_back(word); });
  std::reverse(words.begin(), words.end());
  // A chain is at most 2^32 - 1 bits, a size even on the 32-bit board.
  return BitVector::from_words(std::move(words), static_cast<size_t>(length));
}

DumpDelta read_dump_against(const std::string &path, uint64_t length, const BitVector &a) {
  DumpDelta delta;
  const uint64_t *own = a.words();
  read_words(
      path, length, [](size_t) {},
      [&](size_t index, uint64_t word) {
        if (word != own[index]) delta.words.emplace_back(index, word);
      });
  std::reverse(delta.words.begin(), delta.words.end());
  return delta;
}

std::string dump_text(const BitVector &bits) { return to_hex(bits); }

}  // namespace jtag::scanmap
