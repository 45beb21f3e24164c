#include "base/bits.h"

#include <algorithm>

namespace jtag {

void BitVector::resize(size_t size, bool value) {
  const size_t old = size_;
  words_.resize((size + 63) / 64, 0);
  size_ = size;
  if (value && size > old) {
    for (size_t i = old; i < size && (i & 63); ++i) set(i, true);
    for (size_t w = (old + 63) / 64; w < words_.size(); ++w) words_[w] = ~uint64_t{0};
  }
  clear_tail();
}

void BitVector::clear_tail() {
  if (size_ & 63) words_.back() &= (uint64_t{1} << (size_ & 63)) - 1;
}

uint64_t BitVector::get_bits(size_t offset, unsigned count) const {
  if (count == 0) return 0;
  const size_t w = offset >> 6;
  const unsigned sh = offset & 63;
  uint64_t v = words_[w] >> sh;
  if (sh != 0 && sh + count > 64) v |= words_[w + 1] << (64 - sh);
  return count == 64 ? v : v & ((uint64_t{1} << count) - 1);
}

void BitVector::set_bits(size_t offset, unsigned count, uint64_t value) {
  if (count == 0) return;
  const uint64_t mask = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
  value &= mask;
  const size_t w = offset >> 6;
  const unsigned sh = offset & 63;
  words_[w] = (words_[w] & ~(mask << sh)) | (value << sh);
  if (sh != 0 && sh + count > 64) {
    const unsigned hi = 64 - sh;
    words_[w + 1] = (words_[w + 1] & ~(mask >> hi)) | (value >> hi);
  }
}

void BitVector::copy_from(size_t dst, const BitVector &src, size_t src_offset, size_t count) {
  while (count > 0) {
    const unsigned n = count < 64 ? unsigned(count) : 64u;
    set_bits(dst, n, src.get_bits(src_offset, n));
    dst += n;
    src_offset += n;
    count -= n;
  }
}

BitVector BitVector::from_u64(uint64_t value, size_t size) {
  BitVector v(size);
  for (size_t i = 0; i < size && i < 64; ++i) v.set(i, (value >> i) & 1u);
  return v;
}

BitVector BitVector::from_words(std::vector<uint64_t> &&words, size_t size) {
  BitVector v;
  v.words_ = std::move(words);
  v.words_.resize((size + 63) / 64, 0);
  v.size_ = size;
  v.clear_tail();
  return v;
}

BitVector BitVector::from_words(const uint64_t *words, size_t size) {
  BitVector v(size);
  std::copy(words, words + word_count(size), v.words_.begin());
  v.clear_tail();
  return v;
}

bool BitVector::operator==(const BitVector &o) const { return size_ == o.size_ && words_ == o.words_; }

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view leading_hex_digits(const char *text) {
  if (text == nullptr) return {};
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  size_t n = 0;
  while (hex_digit_value(text[n]) >= 0) ++n;
  return {text, n};
}

BitVector from_hex(std::string_view hex, size_t size) {
  BitVector bits(size);
  // The last digit is the least significant nibble.
  size_t bit = 0;
  for (size_t k = hex.size(); k-- > 0 && bit < size; bit += 4) {
    const unsigned nibble = unsigned(hex_digit_value(hex[k]));
    const unsigned n = size - bit < 4 ? unsigned(size - bit) : 4u;
    bits.set_bits(bit, n, nibble);
  }
  return bits;
}

BitVector pattern_bits(const char *hex, size_t count, char pad) {
  const std::string_view digits = leading_hex_digits(hex);
  BitVector bits = from_hex(digits, count);
  const size_t given = digits.size() * 4;
  if (pad == '1' && given < count) {
    for (size_t i = given; i < count; ++i) bits.set(i, true);
  }
  return bits;
}

std::string to_hex(const BitVector &bits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const size_t digits = (bits.size() + 3) / 4;
  std::string out(digits, '0');
  for (size_t d = 0; d < digits; ++d) {
    const size_t bit = d * 4;
    const unsigned n = bits.size() - bit < 4 ? unsigned(bits.size() - bit) : 4u;
    out[digits - 1 - d] = kDigits[bits.get_bits(bit, n)];
  }
  return out;
}

std::string to_bit_string(const BitVector &bits) {
  const size_t n = bits.size();
  std::string out(n, '0');
  for (size_t i = 0; i < n; ++i)
    if (bits.get(i)) out[n - 1 - i] = '1';
  return out;
}

BitVector from_bit_string(std::string_view text) {
  const size_t n = text.size();
  BitVector bits(n);
  for (size_t i = 0; i < n; ++i)
    if (text[n - 1 - i] == '1') bits.set(i, true);
  return bits;
}

}  // namespace jtag
