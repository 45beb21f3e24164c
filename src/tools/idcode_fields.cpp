#include "tools/idcode_fields.h"

#include <cstdio>

namespace jtag::tools {
namespace {

constexpr uint32_t kContinuationCode = 0x7f;

uint32_t manufacturer(uint32_t idcode) { return (idcode >> 1) & 0x7ffu; }

}  // namespace

std::string idcode_text(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(value));
  return text;
}

bool valid_idcode(uint32_t idcode) { return (idcode & 1u) != 0 && manufacturer(idcode) != kContinuationCode; }

std::string idcode_fields(uint32_t idcode) {
  char text[96];
  std::snprintf(text, sizeof text, "version 0x%x, part 0x%04x, manufacturer JEP106 bank %u code 0x%02x",
                unsigned(idcode >> 28), unsigned((idcode >> 12) & 0xffffu), unsigned(((idcode >> 8) & 0xfu) + 1),
                unsigned((idcode >> 1) & 0x7fu));
  std::string out = text;
  if (!valid_idcode(idcode)) out += ", not a valid IDCODE";
  return out;
}

}  // namespace jtag::tools
