// The fields of an IEEE 1149.1 IDCODE:
//   bits 31..28  version
//   bits 27..12  part number
//   bits 11..1   manufacturer identity, as JEP106 assigns it: bits 11..8
//                the number of continuation codes before the code (bank
//                1 has none), bits 7..1 the code without its parity bit
//   bit 0        always 1 (a BYPASS register captures 0)
// A manufacturer identity of 0x7f (bank 1, code all ones) is the
// continuation code itself, which names no one: no IDCODE carries it.
#ifndef JTAGBOX_TOOLS_IDCODE_FIELDS_H
#define JTAGBOX_TOOLS_IDCODE_FIELDS_H

#include <cstdint>
#include <string>

namespace jtag::tools {

// "0x%08x": an IDCODE (or a mask) as every report writes it.
std::string idcode_text(uint32_t value);

// Whether bit 0 is 1 and the manufacturer identity is not 0x7f.
bool valid_idcode(uint32_t idcode);

// "version 0x%x, part 0x%04x, manufacturer JEP106 bank %u code 0x%02x",
// followed by ", not a valid IDCODE" when it is not one.
std::string idcode_fields(uint32_t idcode);

}  // namespace jtag::tools

#endif
