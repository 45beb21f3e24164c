// hex2bin, bin2hex, hex2dec and pad_lsb: pure text conversions, never traced
// and never touching the board.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bits.h"
#include "platform/heap_text.h"
#include "platform/jtag_platform.h"

namespace jtag {

char *checked_malloc(size_t size) {
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    std::fprintf(stderr, "jtagbox: out of memory (%zu bytes)\n", size);
    std::exit(1);
  }
  return static_cast<char *>(p);
}

char *heap_copy(std::string_view text) {
  char *p = checked_malloc(text.size() + 1);
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

}  // namespace jtag

using jtag::checked_malloc;
using jtag::hex_digit_value;
using jtag::leading_hex_digits;

extern "C" char *hex2bin(const char *hex) {
  const std::string_view digits = leading_hex_digits(hex);
  char *out = checked_malloc(digits.size() * 4 + 1);
  char *p = out;
  for (char c : digits) {
    const int v = hex_digit_value(c);
    for (int bit = 3; bit >= 0; --bit) *p++ = ((v >> bit) & 1) ? '1' : '0';
  }
  *p = '\0';
  return out;
}

extern "C" char *bin2hex(const char *bits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const size_t n = bits == nullptr ? 0 : std::strlen(bits);
  const size_t digits = (n + 3) / 4;
  char *out = checked_malloc(digits + 1);
  // Group from the least significant (last) character; the first digit takes
  // whatever is left over, so zero bits are added at the most significant end.
  for (size_t d = 0; d < digits; ++d) {
    unsigned v = 0;
    for (unsigned b = 0; b < 4; ++b) {
      const size_t pos = d * 4 + b;  // bit weight
      if (pos < n && bits[n - 1 - pos] == '1') v |= 1u << b;
    }
    out[digits - 1 - d] = kDigits[v];
  }
  out[digits] = '\0';
  return out;
}

extern "C" uint64_t hex2dec(const char *hex) {
  uint64_t value = 0;
  for (char c : leading_hex_digits(hex)) value = (value << 4) | unsigned(hex_digit_value(c));
  return value;
}

extern "C" char *pad_lsb(char *text, int count, const char *pad) {
  if (text == nullptr || pad == nullptr || count <= 0) return text;
  const size_t pad_len = std::strlen(pad);
  char *end = text + std::strlen(text);
  for (int i = 0; i < count; ++i, end += pad_len) std::memcpy(end, pad, pad_len);
  *end = '\0';
  return text;
}
