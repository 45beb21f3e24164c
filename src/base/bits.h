// Packed bit vectors and the conversions between them and the platform's
// texts.  Bit i of a vector has weight 2^i: for a shift it is the bit that
// goes in (or comes out) on cycle i.
#ifndef JTAGBOX_BASE_BITS_H
#define JTAGBOX_BASE_BITS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jtag {

class BitVector {
 public:
  BitVector() = default;
  explicit BitVector(size_t size, bool value = false) { resize(size, value); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void resize(size_t size, bool value = false);

  bool get(size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1u; }
  void set(size_t i, bool b) {
    const uint64_t m = uint64_t{1} << (i & 63);
    if (b)
      words_[i >> 6] |= m;
    else
      words_[i >> 6] &= ~m;
  }

  // Up to 64 bits starting at `offset`, bit `offset` in bit 0 of the result.
  uint64_t get_bits(size_t offset, unsigned count) const;
  void set_bits(size_t offset, unsigned count, uint64_t value);
  // this[dst .. dst+count) = src[src_offset .. src_offset+count)
  void copy_from(size_t dst, const BitVector &src, size_t src_offset, size_t count);

  static BitVector from_u64(uint64_t value, size_t size);
  // The vector whose bit i is bit i % 64 of words[i / 64], cut or extended
  // with zeros to `size` bits; the words are taken, not copied.
  static BitVector from_words(std::vector<uint64_t> &&words, size_t size);
  uint64_t to_u64() const { return size_ == 0 ? 0 : get_bits(0, size_ < 64 ? unsigned(size_) : 64u); }

  bool operator==(const BitVector &o) const;

  // The packed words, bit i in bit i % 64 of word i / 64, the bits beyond
  // size() zero: how a vector crosses a C interface (backends/module_interface.h).
  const uint64_t *words() const { return words_.data(); }
  static size_t word_count(size_t size) { return (size + 63) / 64; }
  // A vector of `size` bits from word_count(size) such words.
  static BitVector from_words(const uint64_t *words, size_t size);

 private:
  void clear_tail();
  std::vector<uint64_t> words_;
  size_t size_ = 0;
};

// The leading hex digits of a text (after an optional "0x"/"0X").
std::string_view leading_hex_digits(const char *text);
int hex_digit_value(char c);  // -1 when `c` is not a hex digit

// A shift pattern: the number the hex text denotes, extended at its most
// significant end with the pad ('1' gives ones, anything else zeros) and
// cut to its low `count` bits.
BitVector pattern_bits(const char *hex, size_t count, char pad);

// Hex text of a vector: ceil(size/4) lower-case digits, most significant
// first, zero bits added at the most significant end.
std::string to_hex(const BitVector &bits);
// The low `size` bits of the number a hex text denotes.
BitVector from_hex(std::string_view hex, size_t size);

// Bit string ("0"/"1", most significant first) <-> vector.  Any character
// other than '1' reads as 0.
std::string to_bit_string(const BitVector &bits);
BitVector from_bit_string(std::string_view text);

}  // namespace jtag

#endif
