// Numbers as the programs and the board's saved state write them: decimal,
// or hexadecimal with a 0x prefix, the whole text the number.
#ifndef JTAGBOX_BASE_NUMBER_TEXT_H
#define JTAGBOX_BASE_NUMBER_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

namespace jtag {

// Strict: no sign, no blank, nothing after the digits, nothing beyond 64 bits.
std::optional<uint64_t> parse_number(const std::string &text);
std::string hex_text(uint64_t value);  // "0x1f"

}  // namespace jtag

#endif
