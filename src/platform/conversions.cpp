// hex2bin, bin2hex, hex2dec and pad_lsb: pure text conversions, never traced
// and never touching the board.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/bits.h"
#include "base/heap_text.h"
#include "platform/jtag_platform.h"
#include "platform/platform_session.h"

namespace {

// The texts these calls return, from the C heap; memory that is not there
// is a failure of the call (platform_session.h).
char *checked_malloc(size_t size) {
  return jtag::guarded([size] { return jtag::checked_malloc(size); });
}

}  // namespace

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
  // Digits group from the least significant (last) character, so the first
  // digit takes the bits left over and zero bits fill its high end.  Any
  // character other than '1' reads as 0.
  const size_t lead = n % 4;
  size_t d = 0;
  const char *p = bits;
  if (lead != 0) {
    unsigned v = 0;
    for (size_t b = 0; b < lead; ++b) v = (v << 1) | unsigned(p[b] == '1');
    out[d++] = kDigits[v];
    p += lead;
  }
  for (; d < digits; ++d, p += 4) {
    const unsigned v =
        unsigned(p[0] == '1') << 3 | unsigned(p[1] == '1') << 2 | unsigned(p[2] == '1') << 1 | unsigned(p[3] == '1');
    out[d] = kDigits[v];
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
