// The access words that the control-register and L2 memory commands shift.
//
// Control registers: the 40-bit address register takes the address text as
// typed; the byte mask travels with it to the builder but no shift carries it.
//
// L2 memory: each access first loads a 65-bit access word, a bit string with
// the most significant bit first:
//   characters  1..8   direction, "10000001" read, "10000010" write
//   characters  9..64  the 56-bit address, hex2bin of the address text with
//                      '0's in front to fill the field
//   character   65     "0"
// A write then loads a 65-bit data word: the 64-bit data field (hex2bin of
// the data text, '0's in front) and a final "0".  Both words are shifted as
// the bin2hex text of the bit string, with a bit count of 65.
#ifndef JTAGBOX_ACCESS_ACCESS_H
#define JTAGBOX_ACCESS_ACCESS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/heap_text.h"

namespace jtagbox {

inline constexpr int kCregAddressBits = 40;
inline constexpr int kL2AddressBits = 56;
inline constexpr int kL2DataBits = 64;
inline constexpr size_t kL2WordBuffer = 80;  // room for one 65-character word and its NUL

// Stores the address register length (40) in `length` and returns a new
// heap copy of the address text.  The byte mask does not enter it.
jtag::HeapText build_creg_access(const char *address, int *length, const char *byte_mask);

// The read and write entries of the access-word builder.  `address` is the
// current address text ("%llx").  An address whose bits do not fit the
// 56-bit field would push the word past 65 characters and lose its
// direction bits in the shift, so the builder refuses it: false, and the
// buffer holds "".
bool build_l2_read_access_word(const char *address, char (&word)[kL2WordBuffer]);
bool build_l2_write_access_word(const char *address, char (&word)[kL2WordBuffer]);

// The data word for a write, built in the same buffer; false (and "") when
// the data text has more bits than the 64-bit field.
bool build_l2_data_word(const char *data, char (&word)[kL2WordBuffer]);

// The commands' steps, for each caller that drives the board as they do.
// Control registers: `address` and `data` are shifted as typed, `mask` is the
// byte mask (JTAG_ReadCreg's default "03", JTAG_WriteCreg's "FF").
// JTAG_ReadCreg gives the 64 bits read as the hex text it prints.
std::string read_creg(const char *address, const std::string &mask);
void write_creg(const char *address, const char *data, const std::string &mask);

// L2 memory words lie 8 bytes apart; a run's addresses must stay below 2^56.
inline constexpr uint64_t kL2WordBytes = 8;
inline constexpr uint64_t kL2AddressLimit = uint64_t{1} << kL2AddressBits;
// One word of JTAG_ReadMem, as the hex text it prints; one word of
// JTAG_WriteMem.  The address must fit the field and the data text must be
// one l2_data_problem() accepts.
std::string read_l2_word(uint64_t address);
void write_l2_word(uint64_t address, const char *data_text);
// Why a data text cannot be written, or "" when it can.
std::string l2_data_problem(const std::string &text);

}  // namespace jtagbox

#endif
