// Builders for the access words of the control-register and L2 commands.
#include <algorithm>
#include <cstring>

#include "access/access.h"
#include "base/heap_text.h"
#include "platform/jtag_platform.h"

namespace jtagbox {
namespace {

constexpr const char *kReadDirection = "10000001";
constexpr const char *kWriteDirection = "10000010";

size_t bit_length(const char *hex) { return std::strlen(jtag::HeapText(hex2bin(hex)).get()); }

// Appends `text` to the word; the callers check the lengths first, and a
// text that would not fit is cut rather than written past the buffer.
void append_text(char (&word)[kL2WordBuffer], const char *text) {
  const size_t used = std::strlen(word);
  const size_t n = std::min(std::strlen(text), kL2WordBuffer - 1 - used);
  std::memcpy(word + used, text, n);
  word[used + n] = '\0';
}

void append_bits(char (&word)[kL2WordBuffer], const char *hex) {
  append_text(word, jtag::HeapText(hex2bin(hex)).get());
}

// `prefix` is already in the buffer: fill `field` bits with hex2bin of `hex`
// (zeros in front), then the closing "0".  The length is checked first, so
// the word never exceeds the prefix, the field and one character.
bool append_field(char (&word)[kL2WordBuffer], const char *hex, size_t field) {
  const size_t n = bit_length(hex);
  if (n > field) {
    word[0] = '\0';
    return false;
  }
  pad_lsb(word, int(field - n), "0");
  append_bits(word, hex);
  append_text(word, "0");
  return true;
}

bool build_l2_access_word(const char *address, char (&word)[kL2WordBuffer], const char *direction) {
  word[0] = '\0';
  append_text(word, direction);
  return append_field(word, address, kL2AddressBits);
}

}  // namespace

jtag::HeapText build_creg_access(const char *address, int *length, const char * /*byte_mask*/) {
  *length = kCregAddressBits;
  return jtag::HeapText(jtag::heap_copy(address));
}

bool build_l2_read_access_word(const char *address, char (&word)[kL2WordBuffer]) {
  return build_l2_access_word(address, word, kReadDirection);
}

bool build_l2_write_access_word(const char *address, char (&word)[kL2WordBuffer]) {
  return build_l2_access_word(address, word, kWriteDirection);
}

bool build_l2_data_word(const char *data, char (&word)[kL2WordBuffer]) {
  word[0] = '\0';
  return append_field(word, data, kL2DataBits);
}

}  // namespace jtagbox
